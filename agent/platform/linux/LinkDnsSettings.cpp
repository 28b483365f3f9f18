#include "platform/linux/LinkDnsSettings.h"

#include "platform/Platform.h"
#include "platform/ProgramRunner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QRegularExpression>

namespace {

// State files are small; anything larger is not what we expect and is ignored.
constexpr qint64 maxStateFileSize = 1 << 20;
constexpr int resolvectlTimeoutMs = 5000;

QString readText(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    return QString::fromUtf8(file.read(maxStateFileSize));
}

QStringList fromResolved(const QString& link, int ifIndex, const QString& root)
{
    const ProgramResult result = Platform::programRunner().run(QStringLiteral("resolvectl"),
                                                               {QStringLiteral("dns")}, resolvectlTimeoutMs);
    const bool answered = result.started && result.finished && result.exitCode == 0;
    const QString output = answered ? QString::fromUtf8(result.output) : QString();
    QStringList servers = LinkDnsSettings::usableServers(LinkDnsSettings::parseResolvectlLink(output, link));
    if (!servers.isEmpty())
        return servers;
    if (ifIndex > 0) {
        const QString state =
            readText(root + QStringLiteral("/run/systemd/resolve/netif/") + QString::number(ifIndex));
        servers =
            LinkDnsSettings::usableServers(LinkDnsSettings::parseStateList(state, QStringLiteral("SERVERS")));
        if (!servers.isEmpty())
            return servers;
    }
    // A link without servers of its own asks the global ones.
    servers = LinkDnsSettings::usableServers(LinkDnsSettings::parseResolvectlGlobal(output));
    if (!servers.isEmpty())
        return servers;
    return LinkDnsSettings::usableServers(LinkDnsSettings::parseResolvConf(
        readText(root + QStringLiteral("/run/systemd/resolve/resolv.conf"))));
}

bool anyFileMatches(const QString& folder, const QStringList& patterns, const QString& link)
{
    const QFileInfoList files = QDir(folder).entryInfoList(patterns, QDir::Files);
    for (const QFileInfo& file : files) {
        if (file.size() > maxStateFileSize)
            continue;
        if (LinkDnsSettings::dhclientLeaseNamesLink(readText(file.filePath()), link))
            return true;
    }
    return false;
}

bool usesDhcp(const QString& link, int ifIndex, const QString& root)
{
    if (ifIndex > 0) {
        const QString index = QString::number(ifIndex);
        if (QFileInfo::exists(root + QStringLiteral("/run/systemd/netif/leases/") + index))
            return true;
        const QString state = readText(root + QStringLiteral("/run/systemd/netif/links/") + index);
        static const QRegularExpression dhcpLine(QStringLiteral("^(DHCP_LEASE|DHCP4_ADDRESS)=\\S"),
                                                 QRegularExpression::MultilineOption);
        if (dhcpLine.match(state).hasMatch())
            return true;
    }
    // dhcpcd keeps one lease file per link.
    for (const char* pattern : {"/var/lib/dhcpcd/%1.lease", "/var/lib/dhcpcd/dhcpcd-%1.lease",
                                "/var/lib/dhcpcd5/dhcpcd-%1.lease"}) {
        if (QFileInfo::exists(root + QString::fromLatin1(pattern).arg(link)))
            return true;
    }
    // NetworkManager's own client names the link in the file name.
    const QFileInfoList internal =
        QDir(root + QStringLiteral("/var/lib/NetworkManager"))
            .entryInfoList({QStringLiteral("internal-*-") + link + QStringLiteral(".lease")}, QDir::Files);
    if (!internal.isEmpty())
        return true;
    // dhclient writes the link's name into each lease.
    const QStringList leasePatterns = {QStringLiteral("*.leases"), QStringLiteral("*.lease")};
    return anyFileMatches(root + QStringLiteral("/var/lib/dhcp"), leasePatterns, link) ||
           anyFileMatches(root + QStringLiteral("/var/lib/dhclient"), leasePatterns, link) ||
           anyFileMatches(root + QStringLiteral("/var/lib/NetworkManager"), leasePatterns, link);
}

} // namespace

