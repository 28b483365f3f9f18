// Cost of one log line through the agent's message handler, against the
// straightforward mechanism (read the logging switch from the settings store
// and open, append and close the file for every line) measured in the same run.
// "wall" is the logging thread's time per line; "cpu" is the process's CPU
// time per line, the log writer's thread included, until every line is on disk.
#include "common/RegistryStore.h"
#include "dns/DnsLogging.h"
#include "host/MessageHandler.h"
#include "logging/LogFile.h"
#include "logging/LogLine.h"
#include "settings/ConstData.h"
#include "settings/UserData.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>
#include <ctime>

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

struct Cost
{
    double wallNs;
    double cpuNs;
};

Cost perLine(QtMessageHandler handler, int lines)
{
    qInstallMessageHandler(handler);
    const std::clock_t cpu0 = std::clock();
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < lines; ++i)
        qCDebug(snifferdnsudp) << "Request" << i << "type" << 1;
    const qint64 elapsed = timer.nsecsElapsed();
    LogFile::instance().flush();
    const std::clock_t cpu1 = std::clock();
    qInstallMessageHandler(nullptr);
    return {double(elapsed) / lines, double(cpu1 - cpu0) * 1e9 / CLOCKS_PER_SEC / lines};
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
    std::printf("%-20s %14s %14s %14s %14s %8s\n", "switch", "baseline wall", "agent wall", "baseline cpu",
                "agent cpu", "cpu ratio");
    for (bool on : {true, false}) {
        UserData::setStatusLog(on);
        for (int round = 0; round < 2; ++round) {
            const Cost base = perLine(baselineHandler, lines);
            const Cost agent = perLine(messageHandler, lines);
            std::printf("%-20s %14.0f %14.0f %14.0f %14.0f %7.1fx\n", on ? "on (written)" : "off (dropped)",
                        base.wallNs, agent.wallNs, base.cpuNs, agent.cpuNs, base.cpuNs / agent.cpuNs);
        }
    }
    // What the switch itself costs per debug message (a cached value).
    QElapsedTimer timer;
    timer.start();
    int on = 0;
    for (int i = 0; i < lines * 10; ++i)
        on += UserData::getStatusLog() ? 1 : 0;
    std::printf("UserData::getStatusLog(): %.0f ns per call (%d)\n",
                double(timer.nsecsElapsed()) / (lines * 10), on > 0);
    return 0;
}
