#include "platform/ServiceHost.h"

#include "logging/LogFile.h"
#include "platform/AgentLifecycle.h"
#include "platform/PlatformLogging.h"
#include "platform/windows/WinService.h"
#include "platform/windows/WinServiceStop.h"

#include <QDir>

#include <cstdio>
#include <cstdlib>

namespace {
// The service is registered under the application's name ("Corvane Agent",
// the same text the settings call the application name); the platform
// library keeps its own copy so it does not depend on the settings.
constexpr char serviceName[] = "Corvane Agent";
} // namespace

int ServiceHost::startService(AgentEntry entry, int argc, char** argv, StartReason reason)
{
    // The manager passes the service its own start parameters; the process
    // command line only chose this path. After "install" the same call fails
    // at once from the console, as any console start does.
    Q_UNUSED(argc)
    Q_UNUSED(argv)
    Q_UNUSED(reason)
    WinService::Hooks hooks;
    hooks.entry = entry;
    hooks.agentStarted = &AgentLifecycle::agentStarted;
    hooks.agentFinished = &AgentLifecycle::agentFinished;
    hooks.requestQuit = &AgentLifecycle::requestQuit;
    hooks.waitAgentFinished = &AgentLifecycle::waitAgentFinished;
    WinService::StopTiming timing;
    timing.stopWaitMs = stopWaitMs;
    WinService::runDispatcher(serviceName, hooks, timing);
    if (AgentLifecycle::agentRunning()) {
        // The stop gave up waiting for the agent thread; the service is
        // reported STOPPED. Leave without running static destructors under it,
        // but with the lines the agent queued on its way down in the file.
        qCWarning(platform) << "agent did not stop within" << stopWaitMs << "ms";
        LogFile::instance().flushFor(std::chrono::milliseconds(stopLogFlushMs));
        std::fflush(nullptr);
        std::_Exit(1);
    }
    return 0;
}

bool ServiceHost::installService()
{
    return WinService::installSelf(serviceName);
}

bool ServiceHost::uninstallService()
{
    return WinService::uninstall(serviceName);
}

bool ServiceHost::stopInstalledService(int timeoutMs)
{
    unsigned long error = 0;
    switch (WinServiceStop::stopAndWait(serviceName, static_cast<unsigned long>(timeoutMs), 250, &error)) {
    case WinServiceStop::Result::Stopped:
        std::printf("Service stopped\n");
        return true;
    case WinServiceStop::Result::NotInstalled:
        std::printf("Service not installed\n");
        return true;
    case WinServiceStop::Result::TimedOut:
        std::printf("Service did not stop within %d ms\n", timeoutMs);
        return false;
    case WinServiceStop::Result::Failed:
        break;
    }
    std::printf("Stopping the service failed (%lu)\n", error);
    return false;
}

QString ServiceHost::programPath()
{
    return QDir::fromNativeSeparators(QString::fromStdWString(WinService::modulePathW()));
}

QList<QStringList> ServiceHost::addressRenewalCommands()
{
    // QProcess quotes an argument with a space, giving the command lines
    // cmd.exe /C "ipconfig /release" and cmd.exe /C "ipconfig /renew".
    return {
        {QStringLiteral("cmd.exe"), QStringLiteral("/C"), QStringLiteral("ipconfig /release")},
        {QStringLiteral("cmd.exe"), QStringLiteral("/C"), QStringLiteral("ipconfig /renew")},
    };
}

QString ServiceHost::executableName(const QString& baseName)
{
    return baseName + QStringLiteral(".exe");
}
