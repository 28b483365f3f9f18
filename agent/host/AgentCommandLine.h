#pragma once

#include "ServiceHost.h"

#include <QString>

// The words an installer gives the agent: "install" (optionally "noAd"),
// "checkuninst", "uninstall"; anything else starts the service.
class AgentCommandLine
{
public:
    // Acts on the command line and returns the process exit code.
    static int run(int argc, char** argv, AgentEntry entry);
    // Asks the user for the PIN through the tray program; 0 when uninstalling is allowed.
    static int checkUninstall(const QString& programArgument);
    // Removes the service and undoes the machine changes, once per permission.
    static int uninstall();
    // The tray program beside the agent: <dir>/agentcorvanegui/agentcorvanegui[.exe].
    static QString guiProgramPath(const QString& programArgument);
};
