#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

// One network interface as the agent manipulates it: its DNS server values in
// the TCP/IP parameters of the registry (root + adapter name), a one-time copy
// of them in the agent's own settings, and the way back.
//
// The copy lives in group "interfaces/<name>/<IPv4|IPv6>" of the agent's
// settings, with "backuped" 1 while it is valid. It outlives the process: an
// interface left pointed at the loopback by a run that died is never "backed
// up" again over its real values.
class NetworkInterface
{
public:
    explicit NetworkInterface(QString name);

    const QString& getName() const { return name; }
    bool operator==(const NetworkInterface& other) const { return name == other.name; }
    bool operator!=(const NetworkInterface& other) const { return name != other.name; }

    // "IPv6" when `root` contains "ip6", else "IPv4".
    QString getGroup(const QString& root) const;
    bool isExistBackup(const QString& root) const;
    void backupInterfaceSetting(const QString& root) const;
    void restoreInterfaceSetting(const QString& root) const;
    // Overwrites the DNS server values the key already has with `ip`.
    void setDnsIP(const QString& root, const QString& ip) const;
    // The servers the backup holds: a static "NameServer" first, else the
    // DHCP servers of an interface configured by DHCP, else "".
    QString getDnsAddress(const QString& root) const;

    // The values copied and put back, in this order.
    static const QStringList& backupKeys();
    // The backup group of one interface and family in the agent's settings.
    static QString backupGroup(const QString& name, const QString& family);
    // A name that can address its own registry key and backup group: not
    // empty, no key separator ("\" or "/") and no NUL.
    static bool isUsableName(const QString& name);
    // A registry flag read from any of the forms it takes: a number (DWORD,
    // INI text), "true"/"false"; anything else is false.
    static bool isTrue(const QVariant& value);
    // A DNS server value as text; an INI line with commas reads as a list and
    // is joined back as it was written.
    static QString textOf(const QVariant& value);

private:
    QString name;
};
