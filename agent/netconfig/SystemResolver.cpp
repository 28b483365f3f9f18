#include "netconfig/SystemResolver.h"

#include "common/RegistryStore.h"
#include "platform/Platform.h"
#include "platform/PlatformLogging.h"
#include "platform/ProgramRunner.h"
#include "platform/SystemServices.h"
#include "platform/linux/LinkDnsSettings.h"

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QSettings>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

#include <algorithm>
#include <utility>

namespace {

constexpr qint64 maxResolvConfSize = 1 << 20;
constexpr int commandTimeoutMs = 5000;
// Link settings can be replaced behind the agent's back (a DHCP renewal makes
// systemd-networkd push its servers again); they are set again this often.
constexpr int reapplyEveryPasses = 30;

const QString keyBackuped = QStringLiteral("backuped");
const QString keyMode = QStringLiteral("Mode");
const QString keyPath = QStringLiteral("Path");
const QString keyContent = QStringLiteral("Content");
const QString keyServers = QStringLiteral("Servers");
const QString keyDomains = QStringLiteral("Domains");
const QByteArray takeoverHeader = "# Written by Corvane Agent while it protects this machine; the original "
                                  "comes back when it stops.\n";

bool readFile(const QString& path, QByteArray& text)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    text = file.read(maxResolvConfSize);
    return true;
}

// In place: the file keeps its owner, mode and inode (a bind mount or another
// program's open handle still sees it), and glibc reads a file caught empty
// as "ask 127.0.0.1", which is the agent.
bool writeFile(const QString& path, const QByteArray& text)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(text) == text.size() && file.flush();
}

bool succeeded(const ProgramResult& result)
{
    return result.started && result.finished && result.exitCode == 0;
}

bool unitActive(const QString& unit)
{
    return succeeded(Platform::programRunner().run(
        QStringLiteral("systemctl"), {QStringLiteral("is-active"), QStringLiteral("--quiet"), unit},
        commandTimeoutMs));
}

QByteArray namespaceOf(const char* path)
{
#ifdef Q_OS_WIN
    Q_UNUSED(path)
    return QByteArray();
#else
    char buffer[64] = {};
    const ssize_t length = ::readlink(path, buffer, sizeof buffer - 1);
    return length > 0 ? QByteArray(buffer, static_cast<int>(length)) : QByteArray();
#endif
}

bool isLoopbackListener(const QString& server)
{
    return server == QLatin1String("127.0.0.1") || server == QLatin1String("::1");
}

} // namespace

SystemResolver::SystemResolver(QString storePath)
    : storePath(std::move(storePath)), resolvConfPath(QStringLiteral("/etc/resolv.conf")), followsSystem(true)
{
}

SystemResolver::SystemResolver(QString storePath, Mode mode, QString resolvConfPath)
    : storePath(std::move(storePath)), resolvConfPath(std::move(resolvConfPath)), mode(mode), modeKnown(true)
{
}

bool SystemResolver::isEnabled() const
{
#ifdef Q_OS_WIN
    return !followsSystem;
#else
    // A test's fake adapters are not links of this machine.
    return !followsSystem || &Platform::adapterSource() == &SystemServices::adapterSource();
#endif
}

QString SystemResolver::linkGroup(const QString& link)
{
    return QStringLiteral("interfaces/") + link + QStringLiteral("/Resolver");
}

QString SystemResolver::fileGroup()
{
    return QStringLiteral("resolvconf");
}

QString SystemResolver::modeName(Mode mode)
{
    switch (mode) {
    case Mode::ResolvConf:
        return QStringLiteral("resolvconf");
    case Mode::Resolved:
        return QStringLiteral("resolved");
    case Mode::NetworkManager:
        return QStringLiteral("networkmanager");
    case Mode::None:
        break;
    }
    return QStringLiteral("none");
}

SystemResolver::Mode SystemResolver::modeFromName(const QString& name)
{
    for (Mode mode : {Mode::ResolvConf, Mode::Resolved, Mode::NetworkManager}) {
        if (name == modeName(mode))
            return mode;
    }
    return Mode::None;
}

