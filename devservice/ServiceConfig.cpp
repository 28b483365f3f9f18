#include "devservice/ServiceConfig.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>

namespace {
bool readString(const QJsonObject& obj, const char* key, QString& out, QString& error)
{
    const QJsonValue value = obj.value(QLatin1String(key));
    if (value.isUndefined()) {
        return true;
    }
    if (!value.isString()) {
        error = QStringLiteral("\"%1\" must be a string").arg(QLatin1String(key));
        return false;
    }
    out = value.toString();
    return true;
}

bool readAddress(const QJsonObject& obj, const char* key, QHostAddress& out, QString& error)
{
    QString text;
    if (!readString(obj, key, text, error)) {
        return false;
    }
    if (text.isNull()) {
        return true;
    }
    if (text.isEmpty()) {
        out = QHostAddress();
        return true;
    }
    const QHostAddress address(text);
    if (address.isNull()) {
        error = QStringLiteral("\"%1\" is not an address: %2").arg(QLatin1String(key), text);
        return false;
    }
    out = address;
    return true;
}

template <typename T>
bool readInt(const QJsonObject& obj, const char* key, T& out, qint64 min, qint64 max, QString& error)
{
    const QJsonValue value = obj.value(QLatin1String(key));
    if (value.isUndefined()) {
        return true;
    }
    const double number = value.toDouble(-1e300);
    if (!value.isDouble() || number != static_cast<double>(static_cast<qint64>(number)) || number < min ||
        number > max) {
        error = QStringLiteral("\"%1\" must be an integer from %2 to %3")
                    .arg(QLatin1String(key))
                    .arg(min)
                    .arg(max);
        return false;
    }
    out = static_cast<T>(number);
    return true;
}

bool readHostPort(const QString& text, QHostAddress& address, quint16& port)
{
    // "127.0.0.1:53", "[::1]:53" or a bare address (port 53)
    QString host = text;
    port = 53;
    if (text.startsWith(QLatin1Char('['))) {
        const int close = text.indexOf(QLatin1Char(']'));
        if (close < 0) {
            return false;
        }
        host = text.mid(1, close - 1);
        const QString rest = text.mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(QLatin1Char(':'))) {
                return false;
            }
            bool ok = false;
            const uint value = rest.mid(1).toUInt(&ok);
            if (!ok || value == 0 || value > 65535) {
                return false;
            }
            port = static_cast<quint16>(value);
        }
    } else if (text.count(QLatin1Char(':')) == 1) {
        const int colon = text.indexOf(QLatin1Char(':'));
        host = text.left(colon);
        bool ok = false;
        const uint value = text.mid(colon + 1).toUInt(&ok);
        if (!ok || value == 0 || value > 65535) {
            return false;
        }
        port = static_cast<quint16>(value);
    }
    address = QHostAddress(host);
    return !address.isNull();
}
} // namespace

