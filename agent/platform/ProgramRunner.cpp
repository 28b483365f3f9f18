#include "ProgramRunner.h"

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
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted(timeoutMs))
        return result;
    result.started = true;
    result.finished = process.waitForFinished(timeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished(1000);
    }
    result.output = process.readAll();
    if (result.finished && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    return result;
}
