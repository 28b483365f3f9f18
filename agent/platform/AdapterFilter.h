#pragma once

// Which adapters the interface manager protects. Plain C++ (no Qt) so the
// same rule is used by the agent and checked against a real Windows adapter
// list by the Win32 helper tests.
//
// Software loopback never counts; Ethernet, IEEE 802.11 and PPP adapters
// count even while down (an unplugged cable must not restore the interface);
// every other type counts only while up.
namespace AdapterFilter {

constexpr unsigned long typeEthernet = 6;
constexpr unsigned long typePpp = 23;
constexpr unsigned long typeSoftwareLoopback = 24;
constexpr unsigned long typeIeee80211 = 71;

constexpr bool counts(unsigned long type, bool up)
{
    if (type == typeSoftwareLoopback)
        return false;
    if (up)
        return true;
    return type == typeEthernet || type == typeIeee80211 || type == typePpp;
}

} // namespace AdapterFilter
