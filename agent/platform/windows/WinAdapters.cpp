#include "platform/windows/WinAdapters.h"

// winsock2.h has to come before windows.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include <memory>

bool WinAdapters::list(std::vector<Adapter>& adapters, unsigned long* error)
{
    adapters.clear();
    // The first call asks for the size; an adapter that appears between two
    // calls makes the list outgrow the buffer again, so ask again with the
    // new size, a bounded number of times.
    ULONG size = 0;
    std::unique_ptr<unsigned char[]> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < maxAttempts && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        auto* first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get());
        result = ::GetAdaptersAddresses(AF_UNSPEC, queryFlags, nullptr, first, &size);
        if (result == ERROR_BUFFER_OVERFLOW)
            buffer.reset(new unsigned char[size]);
    }
    if (error)
        *error = result;
    if (result == ERROR_NO_DATA)
        return true; // no adapters at all is a valid, empty list
    if (result != NO_ERROR || !buffer)
        return false;

    for (const auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.get()); adapter;
         adapter = adapter->Next) {
        Adapter entry;
        if (adapter->AdapterName)
            entry.name = adapter->AdapterName;
        if (adapter->FriendlyName)
            entry.friendlyName = adapter->FriendlyName;
        entry.type = adapter->IfType;
        entry.up = adapter->OperStatus == IfOperStatusUp;
        for (const auto* unicast = adapter->FirstUnicastAddress; unicast; unicast = unicast->Next) {
            const sockaddr* address = unicast->Address.lpSockaddr;
            if (!address)
                continue;
            if (address->sa_family == AF_INET &&
                unicast->Address.iSockaddrLength >= static_cast<INT>(sizeof(sockaddr_in))) {
                const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
                entry.addresses.emplace_back(reinterpret_cast<const char*>(&v4->sin_addr), 4);
            } else if (address->sa_family == AF_INET6 &&
                       unicast->Address.iSockaddrLength >= static_cast<INT>(sizeof(sockaddr_in6))) {
                const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
                entry.addresses.emplace_back(reinterpret_cast<const char*>(&v6->sin6_addr), 16);
            }
        }
        adapters.push_back(std::move(entry));
    }
    return true;
}
