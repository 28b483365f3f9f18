#include "settings/SystemReport.h"

#include "common/PayloadKeys.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkInterface>

QString SystemReport::protocolName(quint32 protocol)
{
    switch (protocol) {
    case 0:
        return QStringLiteral("DNS");
    case 1:
        return QStringLiteral("DOH");
    case 2:
        return QStringLiteral("DOT");
    default:
        return QStringLiteral("indefined");
    }
}

QString SystemReport::resolverLine(const ResolverStatus& status)
{
    // UTC: the report is read on other machines than the one it describes.
    QString line = QDateTime::fromMSecsSinceEpoch(status.sinceMs, Qt::UTC)
                       .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss 'UTC' "));
    line += ResolverStatus::stateWord(status.state);
    line += QStringLiteral(" (chosen ") + status.chosen + QStringLiteral(", in use ") + status.inUse +
            QLatin1Char(')');
    if (!status.detail.isEmpty())
        line += QStringLiteral(": ") + status.detail;
    return line;
}

QString SystemReport::build(const Facts& facts)
{
    const bool protectionOn = facts.controlDns == 1;
    QString text = QStringLiteral("Agent: ") + facts.appName;
    text += QStringLiteral("\nVersion: ") + facts.version;
    text += QStringLiteral("\nToken: ") + (facts.token == -1 ? QString() : QString::number(facts.token));
    if (facts.showUid)
        text += QStringLiteral("\nUID: ") + facts.uid;
    text += QStringLiteral("\nDNS: ") + (protectionOn
                                             ? facts.localHostV4 + QStringLiteral(", ") + facts.localHostV6
                                             : facts.dnsIpV4 + QStringLiteral(", ") + facts.dnsIpV6);
    text += QStringLiteral("\nProtection is turned on: ") +
            (protectionOn ? QStringLiteral("yes") : QStringLiteral("no"));
    text += QStringLiteral("\nProtocol: ") + protocolName(facts.protocol);

    text += QStringLiteral("\n\nProfiles:");
    if (facts.profiles.isEmpty()) {
        text += QStringLiteral(
                    " Oops! Something went wrong. Please make sure your internet connection is stable or "
                    "contact our technical support by ") +
                facts.supportEmail;
    } else {
        text += QStringLiteral("\n| Id\t| Active\t| Name");
        for (auto it = facts.profiles.cbegin(); it != facts.profiles.cend(); ++it) {
            text += QStringLiteral("\n| ") + QString::number(it.key()) + QStringLiteral("\t| ") +
                    (it.key() == facts.profileId ? QStringLiteral("*") : QString()) + QStringLiteral("\t| ") +
                    it.value();
        }
    }

    text += QStringLiteral("\n\nNetwork Interfaces:");
    int number = 0;
    for (const Interface& entry : facts.interfaces) {
        text += QLatin1Char('\n') + QString::number(++number) + QStringLiteral(") ") + entry.name;
        text += QStringLiteral("\n  - Host Address | NetMask: ");
        for (const Address& address : entry.addresses)
            text += QStringLiteral("\n\t- ") + address.ip + QStringLiteral(" | ") + address.netmask;
        text += QStringLiteral("\n  - Hardware Address: ") + entry.hardwareAddress;
        text += QStringLiteral("\n  - Flags: ");
        if (entry.up)
            text += QStringLiteral("IsUp ");
        if (entry.running)
            text += QStringLiteral("IsRunning ");
        if (entry.loopBack)
            text += QStringLiteral("IsLoopBack ");
        if (entry.multicast)
            text += QStringLiteral("CanMulticast ");
        if (entry.pointToPoint)
            text += QStringLiteral("IsPointToPoint ");
    }

    text += QStringLiteral("\n\nSystem information:");
    text += QStringLiteral("\n  - OS: ") + QStringLiteral("%1 %2").arg(facts.osName, facts.osDisplayVersion);
    text += QStringLiteral("\n  - Cpu Architecture: ") + facts.cpuArchitecture;
    text += QStringLiteral("\n  - HostName: ") + facts.hostName;
    const int zero = facts.machineUniqueId.indexOf('\0');
    text += QStringLiteral("\n  - Unique id of Machine: ") +
            QString::fromUtf8(zero < 0 ? facts.machineUniqueId : facts.machineUniqueId.left(zero));
    if (!facts.resolver.isEmpty()) {
        text += QStringLiteral("\n\nResolver:");
        text += QStringLiteral("\n  - Now: ") + resolverLine(facts.resolver.last());
        text += QStringLiteral("\n  - Last changes, oldest first:");
        for (const ResolverStatus& status : facts.resolver)
            text += QStringLiteral("\n\t- ") + resolverLine(status);
    }
    return text;
}

QList<SystemReport::Interface> SystemReport::systemInterfaces()
{
    QList<Interface> result;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& source : interfaces) {
        Interface entry;
        entry.name = source.humanReadableName();
        const QList<QNetworkAddressEntry> entries = source.addressEntries();
        for (const QNetworkAddressEntry& address : entries)
            entry.addresses.append({address.ip().toString(), address.netmask().toString()});
        entry.hardwareAddress = source.hardwareAddress();
        const QNetworkInterface::InterfaceFlags flags = source.flags();
        entry.up = flags.testFlag(QNetworkInterface::IsUp);
        entry.running = flags.testFlag(QNetworkInterface::IsRunning);
        entry.loopBack = flags.testFlag(QNetworkInterface::IsLoopBack);
        entry.multicast = flags.testFlag(QNetworkInterface::CanMulticast);
        entry.pointToPoint = flags.testFlag(QNetworkInterface::IsPointToPoint);
        result.append(entry);
    }
    return result;
}

QString SystemReport::debugJson(const QString& traceRoute, const QString& lookup)
{
    const QJsonArray entries{
        QJsonObject{{PayloadKeys::LogName, QStringLiteral("traceroute")},
                    {PayloadKeys::LogMessage, traceRoute}},
        QJsonObject{{PayloadKeys::LogName, QStringLiteral("nslookup")}, {PayloadKeys::LogMessage, lookup}}};
    return QString::fromUtf8(QJsonDocument(entries).toJson(QJsonDocument::Compact));
}
