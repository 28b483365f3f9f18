#include "platform/windows/WinService.h"

#include "common/windows/WinHandle.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace {
// One service per process: the state lives for the process.
std::string serviceName;
WinService::Hooks hooks;
WinService::StopTiming timing;

std::mutex statusMutex; // the record is written from the service main and the dispatcher thread
SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status{};
DWORD checkpointCounter = 1; // starts at 1 with the process and is never reset

KernelHandle stopEvent;
std::atomic<bool> stopping{false};

// The start parameters outlive the service main: the agent thread keeps using
// them (its application object holds argv) even if a stop times out.
std::vector<std::string> argumentStorage;
std::vector<char*> argumentPointers;

bool hooksComplete(const WinService::Hooks& h)
{
    return h.entry && h.agentStarted && h.agentFinished && h.requestQuit && h.waitAgentFinished;
}
} // namespace

SERVICE_STATUS WinService::composeStatus(const SERVICE_STATUS& current, DWORD& counter, DWORD state,
                                         DWORD exitCode, DWORD waitHint)
{
    SERVICE_STATUS next = current;
    next.dwCurrentState = state;
    next.dwWin32ExitCode = exitCode;
    next.dwWaitHint = waitHint;
    next.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED)
        next.dwCheckPoint = 0;
    else
        next.dwCheckPoint = counter++;
    return next;
}

void WinService::reportStatus(DWORD state, DWORD exitCode, DWORD waitHint)
{
    std::lock_guard<std::mutex> lock(statusMutex);
    status = composeStatus(status, checkpointCounter, state, exitCode, waitHint);
    if (hooks.statusReporting)
        hooks.statusReporting(status);
    ::SetServiceStatus(statusHandle, &status);
}

DWORD WinService::stopWaitHint()
{
    // The next checkpoint comes after one slice; leave the manager some slack.
    return static_cast<DWORD>(timing.pollMs) * 2;
}

bool WinService::runDispatcher(const char* name, const Hooks& serviceHooks, const StopTiming& stopTiming,
                               DWORD* error)
{
    if (!name || !hooksComplete(serviceHooks) || stopTiming.pollMs <= 0 || stopTiming.stopWaitMs < 0) {
        if (error)
            *error = ERROR_INVALID_PARAMETER;
        return false;
    }
    serviceName = name;
    hooks = serviceHooks;
    timing = stopTiming;
    // The table and the name it points at stay valid while the dispatcher blocks.
    static SERVICE_TABLE_ENTRYA table[2];
    table[0].lpServiceName = serviceName.data();
    table[0].lpServiceProc = serviceMain;
    table[1].lpServiceName = nullptr;
    table[1].lpServiceProc = nullptr;
    if (::StartServiceCtrlDispatcherA(table))
        return true;
    if (error)
        *error = ::GetLastError();
    return false;
}

void WINAPI WinService::serviceMain(DWORD argc, LPSTR* argv)
{
    statusHandle = ::RegisterServiceCtrlHandlerA(serviceName.c_str(), controlHandler);
    if (!statusHandle)
        return;
    {
        std::lock_guard<std::mutex> lock(statusMutex);
        status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        status.dwServiceSpecificExitCode = 0;
    }
    reportStatus(SERVICE_START_PENDING, NO_ERROR, startWaitHintMs);

    stopEvent.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stopEvent) {
        reportStatus(SERVICE_STOPPED, ::GetLastError(), 0);
        return;
    }
    reportStatus(SERVICE_RUNNING, NO_ERROR, 0);

    argumentStorage.assign(argv, argv + argc);
    argumentPointers.clear();
    for (std::string& argument : argumentStorage)
        argumentPointers.push_back(argument.data());
    argumentPointers.push_back(nullptr);

    // Marked running before the thread exists, so a stop that comes at once
    // still waits for it.
    hooks.agentStarted();
    KernelHandle agent(::CreateThread(nullptr, 0, agentThread, nullptr, 0, nullptr));
    if (!agent) {
        const DWORD error = ::GetLastError();
        hooks.agentFinished(-1);
        reportStatus(SERVICE_STOPPED, error, 0);
        return;
    }
    agent.reset(); // detached: the service main only waits for the stop request

    ::WaitForSingleObject(stopEvent.get(), INFINITE);

    // The agent restores the interfaces' DNS values on its way out; STOPPED
    // is reported only once it has finished, or when the bound runs out.
    bool finished = false;
    const ULONGLONG start = ::GetTickCount64();
    for (;;) {
        const ULONGLONG elapsed = ::GetTickCount64() - start;
        if (elapsed >= static_cast<ULONGLONG>(timing.stopWaitMs))
            break;
        const int slice = static_cast<int>(
            std::min<ULONGLONG>(static_cast<ULONGLONG>(timing.pollMs), timing.stopWaitMs - elapsed));
        if (hooks.waitAgentFinished(slice)) {
            finished = true;
            break;
        }
        reportStatus(SERVICE_STOP_PENDING, NO_ERROR, stopWaitHint());
    }
    reportStatus(SERVICE_STOPPED, finished ? NO_ERROR : stopTimeoutExitCode, 0);
}

