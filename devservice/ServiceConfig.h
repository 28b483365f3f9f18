#pragma once

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// Addresses, ports, lifetimes and seed data of the development service, read
// from its JSON configuration. Every key has a default, so an empty object is a
// valid configuration; a key of the wrong type is an error, not a silent default.
class ServiceConfig
{
public:
    struct Version
    {
        QString tag;
        QString version; // "major.minor.patch"
        QString url;
    };

    QString domain = QStringLiteral("corvane.test");

    QList<QHostAddress> resolverAddresses{QHostAddress(QStringLiteral("127.53.0.1")),
                                          QHostAddress(QStringLiteral("fd00:53::1"))};
    quint16 resolverPort = 53;
    QHostAddress upstreamAddress{QStringLiteral("127.53.0.53")};
    quint16 upstreamPort = 53;
    int upstreamTimeoutMs = 3000;
    quint32 blockTtl = 60;
    quint32 zoneTtl = 300;

    QHostAddress wwwAddress{QStringLiteral("127.53.0.2")};
    QHostAddress dohAddress{QStringLiteral("127.53.0.3")};
    QHostAddress blockpageAddress{QStringLiteral("127.53.0.4")};
    QHostAddress blockpageAddressV6; // none by default: blocked AAAA queries get no address

    quint16 httpsPort = 443;
    quint16 dotPort = 853;
    quint16 blockpageHttpPort = 80;
    quint16 blockpageHttpsPort = 443;
    quint16 adminPort = 8053;
    quint16 agentBlockpagePort = 13107;

    QString tlsDir;
    int accessLifetimeSecs = 120;
    int refreshLifetimeSecs = 86400;
    QString tokenSecret = QStringLiteral("corvane-devservice-secret");
    bool urlSafeTokens = false; // the agent decodes the payload with the standard alphabet

    QStringList certificateFiles{QStringLiteral("corvane-root-1.crt"), QStringLiteral("corvane-root-2.crt")};
    QString certificatesExpire = QStringLiteral("2035-01-01T00:00:00");

    QList<Version> versions;
    QJsonArray accounts;
    QJsonObject faults;

    QString wwwHost() const { return QStringLiteral("www.") + domain; }
    QString dohHost() const { return QStringLiteral("doh.") + domain; }
    QString blockpageHost() const { return QStringLiteral("blockpage.") + domain; }
    QString blockpageTlsHost() const { return QStringLiteral("blockpage-tls.") + domain; }
    QString diagnosticHost() const { return QStringLiteral("black.") + domain; }

    static bool fromJson(const QJsonObject& json, ServiceConfig& config, QString& error);
    static bool fromFile(const QString& path, ServiceConfig& config, QString& error);
};
