#include "logging/LogMask.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

bool LogMask::isSecretName(const QString& name, bool* password)
{
    static const QStringList tokens{
        QStringLiteral("token"),        QStringLiteral("uid"),           QStringLiteral("access"),
        QStringLiteral("refresh"),      QStringLiteral("access_key"),    QStringLiteral("key"),
        QStringLiteral("access_token"), QStringLiteral("refresh_token"), QStringLiteral("auth_token"),
        QStringLiteral("authdata"),     QStringLiteral("secret")};
    static const QStringList passwords{QStringLiteral("password"), QStringLiteral("pin")};
    const QString lower = name.toLower();
    const bool isPassword = passwords.contains(lower);
    if (password)
        *password = isPassword;
    return isPassword || tokens.contains(lower);
}

namespace {
QString compactText(const QJsonValue& value)
{
    if (value.isString())
        return value.toString();
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', 17);
    if (value.isBool())
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    if (value.isArray())
        return QString::fromUtf8(QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact));
    if (value.isObject())
        return QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
    return QString();
}
} // namespace

QJsonValue LogMask::masked(const QJsonValue& value)
{
    if (value.isArray()) {
        QJsonArray out;
        for (const QJsonValue& item : value.toArray())
            out.append(masked(item));
        return out;
    }
    if (!value.isObject())
        return value;
    QJsonObject out;
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        bool password = false;
        if (!isSecretName(it.key(), &password) || it.value().isNull()) {
            out.insert(it.key(), masked(it.value()));
            continue;
        }
        const QString text = compactText(it.value());
        out.insert(it.key(), password ? secret(text) : token(text));
    }
    return out;
}

QString LogMask::json(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(masked(object).toObject()).toJson(QJsonDocument::Compact));
}

QString LogMask::body(const QByteArray& body, int limit)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    QByteArray text = body;
    if (error.error == QJsonParseError::NoError && !document.isNull()) {
        const QJsonValue value =
            masked(document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object()));
        text = value.isArray() ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact)
                               : QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    }
    if (text.size() <= limit)
        return QString::fromUtf8(text);
    return QString::fromUtf8(text.left(limit)) + QStringLiteral("... (%1 bytes)").arg(body.size());
}

QString LogMask::hidden(QString text, const QString& secret)
{
    constexpr int shortest = 6;
    if (secret.size() < shortest)
        return text;
    return text.replace(secret, token(secret));
}
