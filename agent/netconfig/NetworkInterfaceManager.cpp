#include "netconfig/NetworkInterfaceManager.h"

#include "common/RegistryStore.h"
#include "netconfig/NetconfigLogging.h"
#include "platform/AdapterFilter.h"
#include "platform/AdapterSource.h"
#include "platform/Platform.h"
#include "settings/ConstData.h"

#include <QCoreApplication>
#include <QSettings>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace {

constexpr int passIntervalMs = 1000;

bool sameMap(const QMap<QString, UserData::NetInter>& a, const QMap<QString, UserData::NetInter>& b)
{
    if (a.size() != b.size())
        return false;
    for (auto it = a.cbegin(), other = b.cbegin(); it != a.cend(); ++it, ++other) {
        if (it.key() != other.key() || it->name != other->name || it->status != other->status)
            return false;
    }
    return true;
}

} // namespace

NetworkInterfaceManager::NetworkInterfaceManager(QString roots, QObject* parent, Redirect redirect)
    : QObject(parent), resolver(ConstData::getAddressConf()), redirecting(redirect == Redirect::Now)
{
    const QStringList pieces = roots.split(QLatin1Char(':'));
    rootV4 = pieces.value(0);
    rootV6 = pieces.value(1);
    if (rootV4.isEmpty() || rootV6.isEmpty())
        qCWarning(network_interface_manager) << "interface roots incomplete:" << roots;

    getActiveInterfaces(activeInterfaces);
    backupInterfaces(activeInterfaces);

    connect(&timer, &QTimer::timeout, this, [this] { slotChangedFile(); });
    timer.start(passIntervalMs);
    if (QCoreApplication* application = QCoreApplication::instance()) {
        // The pass must not run again once the values are back.
        connect(application, &QCoreApplication::aboutToQuit, this, [this] { timer.stop(); });
        connect(application, &QCoreApplication::aboutToQuit, this,
                &NetworkInterfaceManager::restoreAllInterface);
    }
    slotChangedFile();
    qCInfo(network_interface_manager) << "CREATE";
}

NetworkInterfaceManager::~NetworkInterfaceManager() = default;

void NetworkInterfaceManager::allowRedirect()
{
    if (redirecting)
        return;
    redirecting = true;
    qCInfo(network_interface_manager) << "the DNS listener answers: pointing the interfaces at it";
    slotChangedFile();
}

void NetworkInterfaceManager::setStatusProtect(const UserData::StatusControlDns& status)
{
    UserData::setControlDNS(status);
    slotChangedFile();
}

QByteArray NetworkInterfaceManager::networkFingerprint(const QVector<AdapterInfo>& adapters)
{
    QVector<QByteArray> pieces;
    for (const AdapterInfo& adapter : adapters) {
        if (!adapter.up)
            continue;
        QVector<QByteArray> addresses = adapter.addresses;
        std::sort(addresses.begin(), addresses.end());
        QByteArray piece = adapter.name.toUtf8();
        for (const QByteArray& address : qAsConst(addresses))
            piece += '\0' + address;
        pieces.append(piece);
    }
    // The order the system lists them in says nothing.
    std::sort(pieces.begin(), pieces.end());
    QByteArray fingerprint("", 0); // not null: a list without adapters is a state too
    for (const QByteArray& piece : qAsConst(pieces))
        fingerprint += piece + '\n';
    return fingerprint;
}

QString NetworkInterfaceManager::storableName(const QString& displayName)
{
    QString name = displayName;
    name.replace(QLatin1Char(':'), QChar(0x2236));
    return name;
}

QString NetworkInterfaceManager::describe(const QMap<QString, UserData::NetInter>& map)
{
    QStringList entries;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        entries << it.key() + QStringLiteral(" : ") + it->name + QStringLiteral(", ") +
                       (it->status ? QStringLiteral("true") : QStringLiteral("false"));
    return entries.join(QStringLiteral("; "));
}

void NetworkInterfaceManager::failUnreadableAdapters()
{
    qCDebug(network_interface_manager) << "Cannot read network interfaces!!!";
    restoreAllInterface();
    std::fflush(nullptr);
    // Immediate: other threads of the agent may still be running, and the
    // process-wide destructors that exit() would run are not theirs to lose.
    std::_Exit(1);
}

void NetworkInterfaceManager::getActiveInterfaces(std::list<NetworkInterface>& out)
{
    out.clear();
    QVector<AdapterInfo> adapters;
    if (!Platform::adapterSource().list(adapters))
        failUnreadableAdapters();
    QByteArray fingerprint = networkFingerprint(adapters);
    if (fingerprint != lastFingerprint) {
        const bool first = lastFingerprint.isNull();
        lastFingerprint = std::move(fingerprint);
        if (!first)
            emit signalNetworkChanged();
    }

    const QMap<QString, UserData::NetInter> known = UserData::getNetworkInterfaces();
    QMap<QString, UserData::NetInter> fresh;
    bool appeared = false;
    for (const AdapterInfo& adapter : adapters) {
        if (!AdapterFilter::counts(adapter.type, adapter.up))
            continue;
        const QString& key = adapter.name;
        if (!NetworkInterface::isUsableName(key)) {
            if (!refusedNames.contains(key)) {
                refusedNames.insert(key);
                qCWarning(network_interface_manager) << "adapter name not usable as a key, skipped:" << key;
            }
            continue;
        }
        if (fresh.contains(key))
            continue; // listed twice: one interface
        UserData::NetInter entry;
        entry.name = storableName(adapter.friendlyName);
        const auto stored = known.constFind(key);
        if (stored != known.cend()) {
            entry.status = stored->status;
        } else {
            entry.status = true;
            appeared = true;
        }
        fresh.insert(key, entry);
        if (entry.status)
            out.emplace_back(key);
    }

    if (!appeared && fresh.size() == known.size())
        return;
    if (!appeared && storedOnce && sameMap(fresh, lastStored))
        return;
    // Interfaces that have gone drop out of the stored map: the GUI lists
    // what exists.
    UserData::replaceNetworkInterfaces(fresh);
    lastStored = fresh;
    storedOnce = true;
    qCDebug(network_interface_manager).noquote() << "Current:" << describe(known);
    qCDebug(network_interface_manager).noquote() << "New:" << describe(fresh);
}

