#pragma once

#include "common/windows/WinHandle.h"

// Stopping an installed service from another process and waiting for it, as
// an uninstaller must before it removes the files the service holds open.
// Plain C++ (no Qt).
class WinServiceStop
{
public:
    enum class Result
    {
        Stopped, // STOPPED was reported within the bound (or it was not running)
        NotInstalled,
        TimedOut, // still not STOPPED when the bound ran out
        Failed    // the service manager refused (GetLastError in *error)
    };

    // Asks the service `name` to stop and polls its state every pollMs until
    // it reports STOPPED, at most timeoutMs in all.
    static Result stopAndWait(const char* name, unsigned long timeoutMs, unsigned long pollMs = 250,
                              unsigned long* error = nullptr);
};