bool ServiceConfig::fromJson(const QJsonObject& json, ServiceConfig& config, QString& error)
{
    if (!readString(json, "domain", config.domain, error)) {
        return false;
    }
    config.domain = config.domain.toLower();
    if (config.domain.isEmpty() || config.domain.startsWith(QLatin1Char('.')) ||
        config.domain.endsWith(QLatin1Char('.'))) {
        error = QStringLiteral("\"domain\" must be a non-empty name without leading or trailing dot");
        return false;
    }

    const QJsonObject resolver = json.value(QLatin1String("resolver")).toObject();
    if (resolver.contains(QLatin1String("listen"))) {
        const QJsonValue listen = resolver.value(QLatin1String("listen"));
        if (!listen.isArray()) {
            error = QStringLiteral("\"resolver\".\"listen\" must be an array of addresses");
            return false;
        }
        config.resolverAddresses.clear();
        for (const QJsonValue& value : listen.toArray()) {
            const QHostAddress address(value.toString());
            if (address.isNull()) {
                error =
                    QStringLiteral("\"resolver\".\"listen\" holds a bad address: %1").arg(value.toString());
                return false;
            }
            config.resolverAddresses.append(address);
        }
    }
    if (!readInt(resolver, "port", config.resolverPort, 0, 65535, error) ||
        !readInt(resolver, "upstream_timeout_ms", config.upstreamTimeoutMs, 1, 60000, error) ||
        !readInt(resolver, "block_ttl", config.blockTtl, 0, 86400, error) ||
        !readInt(resolver, "zone_ttl", config.zoneTtl, 0, 86400, error)) {
        return false;
    }
    QString upstream;
    if (!readString(resolver, "upstream", upstream, error)) {
        return false;
    }
    if (!upstream.isNull() && !readHostPort(upstream, config.upstreamAddress, config.upstreamPort)) {
        error = QStringLiteral("\"resolver\".\"upstream\" is not address[:port]: %1").arg(upstream);
        return false;
    }

    const QJsonObject hosts = json.value(QLatin1String("hosts")).toObject();
    if (!readAddress(hosts, "www", config.wwwAddress, error) ||
        !readAddress(hosts, "doh", config.dohAddress, error) ||
        !readAddress(hosts, "blockpage", config.blockpageAddress, error) ||
        !readAddress(hosts, "blockpage_v6", config.blockpageAddressV6, error)) {
        return false;
    }

    const QJsonObject ports = json.value(QLatin1String("ports")).toObject();
    if (!readInt(ports, "https", config.httpsPort, 0, 65535, error) ||
        !readInt(ports, "dot", config.dotPort, 0, 65535, error) ||
        !readInt(ports, "blockpage_http", config.blockpageHttpPort, 0, 65535, error) ||
        !readInt(ports, "blockpage_https", config.blockpageHttpsPort, 0, 65535, error) ||
        !readInt(ports, "admin", config.adminPort, 0, 65535, error) ||
        !readInt(ports, "agent_blockpage", config.agentBlockpagePort, 1, 65535, error)) {
        return false;
    }

    if (!readString(json, "tls_dir", config.tlsDir, error)) {
        return false;
    }

    const QJsonObject tokens = json.value(QLatin1String("tokens")).toObject();
    if (!readInt(tokens, "access_lifetime_s", config.accessLifetimeSecs, 1, 365 * 86400, error) ||
        !readInt(tokens, "refresh_lifetime_s", config.refreshLifetimeSecs, 1, 365 * 86400, error) ||
        !readString(tokens, "secret", config.tokenSecret, error)) {
        return false;
    }
    if (tokens.contains(QLatin1String("url_safe"))) {
        config.urlSafeTokens = tokens.value(QLatin1String("url_safe")).toBool();
    }

    const QJsonObject certs = json.value(QLatin1String("certificates")).toObject();
    if (certs.contains(QLatin1String("files"))) {
        config.certificateFiles.clear();
        for (const QJsonValue& value : certs.value(QLatin1String("files")).toArray()) {
            config.certificateFiles.append(value.toString());
        }
    }
    if (!readString(certs, "expires", config.certificatesExpire, error)) {
        return false;
    }

    const QJsonValue versions = json.value(QLatin1String("versions"));
    if (!versions.isUndefined() && !versions.isObject()) {
        error = QStringLiteral("\"versions\" must be an object keyed by distribution tag");
        return false;
    }
    const QJsonObject versionObject = versions.toObject();
    for (auto it = versionObject.begin(); it != versionObject.end(); ++it) {
        const QJsonObject entry = it.value().toObject();
        Version version{it.key(), entry.value(QLatin1String("version")).toString(),
                        entry.value(QLatin1String("url")).toString()};
        if (version.version.split(QLatin1Char('.')).size() != 3) {
            error = QStringLiteral("version of \"%1\" must be major.minor.patch").arg(it.key());
            return false;
        }
        config.versions.append(version);
    }

    const QJsonValue accounts = json.value(QLatin1String("accounts"));
    if (!accounts.isUndefined() && !accounts.isArray()) {
        error = QStringLiteral("\"accounts\" must be an array");
        return false;
    }
    config.accounts = accounts.toArray();
    const QJsonValue faults = json.value(QLatin1String("faults"));
    if (!faults.isUndefined() && !faults.isObject()) {
        error = QStringLiteral("\"faults\" must be an object");
        return false;
    }
    config.faults = faults.toObject();
    return true;
}

bool ServiceConfig::fromFile(const QString& path, ServiceConfig& config, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(file.read(4 * 1024 * 1024), &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject()) {
        error = QStringLiteral("%1 is not a JSON object: %2").arg(path, parseError.errorString());
        return false;
    }
    return fromJson(doc.object(), config, error);
}
