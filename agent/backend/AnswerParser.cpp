#include "backend/AnswerParser.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>

#include <cmath>
#include <limits>

QJsonObject AnswerParser::object(const QByteArray& body)
{
    if (body.size() > maxBodyBytes)
        return QJsonObject();
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return QJsonObject();
    return document.object();
}

qint64 AnswerParser::tokenValue(const QJsonValue& value)
{
    double number = -1;
    if (value.isDouble()) {
        number = value.toDouble();
    } else if (value.isString()) {
        bool ok = false;
        const qint64 parsed = value.toString().toLongLong(&ok);
        number = ok ? static_cast<double>(parsed) : -1;
    }
    if (!std::isfinite(number) || std::floor(number) != number || number < 0 || number >= 4294967295.0)
        return -1;
    return static_cast<qint64>(number);
}

int AnswerParser::intValue(const QJsonValue& value, int fallback)
{
    if (value.isDouble()) {
        const double number = value.toDouble();
        if (!std::isfinite(number) || std::floor(number) != number ||
            number < static_cast<double>(std::numeric_limits<int>::min()) ||
            number > static_cast<double>(std::numeric_limits<int>::max()))
            return fallback;
        return static_cast<int>(number);
    }
    if (value.isString()) {
        bool ok = false;
        const int number = value.toString().toInt(&ok);
        return ok ? number : fallback;
    }
    return fallback;
}

QString AnswerParser::textValue(const QJsonValue& value)
{
    if (value.isString())
        return value.toString();
    if (value.isDouble()) {
        const double number = value.toDouble();
        if (std::isfinite(number) && std::floor(number) == number && std::fabs(number) < 9007199254740992.0)
            return QString::number(static_cast<qint64>(number));
    }
    return QString();
}

QString AnswerParser::versionText(qint64 version)
{
    const qint64 major = (version / 100000000) & 0xff;
    const qint64 minor = ((version / 10000) % 10000) & 0xff;
    const qint64 patch = (version % 10000) & 0xff;
    return QStringLiteral("%1.%2.%3").arg(major).arg(minor).arg(patch);
}

namespace {

QJsonObject versionFrom(const QJsonObject& current)
{
    QJsonObject data;
    data.insert(QStringLiteral("url"), AnswerParser::textValue(current.value(QLatin1String("url"))));
    const QJsonValue version = current.value(QLatin1String("version"));
    if (version.isDouble() && std::isfinite(version.toDouble()) && version.toDouble() >= 0 &&
        version.toDouble() < 9007199254740992.0)
        data.insert(QStringLiteral("version"),
                    AnswerParser::versionText(static_cast<qint64>(version.toDouble())));
    else
        data.insert(QStringLiteral("version"), QString());
    return data;
}

// "uid" (text), "profile" (int), "token" (32-bit number, -1 for none) of a machine record.
QJsonObject machineFrom(const QJsonObject& answer)
{
    return QJsonObject{
        {QStringLiteral("uid"), AnswerParser::textValue(answer.value(QLatin1String("uid")))},
        {QStringLiteral("profile"), AnswerParser::intValue(answer.value(QLatin1String("profile")))},
        {QStringLiteral("token"),
         static_cast<double>(AnswerParser::tokenValue(answer.value(QLatin1String("token"))))}};
}

QJsonObject userInfoFrom(const QJsonObject& answer)
{
    QJsonObject data{
        {QStringLiteral("username"), AnswerParser::textValue(answer.value(QLatin1String("username")))},
        {QStringLiteral("plan_name"),
         AnswerParser::textValue(
             answer.value(QLatin1String("plan")).toObject().value(QLatin1String("name")))}};
    if (answer.contains(QLatin1String("date_end")))
        data.insert(QStringLiteral("date_end"),
                    AnswerParser::textValue(answer.value(QLatin1String("date_end"))));
    return data;
}

} // namespace

QJsonObject AnswerParser::version(const QJsonObject& answer)
{
    return versionFrom(answer.value(QLatin1String("current")).toObject());
}

QJsonObject AnswerParser::filteringStatus(const QJsonObject& answer)
{
    QJsonObject data;
    const QJsonValue status = answer.value(QLatin1String("status"));
    if (status.isBool())
        data.insert(QStringLiteral("result"), status.toBool());
    else if (status.isDouble())
        data.insert(QStringLiteral("result"), status.toDouble() != 0);
    return data;
}

QJsonObject AnswerParser::agentInfo(const QJsonObject& answer)
{
    return machineFrom(answer);
}

QJsonObject AnswerParser::checkUid(const QJsonObject& answer, int httpStatus, bool transportOk)
{
    QJsonObject data;
    if (answer.contains(QLatin1String("detail"))) {
        data = QJsonObject{{QStringLiteral("detail"), textValue(answer.value(QLatin1String("detail")))}};
    } else if (transportOk) {
        data = machineFrom(answer);
    }
    data.insert(QStringLiteral("code"), httpStatus);
    return data;
}

QJsonObject AnswerParser::profile(const QJsonObject& answer)
{
    return QJsonObject{{QStringLiteral("profile"), intValue(answer.value(QLatin1String("profile")))}};
}

QJsonObject AnswerParser::ip(const QJsonObject& answer)
{
    return QJsonObject{{QStringLiteral("result"), textValue(answer.value(QLatin1String("ip")))}};
}

QJsonObject AnswerParser::userInfo(const QJsonObject& answer)
{
    return userInfoFrom(answer);
}

QJsonObject AnswerParser::profiles(const QJsonObject& answer)
{
    const QJsonValue results = answer.value(QLatin1String("results"));
    return QJsonObject{{QStringLiteral("result"), results.isArray() ? results.toArray() : QJsonArray()}};
}

QJsonObject AnswerParser::removeResult(const QJsonObject& answer)
{
    return QJsonObject{{QStringLiteral("result"), intValue(answer.value(QLatin1String("result")))}};
}

QJsonObject AnswerParser::certificates(const QJsonObject& answer)
{
    // Empty pieces are kept: a list that ends in ";" has an empty last entry.
    // An answer without addresses gives no entries at all.
    const QString urls = textValue(answer.value(QLatin1String("url")));
    const QStringList pieces = urls.isEmpty() ? QStringList() : urls.split(QLatin1Char(';'));
    return QJsonObject{{QStringLiteral("certs"), QJsonArray::fromStringList(pieces)},
                       {QStringLiteral("expires"), textValue(answer.value(QLatin1String("expires")))}};
}

QJsonObject AnswerParser::rpcVersion(const QJsonObject& answer)
{
    QJsonObject current = answer.value(QLatin1String("current")).toObject();
    if (current.isEmpty())
        current = answer.value(QLatin1String("result")).toObject().value(QLatin1String("current")).toObject();
    return versionFrom(current);
}

QJsonObject AnswerParser::rpcCertificates(const QJsonObject& answer)
{
    return answer.value(QLatin1String("result")).toObject();
}

QJsonObject AnswerParser::rpcLimitedProfile(const QJsonObject& answer)
{
    const QJsonArray records = answer.value(QLatin1String("result")).toArray();
    return machineFrom(records.isEmpty() ? QJsonObject() : records.first().toObject());
}

QJsonObject AnswerParser::rpcProfile(const QJsonObject& answer)
{
    return profile(answer.value(QLatin1String("result")).toObject());
}

QJsonObject AnswerParser::rpcUserInfo(const QJsonObject& answer)
{
    return userInfoFrom(answer.value(QLatin1String("result")).toObject());
}
