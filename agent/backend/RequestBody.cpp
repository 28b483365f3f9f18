#include "backend/RequestBody.h"

#include "common/PayloadKeys.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

QByteArray compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

QByteArray RequestBody::byPassword(const QString& login, const QString& password)
{
    return compact(QJsonObject{{QStringLiteral("username"), login}, {QStringLiteral("password"), password}});
}

QByteArray RequestBody::byPasswordForLog(const QString& login, const QString& password)
{
    return byPassword(login, QString(password.size(), QLatin1Char('*')));
}

QByteArray RequestBody::refresh(const QString& refreshToken)
{
    return compact(QJsonObject{{QStringLiteral("refresh"), refreshToken}});
}

QByteArray RequestBody::agentInfo(const QString& hostName, const QString& version, const QString& osInfo,
                                  const QString& agentType)
{
    return compact(QJsonObject{{QStringLiteral("hostname"), hostName},
                               {QStringLiteral("version"), version},
                               {QStringLiteral("os_info"), osInfo},
                               {QStringLiteral("agent_type"), agentType}});
}

QByteArray RequestBody::profile(quint32 profileId)
{
    return compact(QJsonObject{{QStringLiteral("profile"), static_cast<qint64>(profileId)}});
}

QByteArray RequestBody::jsonRpc(const QString& method, const QJsonArray& params)
{
    return compact(QJsonObject{{QStringLiteral("id"), 0},
                               {QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                               {QStringLiteral("method"), method},
                               {QStringLiteral("params"), params}});
}

QJsonArray RequestBody::debugEntries(const QByteArray& debugInfo)
{
    QJsonArray converted;
    const QJsonDocument document = QJsonDocument::fromJson(debugInfo);
    if (!document.isArray())
        return converted;
    const QJsonArray entries = document.array();
    for (const QJsonValue& entry : entries) {
        if (!entry.isObject())
            continue;
        const QJsonObject object = entry.toObject();
        converted.append(
            QJsonObject{{QStringLiteral("command_title"), object.value(PayloadKeys::LogName)},
                        {QStringLiteral("command_info"), object.value(PayloadKeys::LogMessage)}});
    }
    return converted;
}