void WINAPI WinService::controlHandler(DWORD control)
{
    if (control != SERVICE_CONTROL_STOP)
        return;
    // Stop is accepted only after RUNNING, when the event exists; a repeated
    // stop while stopping changes nothing.
    if (!stopEvent || stopping.exchange(true))
        return;
    hooks.requestQuit();
    reportStatus(SERVICE_STOP_PENDING, NO_ERROR, stopWaitHint());
    // The wait for the agent thread happens on the service main thread: the
    // handler has to return promptly to the dispatcher.
    ::SetEvent(stopEvent.get());
}

DWORD WINAPI WinService::agentThread(LPVOID)
{
    const int code = hooks.entry(static_cast<int>(argumentStorage.size()), argumentPointers.data());
    hooks.agentFinished(code);
    return static_cast<DWORD>(code);
}

bool WinService::install(const char* name, const std::string& binaryPath, std::FILE* out)
{
    const ServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        std::fprintf(out, "OpenSCManager failed (%d)\n", static_cast<int>(::GetLastError()));
        return false;
    }
    const ServiceHandle service(::CreateServiceA(
        manager.get(), name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
        SERVICE_ERROR_NORMAL, binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) {
        const DWORD error = ::GetLastError();
        // An installation from before the restart rule gets it on upgrade.
        if (error == ERROR_SERVICE_EXISTS) {
            const ServiceHandle existing(
                ::OpenServiceA(manager.get(), name, SERVICE_CHANGE_CONFIG | SERVICE_START));
            if (existing) {
                setRestartOnFailure(existing.get());
                // A registration by another installer may carry the path
                // without quotes, which a path with spaces must not have.
                ::ChangeServiceConfigA(existing.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                       SERVICE_NO_CHANGE, binaryPath.c_str(), nullptr, nullptr, nullptr,
                                       nullptr, nullptr, nullptr);
            }
        }
        std::fprintf(out, "CreateService failed (%d)\n", static_cast<int>(error));
        return false;
    }
    if (!setRestartOnFailure(service.get()))
        std::fprintf(out, "ChangeServiceConfig2 failed (%d)\n", static_cast<int>(::GetLastError()));
    std::fprintf(out, "Service installed successfully\n");
    return true;
}

bool WinService::setRestartOnFailure(SC_HANDLE service)
{
    // A dead agent must not leave the machine pointed at a loopback nobody
    // answers on: the manager starts it again 1 s after the first and second
    // failures and 2 s after later ones; the count resets after a day.
    SC_ACTION actions[3] = {{SC_ACTION_RESTART, 1000}, {SC_ACTION_RESTART, 1000}, {SC_ACTION_RESTART, 2000}};
    SERVICE_FAILURE_ACTIONSA failure{};
    failure.dwResetPeriod = 24 * 60 * 60;
    failure.cActions = 3;
    failure.lpsaActions = actions;
    if (!::ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure))
        return false;
    // An agent that ends with an error without crashing counts as failed too;
    // a manager that does not know this setting still restarts after crashes.
    SERVICE_FAILURE_ACTIONS_FLAG flag{};
    flag.fFailureActionsOnNonCrashFailures = TRUE;
    ::ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag);
    return true;
}

bool WinService::installSelf(const char* name, std::FILE* out)
{
    const std::string path = modulePathA();
    if (path.empty()) {
        std::fprintf(out, "Cannot install service (%d)\n", static_cast<int>(::GetLastError()));
        return false;
    }
    return install(name, "\"" + path + "\"", out);
}

bool WinService::uninstall(const char* name, std::FILE* out)
{
    const ServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        std::fprintf(out, "OpenSCManager failed (%d)\n", static_cast<int>(::GetLastError()));
        return false;
    }
    const ServiceHandle service(::OpenServiceA(manager.get(), name, DELETE));
    if (!service) {
        std::fprintf(out, "OpenService failed (%d)\n", static_cast<int>(::GetLastError()));
        return false;
    }
    if (!::DeleteService(service.get())) {
        std::fprintf(out, "DeleteService failed (%d)\n", static_cast<int>(::GetLastError()));
        return false;
    }
    std::fprintf(out, "Service deleted successfully\n");
    return true;
}

std::string WinService::modulePathA()
{
    // A path longer than MAX_PATH comes back cut; grow instead of installing
    // a wrong path.
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        if (path.size() >= 32768) {
            ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return {};
        }
        path.resize(path.size() * 2);
    }
}

std::wstring WinService::modulePathW()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        if (path.size() >= 32768) {
            ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return {};
        }
        path.resize(path.size() * 2);
    }
}
