#include "backend/AccessToken.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QStringList>

#include <cmath>
#include <limits>

namespace {

// A JSON number that is an integer small enough to be represented exactly.
bool wholeNumber(const QJsonValue& value, qint64& result)
{
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    constexpr double limit = 9007199254740992.0; // 2^53
    if (!std::isfinite(number) || std::floor(number) != number || std::fabs(number) > limit)
        return false;
    result = static_cast<qint64>(number);
    return true;
}

} // namespace

bool AccessToken::payload(const QString& token, QJsonObject& result)
{
    const QStringList parts = token.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    if (parts.size() != 3)
        return false;
    QByteArray middle = parts.at(1).toLatin1();
    // Tokens usually drop the trailing padding; put it back for the strict decoder.
    while (middle.size() % 4 != 0)
        middle.append('=');
    const auto decoded = QByteArray::fromBase64Encoding(middle, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return false;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(decoded.decoded, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    result = document.object();
    return true;
}

qint64 AccessToken::expiry(const QString& token)
{
    QJsonObject object;
    if (!payload(token, object))
        return 0;
    qint64 exp = 0;
    if (!wholeNumber(object.value(QLatin1String("exp")), exp))
        return 0;
    return exp;
}

bool AccessToken::userId(const QString& token, int& result)
{
    QJsonObject object;
    if (!payload(token, object))
        return false;
    qint64 id = 0;
    if (!wholeNumber(object.value(QLatin1String("user_id")), id))
        return false;
    if (id < 0 || id > std::numeric_limits<int>::max())
        return false;
    result = static_cast<int>(id);
    return true;
}

bool AccessToken::isValidAt(const QString& token, qint64 nowSecs)
{
    return expiry(token) - nowSecs > 0;
}
