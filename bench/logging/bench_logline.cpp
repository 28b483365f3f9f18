// Cost of one log line through the agent's message handler, against the
// straightforward mechanism (read the logging switch from the settings store
// and open, append and close the file for every line) measured in the same run.
#include "ConstData.h"
#include "LogFile.h"
#include "LogLine.h"
#include "LoggingCategories.h"
#include "MessageHandler.h"
#include "RegistryStore.h"
#include "UserData.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>

namespace {
QString baselineDir;

void baselineHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtDebugMsg) {
        auto store = RegistryStore::open(ConstData::getAddressConf());
        if (!store->value(QStringLiteral("CONTROL/LOG_STATUS"), true).toBool())
            return;
    }
    const QString line = LogLine::format(QDateTime::currentDateTime(), type, context.category, message);
    QDir().mkpath(baselineDir + QStringLiteral("/log"));
    QFile file(baselineDir + QStringLiteral("/log/baseline_") +
               QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".log"));
    if (!file.open(QIODevice::Append | QIODevice::Text))
        return;
    QTextStream stream(&file);
    stream << line;
    stream.flush();
}

double nsPerLine(QtMessageHandler handler, int lines)
{
    qInstallMessageHandler(handler);
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < lines; ++i)
        qCDebug(snifferdnsudp) << "Request" << i << "type" << 1;
    const qint64 elapsed = timer.nsecsElapsed();
    qInstallMessageHandler(nullptr);
    return double(elapsed) / lines;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int lines = argc > 1 ? QByteArray(argv[1]).toInt() : 20000;
    QTemporaryDir dir;
    qputenv("CORVANE_STATE_DIR", QFile::encodeName(dir.path()));
    baselineDir = dir.path();
    LogFile::instance().setLocation(dir.path(), QStringLiteral("agent"));

    std::printf("debug line cost, %d lines, ns per line (lower is better)\n", lines);
    std::printf("%-28s %14s %14s %8s\n", "switch", "baseline", "agent", "ratio");
    for (bool on : {true, false}) {
        UserData::setStatusLog(on);
        for (int round = 0; round < 2; ++round) {
            const double base = nsPerLine(baselineHandler, lines);
            const double agent = nsPerLine(messageHandler, lines);
            std::printf("%-28s %14.0f %14.0f %7.1fx\n", on ? "on (line written)" : "off (line dropped)", base,
                        agent, base / agent);
        }
    }
    return 0;
}
