#include "platform/ProgramRunner.h"

#include "platform/PlatformLogging.h"

#include <QFileInfo>
#include <QProcess>
#include <QTextCodec>

QString ProgramRunner::decode(const QByteArray& output, const char* codecName)
{
    QTextCodec* codec = QTextCodec::codecForName(codecName);
    if (!codec)
        return QString::fromUtf8(output);
    return codec->toUnicode(output);
}

ProgramResult ProcessProgramRunner::run(const QString& program, const QStringList& arguments, int timeoutMs)
{
    ProgramResult result;
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(program, arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted(timeoutMs)) {
        // Still starting on a loaded machine: not left running behind our back.
        process.kill();
        process.waitForFinished(1000);
        return result;
    }
    result.started = true;
    result.finished = process.waitForFinished(timeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished(1000);
    }
    result.output = process.readAllStandardOutput();
    result.error = process.readAllStandardError();
    if (!result.error.trimmed().isEmpty()) {
        constexpr int shown = 2000;
        qCWarning(platform).noquote()
            << QFileInfo(program).fileName()
            << "standard error:" << QString::fromLocal8Bit(result.error.left(shown)).trimmed();
    }
    if (result.finished && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    return result;
}
