#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

// How secrets appear in log lines: passwords and PINs as asterisks of the
// same length, tokens and machine identifiers as their first five characters
// and "...".
class LogMask
{
public:
    static QString secret(const QString& value) { return QString(value.size(), QLatin1Char('*')); }
    static QString token(const QString& value) { return value.left(5) + QStringLiteral("..."); }

    // A JSON body for a debug line: compact, with the value of every member
    // that names a token, key, identifier, password or PIN masked as above,
    // at any depth. Text that is not JSON is shown as it is. Either is cut
    // after `limit` bytes.
    static QString body(const QByteArray& body, int limit = 4096);
    static QString json(const QJsonObject& object);
    // Whether a member of that name holds a secret; `password` tells which form.
    static bool isSecretName(const QString& name, bool* password = nullptr);
    static QJsonValue masked(const QJsonValue& value);
    // `text` with every occurrence of `secret` in its masked form (a secret
    // too short to be told from other text is left alone).
    static QString hidden(QString text, const QString& secret);
};