LinkDns LinkDnsSettings::read(const QString& link, int ifIndex, const QString& fsRoot)
{
    QStringList servers;
    if (QFileInfo::exists(fsRoot + QStringLiteral("/run/systemd/resolve"))) {
        servers = fromResolved(link, ifIndex, fsRoot);
    } else if (ifIndex > 0) {
        const QString state =
            readText(fsRoot + QStringLiteral("/run/systemd/netif/links/") + QString::number(ifIndex));
        servers = usableServers(parseStateList(state, QStringLiteral("DNS")));
    }
    if (servers.isEmpty())
        servers = usableServers(parseResolvConf(readText(fsRoot + QStringLiteral("/etc/resolv.conf"))));

    LinkDns dns;
    splitFamilies(servers, dns.v4, dns.v6);
    dns.dhcp = usesDhcp(link, ifIndex, fsRoot);
    return dns;
}

QStringList LinkDnsSettings::parseResolvectlLink(const QString& output, const QString& link, bool* linkListed)
{
    if (linkListed)
        *linkListed = false;
    const QString marker = QStringLiteral(" (") + link + QStringLiteral("):");
    const QStringList lines = output.split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        const QString trimmed = line.trimmed();
        if (!trimmed.startsWith(QLatin1String("Link ")))
            continue;
        const int at = trimmed.indexOf(marker);
        if (at < 0)
            continue;
        // The text between "Link" and the name is the index alone.
        bool numeric = false;
        trimmed.mid(5, at - 5).toInt(&numeric);
        if (!numeric)
            continue;
        if (linkListed)
            *linkListed = true;
        return trimmed.mid(at + marker.size()).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    }
    return {};
}

QStringList LinkDnsSettings::parseResolvectlGlobal(const QString& output)
{
    const QStringList lines = output.split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        const QString trimmed = line.trimmed();
        if (trimmed.startsWith(QLatin1String("Global:")))
            return trimmed.mid(7).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    }
    return {};
}

QStringList LinkDnsSettings::parseResolvConf(const QString& text)
{
    QStringList servers;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        const QStringList words = line.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (words.size() >= 2 && words.at(0) == QLatin1String("nameserver"))
            servers << words.at(1);
    }
    return servers;
}

QStringList LinkDnsSettings::parseStateList(const QString& text, const QString& key)
{
    QStringList values;
    const QString prefix = key + QLatin1Char('=');
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        if (line.startsWith(prefix))
            values << line.mid(prefix.size()).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    }
    return values;
}

bool LinkDnsSettings::dhclientLeaseNamesLink(const QString& text, const QString& link)
{
    if (link.isEmpty())
        return false;
    return text.contains(QStringLiteral("interface \"") + link + QStringLiteral("\";"));
}

QStringList LinkDnsSettings::usableServers(const QStringList& raw)
{
    QStringList servers;
    for (QString text : raw) {
        text = text.trimmed();
        const int sni = text.indexOf(QLatin1Char('#'));
        if (sni >= 0)
            text.truncate(sni);
        if (text.startsWith(QLatin1Char('['))) {
            const int close = text.indexOf(QLatin1Char(']'));
            if (close < 0)
                continue;
            text = text.mid(1, close - 1);
        } else if (text.count(QLatin1Char(':')) == 1) {
            text.truncate(text.indexOf(QLatin1Char(':'))); // IPv4 with a port
        }
        const int zone = text.indexOf(QLatin1Char('%'));
        if (zone >= 0)
            text.truncate(zone);
        QHostAddress address;
        if (!address.setAddress(text) || address.isLoopback() || address.isNull())
            continue;
        if (address == QHostAddress(QHostAddress::AnyIPv4) || address == QHostAddress(QHostAddress::AnyIPv6))
            continue;
        const QString plain = address.toString();
        if (!servers.contains(plain))
            servers << plain;
    }
    return servers;
}

void LinkDnsSettings::splitFamilies(const QStringList& servers, QStringList& v4, QStringList& v6)
{
    v4.clear();
    v6.clear();
    for (const QString& server : servers) {
        const QHostAddress address(server);
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            v4 << server;
        else if (address.protocol() == QAbstractSocket::IPv6Protocol)
            v6 << server;
    }
}
