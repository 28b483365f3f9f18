#include "platform/windows/WinServiceStop.h"

WinServiceStop::Result WinServiceStop::stopAndWait(const char* name, unsigned long timeoutMs,
                                                   unsigned long pollMs, unsigned long* error)
{
    if (error)
        *error = 0;
    const ServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        if (error)
            *error = ::GetLastError();
        return Result::Failed;
    }
    const ServiceHandle service(::OpenServiceA(manager.get(), name, SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_SERVICE_DOES_NOT_EXIST)
            return Result::NotInstalled;
        if (error)
            *error = code;
        return Result::Failed;
    }
    // The process holds the program's files open until it has exited, which
    // may be a moment after it reported STOPPED: it is waited for too.
    KernelHandle process;
    SERVICE_STATUS_PROCESS processStatus{};
    DWORD needed = 0;
    if (::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&processStatus),
                               sizeof(processStatus), &needed) &&
        processStatus.dwProcessId != 0)
        process = KernelHandle(::OpenProcess(SYNCHRONIZE, FALSE, processStatus.dwProcessId));
    SERVICE_STATUS status{};
    // A service that is already stopping (or stopped) refuses the control;
    // the wait below is what matters.
    if (!::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        const DWORD code = ::GetLastError();
        if (code != ERROR_SERVICE_NOT_ACTIVE && code != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) {
            if (error)
                *error = code;
            return Result::Failed;
        }
    }
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (!::QueryServiceStatus(service.get(), &status)) {
            if (error)
                *error = ::GetLastError();
            return Result::Failed;
        }
        if (status.dwCurrentState == SERVICE_STOPPED)
            break;
        if (::GetTickCount64() >= deadline)
            return Result::TimedOut;
        ::Sleep(pollMs);
    }
    if (process) {
        const ULONGLONG now = ::GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (::WaitForSingleObject(process.get(), left) != WAIT_OBJECT_0)
            return Result::TimedOut;
    }
    return Result::Stopped;
}