SystemResolver::Facts SystemResolver::probe(const QString& resolvConfPath)
{
    Facts facts;
    const QFileInfo info(resolvConfPath);
    facts.resolvConfTarget = info.isSymLink() ? info.symLinkTarget() : info.absoluteFilePath();
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        facts.resolvConfTarget = canonical;
    readFile(resolvConfPath, facts.resolvConfText);
    const QByteArray own = namespaceOf("/proc/self/ns/net");
    const QByteArray system = namespaceOf("/proc/1/ns/net");
    facts.foreignNetworkNamespace = !own.isEmpty() && !system.isEmpty() && own != system;
    if (!facts.foreignNetworkNamespace) {
        facts.resolvedRunning = unitActive(QStringLiteral("systemd-resolved.service"));
        facts.networkManagerRunning = unitActive(QStringLiteral("NetworkManager.service"));
    }
    return facts;
}

SystemResolver::Mode SystemResolver::decideMode(const Facts& facts)
{
    if (facts.foreignNetworkNamespace)
        return Mode::ResolvConf;
    const QStringList servers = LinkDnsSettings::parseResolvConf(QString::fromUtf8(facts.resolvConfText));
    bool onlyStub = !servers.isEmpty();
    for (const QString& server : servers)
        onlyStub =
            onlyStub && (server == QLatin1String("127.0.0.53") || server == QLatin1String("127.0.0.54"));
    const bool resolvedFile = facts.resolvConfTarget.startsWith(QLatin1String("/run/systemd/resolve/")) ||
                              facts.resolvConfTarget == QLatin1String("/usr/lib/systemd/resolv.conf") ||
                              facts.resolvConfTarget == QLatin1String("/lib/systemd/resolv.conf");
    if (facts.resolvedRunning && (resolvedFile || onlyStub))
        return Mode::Resolved;
    // NetworkManager rewrites the file it owns from the devices' settings, so
    // the devices are what must change; a file it does not own is ours.
    const bool networkManagerFile =
        facts.resolvConfTarget.startsWith(QLatin1String("/run/NetworkManager/")) ||
        facts.resolvConfText.startsWith("# Generated by NetworkManager");
    if (facts.networkManagerRunning && !facts.resolvedRunning && networkManagerFile)
        return Mode::NetworkManager;
    return Mode::ResolvConf;
}

QByteArray SystemResolver::takeoverText(const QByteArray& original)
{
    QByteArray text = takeoverHeader;
    text += "nameserver 127.0.0.1\nnameserver ::1\n";
    const QList<QByteArray> lines = original.split('\n');
    for (const QByteArray& line : lines) {
        const QByteArray word = line.simplified().split(' ').value(0);
        if (word == "search" || word == "domain" || word == "options" || word == "sortlist")
            text += line.trimmed() + '\n';
    }
    return text;
}

QList<QStringList> SystemResolver::applyCommands(Mode mode, const QString& link)
{
    switch (mode) {
    case Mode::Resolved:
        return {{QStringLiteral("resolvectl"), QStringLiteral("dns"), link, QStringLiteral("127.0.0.1"),
                 QStringLiteral("::1")},
                {QStringLiteral("resolvectl"), QStringLiteral("domain"), link, QStringLiteral("~.")}};
    case Mode::NetworkManager:
        // "device modify" changes the active settings only; the saved
        // connection profile stays as it was.
        return {{QStringLiteral("nmcli"), QStringLiteral("device"), QStringLiteral("modify"), link,
                 QStringLiteral("ipv4.dns"), QStringLiteral("127.0.0.1"),
                 QStringLiteral("ipv4.ignore-auto-dns"), QStringLiteral("yes"), QStringLiteral("ipv6.dns"),
                 QStringLiteral("::1"), QStringLiteral("ipv6.ignore-auto-dns"), QStringLiteral("yes")}};
    case Mode::ResolvConf:
    case Mode::None:
        break;
    }
    return {};
}

QList<QStringList> SystemResolver::restoreCommands(Mode mode, const QString& link, const QStringList& servers,
                                                   const QStringList& domains)
{
    QList<QStringList> commands;
    switch (mode) {
    case Mode::Resolved:
        commands << QStringList{QStringLiteral("resolvectl"), QStringLiteral("revert"), link};
        if (!servers.isEmpty())
            commands << QStringList{QStringLiteral("resolvectl"), QStringLiteral("dns"), link} + servers;
        if (!domains.isEmpty())
            commands << QStringList{QStringLiteral("resolvectl"), QStringLiteral("domain"), link} + domains;
        break;
    case Mode::NetworkManager:
        // Applying the connection again drops the run-time changes.
        commands << QStringList{QStringLiteral("nmcli"), QStringLiteral("device"), QStringLiteral("reapply"),
                                link};
        break;
    case Mode::ResolvConf:
    case Mode::None:
        break;
    }
    return commands;
}

