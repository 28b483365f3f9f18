#pragma once

#include <QJsonObject>
#include <QString>

// Reading the backend's access tokens: three dot-separated parts, the middle
// one standard Base64 of a JSON object with "exp" (seconds since 1970, UTC)
// and "user_id". Nothing here trusts the token: every step can fail.
class AccessToken
{
public:
    // The decoded middle part. False when the token does not have exactly three
    // parts, the middle part is not valid Base64 or not a JSON object.
    static bool payload(const QString& token, QJsonObject& result);
    // "exp" as a whole number of seconds; 0 when it is missing, not a number or
    // the token cannot be read.
    static qint64 expiry(const QString& token);
    // "user_id" when it is a whole number; false otherwise.
    static bool userId(const QString& token, int& result);
    // True when the token's expiry lies after `nowSecs`: a token that expires
    // this very second is already refused.
    static bool isValidAt(const QString& token, qint64 nowSecs);
};
