#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// Reduces the backend's answers to the few keys the agent's callers read.
// Answers are untrusted: a body that is not a JSON object reads as an empty
// object, a value of the wrong type as missing.
class AnswerParser
{
public:
    // Bodies larger than this are not parsed.
    static constexpr int maxBodyBytes = 4 * 1024 * 1024;

    // The body as a JSON object; an empty object for anything else.
    static QJsonObject object(const QByteArray& body);

    // "major.minor.patch" of v = major*100000000 + minor*10000 + patch, each
    // part reduced to its low 8 bits.
    static QString versionText(qint64 version);

    // REST answers.
    static QJsonObject version(const QJsonObject& answer);
    static QJsonObject filteringStatus(const QJsonObject& answer);
    static QJsonObject agentInfo(const QJsonObject& answer);
    static QJsonObject checkUid(const QJsonObject& answer, int httpStatus, bool transportOk);
    static QJsonObject profile(const QJsonObject& answer);
    static QJsonObject ip(const QJsonObject& answer);
    static QJsonObject userInfo(const QJsonObject& answer);
    static QJsonObject profiles(const QJsonObject& answer);
    static QJsonObject removeResult(const QJsonObject& answer);
    static QJsonObject certificates(const QJsonObject& answer);

    // JSON-RPC answers: the payload sits in "result".
    static QJsonObject rpcVersion(const QJsonObject& answer);
    static QJsonObject rpcCertificates(const QJsonObject& answer);
    static QJsonObject rpcLimitedProfile(const QJsonObject& answer);
    static QJsonObject rpcProfile(const QJsonObject& answer);
    static QJsonObject rpcUserInfo(const QJsonObject& answer);

    // A JSON value as an int when it is a whole number (or a decimal text);
    // `fallback` otherwise.
    static int intValue(const QJsonValue& value, int fallback = 0);
    // A machine token: a whole number from 0 to 0xFFFFFFFE (number or
    // decimal text); -1 for anything else, 0xFFFFFFFF included.
    static qint64 tokenValue(const QJsonValue& value);
    // A JSON value as text: strings as they are, whole numbers in decimal,
    // anything else empty.
    static QString textValue(const QJsonValue& value);
};
