#include "netconfig/NetworkInterface.h"

#include "common/RegistryStore.h"
#include "netconfig/InterfaceKeySeeder.h"
#include "netconfig/NetconfigLogging.h"
#include "settings/ConstData.h"

#include <QSettings>

#include <utility>

namespace {

const QString keyBackuped = QStringLiteral("backuped");
const QString keyDhcpNameServer = QStringLiteral("DhcpNameServer");
const QString keyNameServer = QStringLiteral("NameServer");
const QString keyEnableDhcp = QStringLiteral("EnableDHCP");

std::unique_ptr<QSettings> openBackupStore()
{
    return RegistryStore::open(ConstData::getAddressConf());
}

} // namespace

NetworkInterface::NetworkInterface(QString name) : name(std::move(name)) {}

const QStringList& NetworkInterface::backupKeys()
{
    static const QStringList keys = {keyEnableDhcp, keyDhcpNameServer, keyNameServer};
    return keys;
}

QString NetworkInterface::backupGroup(const QString& name, const QString& family)
{
    return QStringLiteral("interfaces/") + name + QLatin1Char('/') + family;
}

bool NetworkInterface::isUsableName(const QString& name)
{
    return !name.isEmpty() && !name.contains(QLatin1Char('\\')) && !name.contains(QLatin1Char('/')) &&
           !name.contains(QChar(0));
}

bool NetworkInterface::isTrue(const QVariant& value)
{
    if (value.type() == QVariant::Bool)
        return value.toBool();
    const QString text = value.toString().trimmed();
    if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
        return true;
    bool number = false;
    const qlonglong n = text.toLongLong(&number);
    return number && n != 0;
}

QString NetworkInterface::textOf(const QVariant& value)
{
    if (value.type() == QVariant::StringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

QString NetworkInterface::getGroup(const QString& root) const
{
    return root.contains(QLatin1String("ip6")) ? QStringLiteral("IPv6") : QStringLiteral("IPv4");
}

bool NetworkInterface::isExistBackup(const QString& root) const
{
    if (!isUsableName(name))
        return false;
    auto store = openBackupStore();
    const QString flag = backupGroup(name, getGroup(root)) + QLatin1Char('/') + keyBackuped;
    return store->contains(flag) && isTrue(store->value(flag));
}

void NetworkInterface::backupInterfaceSetting(const QString& root) const
{
    if (!isUsableName(name) || root.isEmpty())
        return;
    // Taken once: a valid backup is never refreshed, because the key may by
    // now hold the loopback address that the agent itself wrote.
    if (isExistBackup(root))
        return;
    InterfaceKeySeeder::seed(root, name);
    auto source = RegistryStore::open(root + name);
    auto store = openBackupStore();
    store->beginGroup(backupGroup(name, getGroup(root)));
    for (const QString& key : backupKeys()) {
        if (source->contains(key))
            store->setValue(key, source->value(key));
    }
    store->setValue(keyBackuped, 1);
    store->endGroup();
    store->sync();
}

void NetworkInterface::restoreInterfaceSetting(const QString& root) const
{
    qCDebug(network_interface) << "method: NetworkInterface::restoreInterfaceSetting()";
    if (root.isEmpty() || !isExistBackup(root))
        return;
    auto destination = RegistryStore::open(root + name);
    auto store = openBackupStore();
    store->beginGroup(backupGroup(name, getGroup(root)));
    for (const QString& key : backupKeys()) {
        if (!store->contains(key))
            continue;
        const QVariant value = store->value(key);
        qCDebug(network_interface).noquote().nospace() << "key: " << key << " value: " << textOf(value);
        destination->setValue(key, value);
        destination->sync();
        qCDebug(network_interface).nospace()
            << "dst_settings.status: " << static_cast<int>(destination->status());
    }
    // The copied values stay: only the flag says the backup is used up.
    store->setValue(keyBackuped, 0);
    store->endGroup();
    store->sync();
}

void NetworkInterface::setDnsIP(const QString& root, const QString& ip) const
{
    if (!isUsableName(name) || root.isEmpty())
        return;
    auto key = RegistryStore::open(root + name);
    bool changed = false;
    for (const QString& value : {keyDhcpNameServer, keyNameServer}) {
        // Only values the interface has; rewriting an equal value would cost a
        // store write every second for nothing.
        if (key->contains(value) && textOf(key->value(value)) != ip) {
            key->setValue(value, ip);
            changed = true;
        }
    }
    if (changed)
        key->sync();
}

QString NetworkInterface::getDnsAddress(const QString& root) const
{
    if (!isUsableName(name))
        return QString();
    auto store = openBackupStore();
    store->beginGroup(backupGroup(name, getGroup(root)));
    const QString nameServer = textOf(store->value(keyNameServer));
    if (!nameServer.isEmpty())
        return nameServer;
    if (store->contains(keyEnableDhcp) && isTrue(store->value(keyEnableDhcp)))
        return textOf(store->value(keyDhcpNameServer));
    return QString();
}
