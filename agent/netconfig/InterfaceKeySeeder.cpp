#include "netconfig/InterfaceKeySeeder.h"

#include "common/RegistryStore.h"
#include "platform/Platform.h"
#include "platform/PlatformLogging.h"
#include "platform/SystemServices.h"

#include <QNetworkInterface>
#include <QSettings>

bool InterfaceKeySeeder::hasDnsValues(const QSettings& key)
{
    return key.contains(QStringLiteral("EnableDHCP")) || key.contains(QStringLiteral("DhcpNameServer")) ||
           key.contains(QStringLiteral("NameServer"));
}

void InterfaceKeySeeder::fill(QSettings& key, bool ipv6, const LinkDns& dns)
{
    const QString servers = (ipv6 ? dns.v6 : dns.v4).join(QLatin1Char(' '));
    key.setValue(QStringLiteral("EnableDHCP"), dns.dhcp ? 1 : 0);
    if (dns.dhcp) {
        key.setValue(QStringLiteral("NameServer"), QString());
        key.setValue(QStringLiteral("DhcpNameServer"), servers);
    } else {
        key.setValue(QStringLiteral("NameServer"), servers);
    }
    key.sync();
}

bool InterfaceKeySeeder::seed(const QString& root, const QString& name)
{
#ifdef Q_OS_WIN
    Q_UNUSED(root)
    Q_UNUSED(name)
    return false;
#else
    // Only links the system itself listed have a configuration to read; a
    // test's fake adapters must not pick up the machine's servers.
    if (&Platform::adapterSource() != &SystemServices::adapterSource())
        return false;
    const int ifIndex = QNetworkInterface::interfaceIndexFromName(name);
    if (ifIndex <= 0)
        return false;
    auto key = RegistryStore::open(root + name);
    if (hasDnsValues(*key))
        return false;
    const bool ipv6 = root.contains(QLatin1String("ip6"));
    const LinkDns dns = LinkDnsSettings::read(name, ifIndex);
    fill(*key, ipv6, dns);
    qCInfo(platform) << "seeded interface key" << name << (ipv6 ? "IPv6" : "IPv4") << "dhcp:" << dns.dhcp
                     << "servers:" << (ipv6 ? dns.v6 : dns.v4);
    return key->status() == QSettings::NoError;
#endif
}
