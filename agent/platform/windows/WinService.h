#pragma once

// The agent's side of the Windows service control manager, in plain C++ so it
// can be built and exercised without Qt: the dispatcher, the service main, the
// control handler with status reporting, and creating and deleting the service.
//
// The agent thread is reached only through the hooks below; the Qt glue
// (ServiceHostWin.cpp) fills them with AgentLifecycle and startAgent.

// winsock2.h has to come before windows.h.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <winsvc.h>
// clang-format on

#include <cstdio>
#include <string>

class WinService
{
public:
    struct Hooks
    {
        // Body of the agent thread; receives the service's start parameters.
        int (*entry)(int argc, char** argv) = nullptr;
        // Marks the agent thread as running (called before it is started).
        void (*agentStarted)() = nullptr;
        // Called on the agent thread with the entry's return value.
        void (*agentFinished)(int exitCode) = nullptr;
        // Asks the agent thread to shut down (from the dispatcher thread).
        void (*requestQuit)() = nullptr;
        // Waits at most `timeoutMs` for the agent thread to finish.
        bool (*waitAgentFinished)(int timeoutMs) = nullptr;
        // Optional: sees every status record just before it is reported.
        void (*statusReporting)(const SERVICE_STATUS& status) = nullptr;
    };

    struct StopTiming
    {
        // Longest wait for the agent thread's shutdown before STOPPED is reported anyway.
        int stopWaitMs = 30000;
        // STOP_PENDING is reported again, with the next checkpoint, after each slice.
        int pollMs = 1000;
    };

    // Win32 exit code reported with STOPPED when the agent thread did not finish in time.
    static constexpr DWORD stopTimeoutExitCode = ERROR_TIMEOUT;
    static constexpr DWORD startWaitHintMs = 3000;

    // Runs the dispatcher for the service `name` (kept for the life of the
    // process). Blocks until the service has stopped; from a console it fails
    // at once. Returns the dispatcher's result; `error` gets GetLastError on failure.
    static bool runDispatcher(const char* name, const Hooks& hooks, const StopTiming& timing,
                              DWORD* error = nullptr);

    // The next status record: state, Win32 exit code and wait hint as given;
    // stop accepted except while starting; the checkpoint is 0 for RUNNING and
    // STOPPED and otherwise the counter, which is then incremented.
    static SERVICE_STATUS composeStatus(const SERVICE_STATUS& current, DWORD& checkpointCounter, DWORD state,
                                        DWORD exitCode, DWORD waitHint);

    // Creates the service `name` (display name the same) for `binaryPath`
    // (a complete, quoted command line), auto start, own process, LocalSystem.
    // Prints the outcome to `out`.
    static bool install(const char* name, const std::string& binaryPath, std::FILE* out = stdout);
    // Failure actions of a service: restart after 1 s (2 s from the third
    // failure on), also when it ends with an error exit code. "install" sets
    // them; an existing service gets them when "install" finds it.
    static bool setRestartOnFailure(SC_HANDLE service);
    // The same for this program, its full path in double quotes.
    static bool installSelf(const char* name, std::FILE* out = stdout);
    // Deletes the service `name` (does not stop it). Prints the outcome to `out`.
    static bool uninstall(const char* name, std::FILE* out = stdout);

    // This program's full path in the local 8-bit and in UTF-16; empty on failure
    // (GetLastError tells why).
    static std::string modulePathA();
    static std::wstring modulePathW();

private:
    static void WINAPI serviceMain(DWORD argc, LPSTR* argv);
    static void WINAPI controlHandler(DWORD control);
    static DWORD WINAPI agentThread(LPVOID);
    static void reportStatus(DWORD state, DWORD exitCode, DWORD waitHint);
    static DWORD stopWaitHint();
};
