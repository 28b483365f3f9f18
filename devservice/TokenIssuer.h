#pragma once

#include <QByteArray>
#include <QString>

// Issues and checks the backend's access and refresh tokens: three
// dot-separated parts (header, payload, signature). The payload is Base64 of a
// JSON object holding "token_type", "exp", "iat", "jti" and "user_id"; the
// signature is HMAC-SHA256 over the first two parts with the service secret.
class TokenIssuer
{
public:
    struct Pair
    {
        QString access;
        QString refresh;
    };

    struct Check
    {
        bool ok = false;
        int userId = -1;
        qint64 exp = 0;
        QString error;
    };

    TokenIssuer(QByteArray secret, bool urlSafePayload);

    // Tokens whose "exp" lies lifetime seconds after now; a negative lifetime
    // issues tokens that are already expired.
    QString issue(int userId, const QString& type, qint64 now, qint64 lifetimeSecs) const;
    Pair issuePair(int userId, qint64 now, qint64 accessLifetime, qint64 refreshLifetime) const;
    Check verify(const QString& token, const QString& expectedType, qint64 now) const;

    // Reads the payload without checking anything (for diagnostics and tests).
    static QByteArray payloadOf(const QString& token);

private:
    QByteArray sign(const QByteArray& signingInput) const;

    QByteArray m_secret;
    bool m_urlSafePayload;
};
