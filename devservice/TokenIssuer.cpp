#include "devservice/TokenIssuer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QStringList>

#include <utility>

namespace {
const QByteArray::Base64Options urlOptions = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

bool constantTimeEqual(const QByteArray& a, const QByteArray& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    char diff = 0;
    for (int i = 0; i < a.size(); ++i) {
        diff |= static_cast<char>(a[i] ^ b[i]);
    }
    return diff == 0;
}
} // namespace

TokenIssuer::TokenIssuer(QByteArray secret, bool urlSafePayload)
    : m_secret(std::move(secret)), m_urlSafePayload(urlSafePayload)
{
}

QString TokenIssuer::issue(int userId, const QString& type, qint64 now, qint64 lifetimeSecs) const
{
    const QByteArray header = QJsonDocument(QJsonObject{{QStringLiteral("alg"), QStringLiteral("HS256")},
                                                        {QStringLiteral("typ"), QStringLiteral("JWT")}})
                                  .toJson(QJsonDocument::Compact)
                                  .toBase64(urlOptions);
    const QJsonObject claims{
        {QStringLiteral("token_type"), type},
        {QStringLiteral("exp"), now + lifetimeSecs},
        {QStringLiteral("iat"), now},
        {QStringLiteral("jti"), QString::number(QRandomGenerator::global()->generate64(), 16)},
        {QStringLiteral("user_id"), userId}};
    const QByteArray json = QJsonDocument(claims).toJson(QJsonDocument::Compact);
    const QByteArray payload = m_urlSafePayload ? json.toBase64(urlOptions) : json.toBase64();
    const QByteArray signingInput = header + '.' + payload;
    return QString::fromLatin1(signingInput + '.' + sign(signingInput));
}

TokenIssuer::Pair TokenIssuer::issuePair(int userId, qint64 now, qint64 accessLifetime,
                                         qint64 refreshLifetime) const
{
    return Pair{issue(userId, QStringLiteral("access"), now, accessLifetime),
                issue(userId, QStringLiteral("refresh"), now, refreshLifetime)};
}

TokenIssuer::Check TokenIssuer::verify(const QString& token, const QString& expectedType, qint64 now) const
{
    Check check;
    const QStringList parts = token.split(QLatin1Char('.'));
    if (parts.size() != 3) {
        check.error = QStringLiteral("token is not three dot-separated parts");
        return check;
    }
    const QByteArray signingInput = (parts[0] + QLatin1Char('.') + parts[1]).toLatin1();
    if (!constantTimeEqual(sign(signingInput), parts[2].toLatin1())) {
        check.error = QStringLiteral("bad signature");
        return check;
    }
    const QByteArray payload = payloadOf(token);
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject()) {
        check.error = QStringLiteral("payload is not a JSON object");
        return check;
    }
    const QJsonObject claims = doc.object();
    if (claims.value(QLatin1String("token_type")).toString() != expectedType) {
        check.error = QStringLiteral("wrong token type");
        return check;
    }
    check.exp = static_cast<qint64>(claims.value(QLatin1String("exp")).toDouble());
    check.userId = claims.value(QLatin1String("user_id")).toInt(-1);
    if (check.exp <= now) {
        check.error = QStringLiteral("token expired");
        return check;
    }
    if (check.userId < 0) {
        check.error = QStringLiteral("token carries no user");
        return check;
    }
    check.ok = true;
    return check;
}

QByteArray TokenIssuer::payloadOf(const QString& token)
{
    const QStringList parts = token.split(QLatin1Char('.'));
    if (parts.size() != 3) {
        return QByteArray();
    }
    QByteArray middle = parts[1].toLatin1();
    // Both alphabets are accepted so that a configuration switch never makes
    // already issued tokens unreadable.
    if (middle.contains('-') || middle.contains('_')) {
        return QByteArray::fromBase64(middle, QByteArray::Base64UrlEncoding);
    }
    return QByteArray::fromBase64(middle);
}

QByteArray TokenIssuer::sign(const QByteArray& signingInput) const
{
    return QMessageAuthenticationCode::hash(signingInput, m_secret, QCryptographicHash::Sha256)
        .toBase64(urlOptions);
}
