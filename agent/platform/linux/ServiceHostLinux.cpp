#include "platform/ServiceHost.h"

#include "logging/LogFile.h"
#include "platform/AgentLifecycle.h"
#include "platform/PlatformLogging.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace {
// SIGUSR1 tells the waiting main thread that the agent thread ended by itself.
constexpr int agentEndedSignal = SIGUSR1;

QString unitDirectory()
{
    const QByteArray custom = qgetenv("CORVANE_SYSTEMD_UNIT_DIR");
    return custom.isEmpty() ? QStringLiteral("/etc/systemd/system") : QString::fromLocal8Bit(custom);
}

bool systemdManagesUnits()
{
    return qEnvironmentVariableIsSet("CORVANE_SYSTEMD_UNIT_DIR") ||
           QFileInfo::exists(QStringLiteral("/run/systemd/system"));
}

const char unitName[] = "corvane-agent.service";

void systemctl(const QStringList& arguments)
{
    if (qEnvironmentVariableIsSet("CORVANE_SYSTEMD_UNIT_DIR"))
        return; // a private unit folder is not managed by the running systemd
    QProcess::execute(QStringLiteral("systemctl"), arguments);
}
} // namespace

int ServiceHost::startService(AgentEntry entry, int argc, char** argv, StartReason reason)
{
    if (reason == StartReason::AfterInstall)
        return 0; // systemd starts the enabled unit on its own
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, agentEndedSignal);
    // Blocked before the agent thread exists, so every thread inherits the
    // mask and only sigwait below ever sees these signals.
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    AgentLifecycle::agentStarted();
    std::thread agent([entry, argc, argv] {
        const int code = entry(argc, argv);
        AgentLifecycle::agentFinished(code);
        kill(getpid(), agentEndedSignal);
    });

    int signal = 0;
    while (sigwait(&stopSignals, &signal) == 0) {
        if (signal == agentEndedSignal && !AgentLifecycle::agentRunning())
            break;
        if (signal == SIGTERM || signal == SIGINT) {
            AgentLifecycle::requestQuit();
            if (!AgentLifecycle::waitAgentFinished(stopWaitMs)) {
                std::fprintf(stderr, "agent did not stop within %d ms\n", stopWaitMs);
                std::fflush(stderr);
                // _exit runs no destructor: the lines the agent queued on its
                // way down (and this one) reach the file only here.
                qCWarning(platform) << "agent did not stop within" << stopWaitMs << "ms";
                LogFile::instance().flushFor(std::chrono::milliseconds(stopLogFlushMs));
                _exit(1);
            }
            break;
        }
    }
    agent.join();
    return AgentLifecycle::agentExitCode();
}

bool ServiceHost::installService()
{
    const QString path = programPath();
    if (path.isEmpty()) {
        std::printf("Cannot install service (%d)\n", errno);
        return false;
    }
    if (!systemdManagesUnits()) {
        std::printf("No service manager (systemd) runs here: start \"%s\" in the foreground instead\n",
                    qPrintable(path));
        return false;
    }
    QDir().mkpath(unitDirectory());
    QFile unit(unitDirectory() + QLatin1Char('/') + QLatin1String(unitName));
    if (!unit.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::printf("CreateService failed (%d)\n", static_cast<int>(unit.error()));
        return false;
    }
    // A dead agent leaves the resolver pointed at it: systemd starts it again
    // a second later, however often it dies (the same rules as the packaged unit).
    const QByteArray text =
        "[Unit]\nDescription=Corvane Agent\nAfter=network.target\nStartLimitIntervalSec=0\n\n"
        "[Service]\nType=simple\nExecStart=\"" +
        path.toLocal8Bit() +
        "\"\nKillSignal=SIGTERM\nTimeoutStopSec=35\nRestart=always\nRestartSec=1\n\n"
        "[Install]\nWantedBy=multi-user.target\n";
    unit.write(text);
    unit.close();
    systemctl({QStringLiteral("daemon-reload")});
    systemctl({QStringLiteral("enable"), QStringLiteral("--now"), QLatin1String(unitName)});
    std::printf("Service installed successfully\n");
    return true;
}

bool ServiceHost::uninstallService()
{
    QFile unit(unitDirectory() + QLatin1Char('/') + QLatin1String(unitName));
    if (!unit.exists()) {
        std::printf("OpenService failed (%d)\n", 2);
        return false;
    }
    systemctl({QStringLiteral("disable"), QStringLiteral("--now"), QLatin1String(unitName)});
    if (!unit.remove()) {
        std::printf("DeleteService failed (%d)\n", static_cast<int>(unit.error()));
        return false;
    }
    systemctl({QStringLiteral("daemon-reload")});
    std::printf("Service deleted successfully\n");
    return true;
}

bool ServiceHost::stopInstalledService(int timeoutMs)
{
    // systemctl returns once the unit has stopped (or its own bound ran out).
    QProcess systemctl;
    systemctl.start(QStringLiteral("systemctl"), {QStringLiteral("stop"), QLatin1String(unitName)});
    const bool finished = systemctl.waitForFinished(timeoutMs);
    if (!finished)
        systemctl.kill();
    const bool stopped =
        finished && systemctl.exitStatus() == QProcess::NormalExit && systemctl.exitCode() == 0;
    std::printf(stopped ? "Service stopped\n" : "Service did not stop within %d ms\n", timeoutMs);
    std::fflush(stdout);
    return stopped;
}

QList<QStringList> ServiceHost::addressRenewalCommands()
{
    return {};
}

QString ServiceHost::executableName(const QString& baseName)
{
    return baseName;
}

QString ServiceHost::programPath()
{
    return QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
}
