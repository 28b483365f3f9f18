#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

// Faults the service plays on purpose, so that the agent's error paths can be
// exercised: per path (or every path) of the HTTPS services, and per name (or
// every name) of the resolver. A rule applies "count" times (-1: until removed).
class FaultInjector
{
public:
    enum class HttpAction
    {
        Delay,         // answer normally after delay_ms
        Hang,          // never answer
        Close,         // close the connection without an answer
        Status,        // answer with "status" and a JSON "detail"
        Garbage,       // answer 200 with a body that is not JSON
        ExpiredTokens, // token endpoints hand out tokens that have already expired
    };

    enum class DnsAction
    {
        Drop,     // no answer at all
        Delay,    // answer after delay_ms
        Truncate, // answer with TC set and no records
        WrongId,  // answer with a message ID that differs from the query's
    };

    struct HttpRule
    {
        QString path; // "*" for every path, a trailing "*" for a prefix, else exact
        QString method;
        HttpAction action = HttpAction::Delay;
        int delayMs = 0;
        int status = 500;
        int count = -1;
    };

    struct DnsRule
    {
        QString name; // "*" for every name, else the name and everything below it
        DnsAction action = DnsAction::Drop;
        int delayMs = 0;
        int count = -1;
    };

    bool load(const QJsonObject& faults, QString& error);
    // Adds rules without dropping the current ones.
    bool add(const QJsonObject& faults, QString& error);
    void clear();

    std::optional<HttpRule> takeHttp(const QString& method, const QString& path);
    std::optional<DnsRule> takeDns(const QString& name);
    QJsonObject toJson() const;

    static QString actionName(HttpAction action);
    static QString actionName(DnsAction action);

private:
    QList<HttpRule> m_http;
    QList<DnsRule> m_dns;
};
