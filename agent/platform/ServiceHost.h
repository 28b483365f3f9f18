#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// Entry of the agent thread: the agent proper (startAgent).
using AgentEntry = int (*)(int argc, char** argv);

// The connection to the system's service manager.
//
// On Windows the process is a service of its own: startService hands control
// to the service control manager's dispatcher, the service main starts the
// agent thread, and a stop request quits the agent's event loop and waits for
// the agent thread to finish before STOPPED is reported. Run from a console
// the dispatcher fails at once and startService returns.
//
// Elsewhere the process is the service host itself: the agent thread runs in
// the foreground and SIGTERM or SIGINT take the same stop path.
class ServiceHost
{
public:
    // How long a stop waits for the agent thread's shutdown before giving up.
    static constexpr int stopWaitMs = 30000;
    // How long a stop that gave up waits for the queued log lines to reach the
    // file before the process ends; within the service manager's own bound.
    static constexpr int stopLogFlushMs = 2000;

    enum class StartReason
    {
        Normal,
        AfterInstall
    };

    // Returns the process exit code. After "install" the service manager
    // starts the agent itself, so the installing process only hands over
    // (on Windows the dispatcher fails from a console and returns at once).
    static int startService(AgentEntry entry, int argc, char** argv,
                            StartReason reason = StartReason::Normal);
    // Register and remove the agent with the service manager, printing the
    // outcome on standard output.
    static bool installService();
    static bool uninstallService();
    // Asks the installed service to stop and waits until it has stopped, at
    // most timeoutMs: an uninstaller may remove the files only then. True when
    // it is stopped (or not installed); prints the outcome on standard output.
    static bool stopInstalledService(int timeoutMs);
    // The running program's full path.
    static QString programPath();
    // Command lines that release and renew the machine's addresses after an
    // uninstall (none where the system renews leases by itself).
    static QList<QStringList> addressRenewalCommands();
    // A program's file name on this system ("name.exe" on Windows).
    static QString executableName(const QString& baseName);
};
