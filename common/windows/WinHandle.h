#pragma once

// Owning wrappers for the Win32 handles the platform code opens, so that every
// early return closes what was opened. Plain C++: no Qt here, so the helpers
// that use them can be built and run without a Windows build of Qt.

// winsock2.h has to come before windows.h.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <winsvc.h>
// clang-format on

#include <utility>

// Traits: `type`, `invalid()` and `close(type)`.
template <typename Traits> class WinHandle
{
public:
    using Type = typename Traits::type;

    WinHandle() = default;
    explicit WinHandle(Type handle) : value(handle) {}
    ~WinHandle() { reset(); }

    WinHandle(const WinHandle&) = delete;
    WinHandle& operator=(const WinHandle&) = delete;
    WinHandle(WinHandle&& other) noexcept : value(other.release()) {}
    WinHandle& operator=(WinHandle&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    Type get() const { return value; }
    bool valid() const { return value != Traits::invalid(); }
    explicit operator bool() const { return valid(); }

    Type release() { return std::exchange(value, Traits::invalid()); }
    void reset(Type handle = Traits::invalid())
    {
        if (valid())
            Traits::close(value);
        value = handle;
    }

private:
    Type value = Traits::invalid();
};

// Kernel objects (events, threads) where null means "none".
struct KernelHandleTraits
{
    using type = HANDLE;
    static type invalid() { return nullptr; }
    static void close(type handle) { ::CloseHandle(handle); }
};

// Handles of the service control manager and of services.
struct ServiceHandleTraits
{
    using type = SC_HANDLE;
    static type invalid() { return nullptr; }
    static void close(type handle) { ::CloseServiceHandle(handle); }
};

// Opened registry keys.
struct RegistryKeyTraits
{
    using type = HKEY;
    static type invalid() { return nullptr; }
    static void close(type handle) { ::RegCloseKey(handle); }
};

// Memory the security functions return from LocalAlloc (security
// descriptors, their SDDL text).
struct LocalMemoryTraits
{
    using type = HLOCAL;
    static type invalid() { return nullptr; }
    static void close(type memory) { ::LocalFree(memory); }
};

using KernelHandle = WinHandle<KernelHandleTraits>;
using ServiceHandle = WinHandle<ServiceHandleTraits>;
using RegistryKey = WinHandle<RegistryKeyTraits>;
using LocalMemory = WinHandle<LocalMemoryTraits>;
