#pragma once

#include "common/ResolverStatus.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

// The text of the system report and the JSON of the debug information, built
// from plain values so that their exact form can be checked without a
// machine or a backend.
class SystemReport
{
public:
    struct Address
    {
        QString ip;
        QString netmask;
    };

    struct Interface
    {
        QString name;
        QList<Address> addresses;
        QString hardwareAddress;
        bool up = false;
        bool running = false;
        bool loopBack = false;
        bool multicast = false;
        bool pointToPoint = false;
    };

    struct Facts
    {
        QString appName;
        QString version;
        qint64 token = -1; // -1: none
        bool showUid = true;
        QString uid;
        int controlDns = 0;
        QString localHostV4;
        QString localHostV6;
        QString dnsIpV4;
        QString dnsIpV6;
        quint32 protocol = 0;
        QMap<unsigned, QString> profiles;
        quint32 profileId = 0;
        QString supportEmail;
        QList<Interface> interfaces;
        QString osName;
        QString osDisplayVersion;
        QString cpuArchitecture;
        QString hostName;
        QByteArray machineUniqueId;
        // The resolver's last states, oldest first; the last one is the
        // current state. Empty: nothing reported yet (no section).
        QList<ResolverStatus> resolver;
    };

    static QString build(const Facts& facts);
    // "DNS", "DOH", "DOT", or "indefined" for any other value.
    static QString protocolName(quint32 protocol);
    // One resolver state as a report line: the time (UTC), the state word,
    // the transports and what is down.
    static QString resolverLine(const ResolverStatus& status);
    // The machine's interfaces in the order the system lists them.
    static QList<Interface> systemInterfaces();
    // [{"log_message": <route>, "log_name": "traceroute"},
    //  {"log_message": <lookup>, "log_name": "nslookup"}], compact.
    static QString debugJson(const QString& traceRoute, const QString& lookup);
};
