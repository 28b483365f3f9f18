#pragma once

#include "platform/ServiceHost.h"

#include <QString>

// The words an installer gives the agent: "install" (optionally "noAd"),
// "checkuninst" (with "nogui": test the stored PIN entry without asking),
// "uninstall"; the Windows Installer package also uses "deploy" (optionally
// "noAd" or "ad") and "stop". Anything else starts the service.
class AgentCommandLine
{
public:
    // Acts on the command line and returns the process exit code.
    static int run(int argc, char** argv, AgentEntry entry);
    // Asks the user for the PIN through the tray program; 0 when uninstalling is allowed.
    static int checkUninstall(const QString& programArgument);
    // Tests the PIN entry an installer stored, without the tray program; also
    // allowed when no sign-in data is stored. 0 when uninstalling is allowed.
    static int checkUninstallWithoutGui();
    // Registers the service (or sets the failure actions of the registered
    // one) and, with "noAd" or "ad", the directory-mode switch; never starts
    // the service dispatcher.
    static int deploy(const QString& directoryMode);
    // "stop" waits this long for the installed service to stop: the agent's
    // own stop bound and some time for the service manager.
    static constexpr int stopBoundMs = ServiceHost::stopWaitMs + 10000;
    // Removes the service and undoes the machine changes, once per permission.
    static int uninstall();
    // The tray program beside the agent: <dir>/agentcorvanegui/agentcorvanegui[.exe].
    static QString guiProgramPath(const QString& programArgument);
};
