#pragma once

#include <QString>
#include <QStringList>

// The DNS servers a link really uses and whether it takes its address by DHCP.
struct LinkDns
{
    bool dhcp = false;
    QStringList v4; // IPv4 servers, in the order the system uses them
    QStringList v6; // IPv6 servers
};

// Finds the DNS configuration the system applies to one network link, for
// systems that keep it outside a registry: systemd-resolved's per-link servers
// where it runs (its global servers for a link without own ones), else the
// per-link servers systemd-networkd announces, else the nameservers of
// /etc/resolv.conf. Loopback addresses (a local stub resolver, or the agent
// itself) are never reported. The DHCP state comes from the lease files of
// systemd-networkd, dhclient, dhcpcd and NetworkManager.
class LinkDnsSettings
{
public:
    // `fsRoot` prefixes every file path (tests point it at a prepared tree);
    // `ifIndex` is the link's kernel index, 0 when unknown.
    static LinkDns read(const QString& link, int ifIndex, const QString& fsRoot = QString());

    // The servers of `link` in `resolvectl dns` output ("Link 2 (eth0): a b").
    // `linkListed` tells whether the link had a line at all.
    static QStringList parseResolvectlLink(const QString& output, const QString& link,
                                           bool* linkListed = nullptr);
    // The servers of the "Global:" line of `resolvectl dns` output.
    static QStringList parseResolvectlGlobal(const QString& output);
    // The "nameserver" lines of a resolv.conf text.
    static QStringList parseResolvConf(const QString& text);
    // The space-separated values of every "key=..." line of a state file
    // (systemd's "SERVERS=" and "DNS=").
    static QStringList parseStateList(const QString& text, const QString& key);
    // True when a dhclient lease text holds a lease of `link`.
    static bool dhclientLeaseNamesLink(const QString& text, const QString& link);
    // Server texts as the resolvers print them ("1.1.1.1#one.one.one.one",
    // "[fe80::1%eth0]:53", "9.9.9.9:53") turned into plain addresses; invalid,
    // unspecified and loopback addresses and repeats are dropped.
    static QStringList usableServers(const QStringList& raw);
    // Splits addresses by family, keeping their order.
    static void splitFamilies(const QStringList& servers, QStringList& v4, QStringList& v6);
};
