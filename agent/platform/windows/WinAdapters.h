#pragma once

// The machine's adapter list through the IP Helper, in plain C++.

#include <string>
#include <vector>

class WinAdapters
{
public:
    struct Adapter
    {
        std::string name;          // AdapterName: the adapter's GUID, ANSI text
        std::wstring friendlyName; // what the user sees
        unsigned long type = 1;    // IfType (IANA interface type)
        bool up = false;           // OperStatus is IfOperStatusUp
        // The unicast addresses: 4 bytes (IPv4) or 16 (IPv6) each, network order.
        std::vector<std::string> addresses;
    };

    // Flags of the query: no anycast, multicast or DNS server addresses.
    static constexpr unsigned long queryFlags = 0x0E;
    // How many times the list is asked for while it keeps outgrowing the buffer.
    static constexpr int maxAttempts = 6;

    // Fills `adapters` in the order the system returns them. False when the
    // list cannot be read; `error` then holds the last result code.
    static bool list(std::vector<Adapter>& adapters, unsigned long* error = nullptr);
};