SystemResolver::Mode SystemResolver::getMode()
{
    if (!modeKnown) {
        modeKnown = true;
        const Facts facts = probe(resolvConfPath);
        mode = decideMode(facts);
        qCInfo(platform).noquote() << "system resolver:" << modeName(mode)
                                   << "resolv.conf:" << facts.resolvConfTarget;
    }
    return mode;
}

void SystemResolver::run(const QList<QStringList>& commands)
{
    for (const QStringList& command : commands) {
        ProgramResult result =
            Platform::programRunner().run(command.first(), command.mid(1), commandTimeoutMs);
        // One that did not even get to run (a machine too busy to start it in
        // time) is tried once more: a link left pointed at a stopped agent
        // has no DNS.
        if (!result.started)
            result = Platform::programRunner().run(command.first(), command.mid(1), commandTimeoutMs);
        if (!succeeded(result))
            qCWarning(platform).noquote()
                << "command failed:" << command.join(QLatin1Char(' ')) << "exit code" << result.exitCode;
    }
}

QStringList SystemResolver::nameservers(const QByteArray& resolvConf, bool ipv4)
{
    QStringList servers;
    for (const QByteArray& raw : resolvConf.split('\n')) {
        const QList<QByteArray> words = raw.simplified().split(' ');
        if (words.size() < 2 || words.at(0) != "nameserver")
            continue;
        const QHostAddress address(QString::fromLatin1(words.at(1)));
        // The agent's own addresses (a file it wrote); other loopback
        // addresses may be a local resolver's.
        if (address.isNull() || address == QHostAddress(QHostAddress::LocalHost) ||
            address == QHostAddress(QHostAddress::LocalHostIPv6))
            continue;
        if ((address.protocol() == QAbstractSocket::IPv4Protocol) == ipv4)
            servers.append(address.toString());
    }
    return servers;
}

QStringList SystemResolver::originalServers(bool ipv4)
{
    if (!isEnabled() || getMode() != Mode::ResolvConf)
        return {};
    auto store = RegistryStore::open(storePath);
    store->beginGroup(fileGroup());
    QByteArray text;
    if (store->value(keyBackuped).toInt() == 1)
        text = QByteArray::fromBase64(store->value(keyContent).toByteArray());
    else
        readFile(resolvConfPath, text);
    store->endGroup();
    return nameservers(text, ipv4);
}

void SystemResolver::protect(const QStringList& links)
{
    if (!isEnabled())
        return;
    const Mode current = getMode();
    if (current == Mode::None)
        return;
    const bool reapply = ++passes % reapplyEveryPasses == 0;
    if (passes == 1) {
        // Links a run that died had taken over and that are not protected now.
        for (const QString& link : linksBackedUp()) {
            if (!links.contains(link))
                giveBackLink(link);
        }
    }
    if (current == Mode::ResolvConf) {
        if (links.isEmpty())
            giveBackFile();
        else
            takeOverFile();
        return;
    }
    for (const QString& link : links) {
        if (reapply || !applied.contains(link))
            takeOverLink(link);
    }
    const QSet<QString> before = applied;
    for (const QString& link : before) {
        if (!links.contains(link))
            giveBackLink(link);
    }
}

