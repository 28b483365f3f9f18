#include "devservice/FaultInjector.h"

#include "devservice/AccountStore.h"

#include <QJsonArray>

namespace {
const char* const httpActions[] = {"delay", "hang", "close", "status", "garbage", "expired_tokens"};
const char* const dnsActions[] = {"drop", "delay", "truncate", "wrong_id"};

bool readCommon(const QJsonObject& obj, int& delayMs, int& count, QString& error)
{
    delayMs = obj.value(QLatin1String("delay_ms")).toInt(0);
    count = obj.value(QLatin1String("count")).toInt(-1);
    if (delayMs < 0 || delayMs > 600000) {
        error = QStringLiteral("\"delay_ms\" must be 0 to 600000");
        return false;
    }
    if (count == 0 || count < -1) {
        error = QStringLiteral("\"count\" must be positive or -1");
        return false;
    }
    return true;
}
} // namespace

bool FaultInjector::load(const QJsonObject& faults, QString& error)
{
    FaultInjector fresh;
    if (!fresh.add(faults, error)) {
        return false;
    }
    *this = fresh;
    return true;
}

bool FaultInjector::add(const QJsonObject& faults, QString& error)
{
    QList<HttpRule> http;
    QList<DnsRule> dns;
    for (const QJsonValue& value : faults.value(QLatin1String("http")).toArray()) {
        const QJsonObject obj = value.toObject();
        HttpRule rule;
        rule.path = obj.value(QLatin1String("path")).toString(QStringLiteral("*"));
        rule.method = obj.value(QLatin1String("method")).toString().toUpper();
        const QString action = obj.value(QLatin1String("action")).toString();
        bool known = false;
        for (int i = 0; i < 6; ++i) {
            if (action == QLatin1String(httpActions[i])) {
                rule.action = static_cast<HttpAction>(i);
                known = true;
            }
        }
        if (!known) {
            error = QStringLiteral("unknown HTTP fault action \"%1\"").arg(action);
            return false;
        }
        rule.status = obj.value(QLatin1String("status")).toInt(500);
        if (rule.status < 100 || rule.status > 599) {
            error = QStringLiteral("\"status\" must be 100 to 599");
            return false;
        }
        if (!readCommon(obj, rule.delayMs, rule.count, error)) {
            return false;
        }
        http.append(rule);
    }
    for (const QJsonValue& value : faults.value(QLatin1String("dns")).toArray()) {
        const QJsonObject obj = value.toObject();
        DnsRule rule;
        rule.name = obj.value(QLatin1String("name")).toString(QStringLiteral("*")).toLower();
        const QString action = obj.value(QLatin1String("action")).toString();
        bool known = false;
        for (int i = 0; i < 4; ++i) {
            if (action == QLatin1String(dnsActions[i])) {
                rule.action = static_cast<DnsAction>(i);
                known = true;
            }
        }
        if (!known) {
            error = QStringLiteral("unknown DNS fault action \"%1\"").arg(action);
            return false;
        }
        if (!readCommon(obj, rule.delayMs, rule.count, error)) {
            return false;
        }
        dns.append(rule);
    }
    m_http.append(http);
    m_dns.append(dns);
    return true;
}

void FaultInjector::clear()
{
    m_http.clear();
    m_dns.clear();
}

std::optional<FaultInjector::HttpRule> FaultInjector::takeHttp(const QString& method, const QString& path)
{
    for (int i = 0; i < m_http.size(); ++i) {
        HttpRule& rule = m_http[i];
        if (!rule.method.isEmpty() && rule.method != method) {
            continue;
        }
        bool match = rule.path == QLatin1String("*");
        if (!match && rule.path.endsWith(QLatin1Char('*'))) {
            match = path.startsWith(rule.path.left(rule.path.size() - 1));
        } else if (!match) {
            match = path == rule.path;
        }
        if (!match) {
            continue;
        }
        const HttpRule taken = rule;
        if (rule.count > 0 && --rule.count == 0) {
            m_http.removeAt(i);
        }
        return taken;
    }
    return std::nullopt;
}

std::optional<FaultInjector::DnsRule> FaultInjector::takeDns(const QString& name)
{
    for (int i = 0; i < m_dns.size(); ++i) {
        DnsRule& rule = m_dns[i];
        if (rule.name != QLatin1String("*") && !AccountStore::isBlocked(name, QStringList{rule.name})) {
            continue;
        }
        const DnsRule taken = rule;
        if (rule.count > 0 && --rule.count == 0) {
            m_dns.removeAt(i);
        }
        return taken;
    }
    return std::nullopt;
}

QJsonObject FaultInjector::toJson() const
{
    QJsonArray http;
    for (const HttpRule& rule : m_http) {
        http.append(QJsonObject{{QStringLiteral("path"), rule.path},
                                {QStringLiteral("method"), rule.method},
                                {QStringLiteral("action"), actionName(rule.action)},
                                {QStringLiteral("delay_ms"), rule.delayMs},
                                {QStringLiteral("status"), rule.status},
                                {QStringLiteral("count"), rule.count}});
    }
    QJsonArray dns;
    for (const DnsRule& rule : m_dns) {
        dns.append(QJsonObject{{QStringLiteral("name"), rule.name},
                               {QStringLiteral("action"), actionName(rule.action)},
                               {QStringLiteral("delay_ms"), rule.delayMs},
                               {QStringLiteral("count"), rule.count}});
    }
    return QJsonObject{{QStringLiteral("http"), http}, {QStringLiteral("dns"), dns}};
}

QString FaultInjector::actionName(HttpAction action)
{
    return QLatin1String(httpActions[static_cast<int>(action)]);
}

QString FaultInjector::actionName(DnsAction action)
{
    return QLatin1String(dnsActions[static_cast<int>(action)]);
}
