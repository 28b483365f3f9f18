#pragma once

#include <QJsonObject>
#include <QString>

// What every backend operation hands back. `error` is the reply's
// QNetworkReply::NetworkError (0 = no error) or 99 when the operation could
// not sign in; `data` holds the operation's normalised answer and is empty on
// failure. An operation that sent nothing leaves all three empty/zero.
struct ApiResult
{
    static constexpr int badAuth = 99;

    QString errorString;
    int error = 0;
    QJsonObject data;
};