void SystemResolver::takeOverFile()
{
    QByteArray now;
    const bool readable = readFile(resolvConfPath, now);
    auto store = RegistryStore::open(storePath);
    store->beginGroup(fileGroup());
    QByteArray original;
    if (store->value(keyBackuped).toInt() == 1) {
        original = QByteArray::fromBase64(store->value(keyContent).toByteArray());
    } else {
        // The file a symlink names is what is rewritten and put back.
        const QString target = QFileInfo(resolvConfPath).canonicalFilePath();
        store->setValue(keyMode, modeName(Mode::ResolvConf));
        store->setValue(keyPath, target.isEmpty() ? resolvConfPath : target);
        store->setValue(keyContent, QString::fromLatin1(now.toBase64()));
        store->setValue(keyBackuped, readable ? 1 : 0);
        store->sync();
        if (!readable) {
            qCWarning(platform).noquote() << "cannot read" << resolvConfPath << "; not taken over";
            return;
        }
        original = now;
        qCInfo(platform).noquote() << "resolv.conf backed up:" << store->value(keyPath).toString();
    }
    const QString target = store->value(keyPath).toString();
    store->endGroup();
    const QByteArray wanted = takeoverText(original);
    if (now == wanted)
        return;
    if (!writeFile(target, wanted))
        qCWarning(platform).noquote() << "cannot write" << target;
}

void SystemResolver::giveBackFile()
{
    auto store = RegistryStore::open(storePath);
    store->beginGroup(fileGroup());
    if (store->value(keyBackuped).toInt() != 1)
        return;
    const QString target = store->value(keyPath).toString();
    const QByteArray original = QByteArray::fromBase64(store->value(keyContent).toByteArray());
    if (target.isEmpty() || !writeFile(target, original)) {
        // The backup stays valid: the next run tries again.
        qCWarning(platform).noquote() << "cannot restore" << target;
        return;
    }
    store->setValue(keyBackuped, 0);
    store->endGroup();
    store->sync();
    qCInfo(platform).noquote() << "resolv.conf restored:" << target;
}

void SystemResolver::takeOverLink(const QString& link)
{
    auto store = RegistryStore::open(storePath);
    store->beginGroup(linkGroup(link));
    if (store->value(keyBackuped).toInt() != 1) {
        QStringList servers;
        QStringList domains;
        if (mode == Mode::Resolved) {
            const auto listed = [&link](const QString& what) {
                const ProgramResult result = Platform::programRunner().run(QStringLiteral("resolvectl"),
                                                                           {what, link}, commandTimeoutMs);
                return succeeded(result)
                           ? LinkDnsSettings::parseResolvectlLink(QString::fromUtf8(result.output), link)
                           : QStringList();
            };
            servers = listed(QStringLiteral("dns"));
            domains = listed(QStringLiteral("domain"));
            // What this agent wrote before is no setting of the link's own.
            servers.erase(std::remove_if(servers.begin(), servers.end(), isLoopbackListener), servers.end());
            domains.removeAll(QStringLiteral("~."));
        }
        store->setValue(keyMode, modeName(mode));
        store->setValue(keyServers, servers.join(QLatin1Char(' ')));
        store->setValue(keyDomains, domains.join(QLatin1Char(' ')));
        store->setValue(keyBackuped, 1);
        store->sync();
        qCInfo(platform).noquote() << "link" << link << "backed up (" << modeName(mode) << "):" << servers
                                   << domains;
    }
    store->endGroup();
    run(applyCommands(mode, link));
    applied.insert(link);
}

void SystemResolver::giveBackLink(const QString& link)
{
    applied.remove(link);
    auto store = RegistryStore::open(storePath);
    store->beginGroup(linkGroup(link));
    if (store->value(keyBackuped).toInt() != 1)
        return;
    // The mode the backup was taken in decides how it goes back.
    const Mode backupMode = modeFromName(store->value(keyMode).toString());
    const QStringList servers =
        store->value(keyServers).toString().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QStringList domains =
        store->value(keyDomains).toString().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    run(restoreCommands(backupMode, link, servers, domains));
    store->setValue(keyBackuped, 0);
    store->endGroup();
    store->sync();
    qCInfo(platform).noquote() << "link" << link << "restored (" << modeName(backupMode) << ")";
}

void SystemResolver::restoreAll()
{
    if (!isEnabled())
        return;
    giveBackFile();
    for (const QString& link : linksBackedUp())
        giveBackLink(link);
    applied.clear();
}

QStringList SystemResolver::linksBackedUp() const
{
    auto store = RegistryStore::open(storePath);
    store->beginGroup(QStringLiteral("interfaces"));
    const QStringList links = store->childGroups();
    store->endGroup();
    QStringList valid;
    for (const QString& link : links) {
        if (store->value(linkGroup(link) + QLatin1Char('/') + keyBackuped).toInt() == 1)
            valid << link;
    }
    return valid;
}