QStringList NetworkInterfaceManager::splitServers(const QString& text)
{
    QStringList servers = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    servers.removeAll(ConstData::getLocalHostV4());
    servers.removeAll(ConstData::getLocalHostV6());
    return servers;
}

void NetworkInterfaceManager::backupInterfaces(const std::list<NetworkInterface>& list)
{
    // Where resolv.conf itself is the machine's resolver, the links have no
    // servers of their own: its nameservers are the network's.
    for (const bool ipv4 : {true, false}) {
        if (!(ipv4 ? UserData::getSavedIpV4Dns() : UserData::getSavedIpV6Dns()).isEmpty())
            continue;
        const QStringList servers = resolver.originalServers(ipv4);
        if (servers.isEmpty())
            continue;
        ipv4 ? UserData::setSavedIpV4Dns(servers) : UserData::setSavedIpV6Dns(servers);
        qCDebug(network_interface_manager).noquote() << "backupInterfaces() resolv.conf" << servers;
    }
    for (const NetworkInterface& interface : list) {
        interface.backupInterfaceSetting(rootV4);
        if (UserData::getSavedIpV4Dns().isEmpty()) {
            const QString text = interface.getDnsAddress(rootV4);
            const QStringList servers = splitServers(text);
            // Logged when taken: a machine without servers of this family
            // would otherwise log it every second.
            if (!servers.isEmpty()) {
                UserData::setSavedIpV4Dns(servers);
                qCDebug(network_interface_manager).noquote() << "backupInterfaces() V4" << text;
            }
        }
        interface.backupInterfaceSetting(rootV6);
        if (UserData::getSavedIpV6Dns().isEmpty()) {
            const QString text = interface.getDnsAddress(rootV6);
            const QStringList servers = splitServers(text);
            // Logged when taken: a machine without servers of this family
            // would otherwise log it every second.
            if (!servers.isEmpty()) {
                UserData::setSavedIpV6Dns(servers);
                qCDebug(network_interface_manager).noquote() << "backupInterfaces() V6" << text;
            }
        }
    }
}

std::list<NetworkInterface>
NetworkInterfaceManager::getUnactiveInterfaces(const std::list<NetworkInterface>& current,
                                               const std::list<NetworkInterface>& previous)
{
    std::list<NetworkInterface> gone;
    for (const NetworkInterface& interface : previous) {
        bool present = false;
        for (const NetworkInterface& now : current) {
            if (now == interface) {
                present = true;
                break;
            }
        }
        if (!present)
            gone.push_back(interface);
    }
    return gone;
}

void NetworkInterfaceManager::slotChangedFile(const QString& path)
{
    Q_UNUSED(path)
    std::list<NetworkInterface> current;
    getActiveInterfaces(current);
    backupInterfaces(current);
    for (const NetworkInterface& interface : getUnactiveInterfaces(current, activeInterfaces)) {
        interface.restoreInterfaceSetting(rootV4);
        interface.restoreInterfaceSetting(rootV6);
    }
    activeInterfaces = std::move(current);
    // Until the listener answers, a machine pointed at it would lose its DNS.
    if (!redirecting)
        return;
    QStringList protectedLinks;
    for (const NetworkInterface& interface : activeInterfaces) {
        interface.setDnsIP(rootV4, ConstData::getLocalHostV4());
        interface.setDnsIP(rootV6, ConstData::getLocalHostV6());
        protectedLinks << interface.getName();
    }
    // After the backups above: the links' own servers were read from the
    // system before it is pointed at the agent.
    resolver.protect(protectedLinks);
}

void NetworkInterfaceManager::restoreAllInterface()
{
    auto store = RegistryStore::open(ConstData::getAddressConf());
    store->beginGroup(QStringLiteral("interfaces"));
    const QStringList names = store->childGroups();
    store->endGroup();

    const std::pair<QString, const QString*> families[] = {{QStringLiteral("IPv4"), &rootV4},
                                                           {QStringLiteral("IPv6"), &rootV6}};
    for (const QString& name : names) {
        if (!NetworkInterface::isUsableName(name))
            continue;
        for (const auto& family : families) {
            const QString& root = *family.second;
            if (root.isEmpty())
                continue;
            auto key = RegistryStore::open(root + name);
            store->beginGroup(NetworkInterface::backupGroup(name, family.first));
            const QStringList values = store->childKeys();
            for (const QString& value : values) {
                if (value != QLatin1String("backuped") && key->contains(value))
                    key->setValue(value, store->value(value));
            }
            store->setValue(QStringLiteral("backuped"), 0);
            store->endGroup();
            store->sync();
            key->sync();
            qCDebug(network_interface_manager).noquote().nospace()
                << "restore status all interfaces " << family.first << ": "
                << static_cast<int>(key->status());
        }
    }
    resolver.restoreAll();
}
