#pragma once

#include "platform/linux/LinkDnsSettings.h"

#include <QString>

class QSettings;

// On systems without a TCP/IP registry the interface keys are files of the
// emulated registry that nobody else fills. The first time the agent is about
// to back up such a key, it is filled with what the system really uses for the
// link: its DNS servers of the key's family and its DHCP state, so that the
// backup, and the previous servers taken from it, are the machine's own.
// On Windows the keys are the system's and nothing is written.
class InterfaceKeySeeder
{
public:
    // Fills the key `root` + `name` when it holds none of the DNS values and
    // the adapter is a link of this machine (not one of a test's fake list).
    // True when it wrote.
    static bool seed(const QString& root, const QString& name);

    // Writes the values for one family into an empty key (pure: no system
    // query). A DHCP link gets "EnableDHCP" 1, an empty "NameServer" and the
    // servers in "DhcpNameServer"; a static one "EnableDHCP" 0 and the servers
    // in "NameServer".
    static void fill(QSettings& key, bool ipv6, const LinkDns& dns);
    // True when the key holds any of "EnableDHCP", "DhcpNameServer", "NameServer".
    static bool hasDnsValues(const QSettings& key);
};
