#include "backend/Jrpc.h"

#include "backend/AnswerParser.h"
#include "backend/BackendLogging.h"
#include "backend/BackendUrl.h"
#include "backend/RequestBody.h"
#include "logging/LogMask.h"
#include "settings/ConstData.h"
#include "settings/UserData.h"

namespace {

// Debug lines never carry a token, key or machine id in full.
QString bodyForLog(const QByteArray& body)
{
    return LogMask::hidden(LogMask::body(body), UserData::savedUidForMask());
}

} // namespace

Jrpc::Jrpc(QObject* parent) : INetwork(parent) {}

void Jrpc::newUser() {}

ApiResult Jrpc::call(const Call& call)
{
    ApiResult result;
    QNetworkRequest request(QUrl(ConstData::getUrlApiJrpc(), QUrl::StrictMode));
    if (call.credentials)
        request.setRawHeader("Authorization",
                             BackendUrl::basicAuthorization(UserData::getLogin(), UserData::getPassword()));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    const QByteArray body = RequestBody::jsonRpc(call.method, call.params);
    qCDebug(jrpc).noquote() << QStringLiteral("REQUEST %1:").arg(QLatin1String(call.name))
                            << bodyForLog(call.bodyForLog.isEmpty() ? body : call.bodyForLog);
    QNetworkReply* reply = postWait(request, body);
    result.error = reply->error();
    result.errorString = errorText(reply);
    qCDebug(jrpc).noquote() << QStringLiteral("RESPONSE %1 CODE").arg(QLatin1String(call.name))
                            << getHttpStatusCode(reply);
    if (reply->error() != QNetworkReply::NoError) {
        qCCritical(jrpc).noquote() << QStringLiteral("ERROR %1").arg(QLatin1String(call.name))
                                   << result.errorString;
    } else {
        const QByteArray answer = readBody(reply);
        qCDebug(jrpc).noquote() << QLatin1String(call.responseLine) << bodyForLog(answer);
        const QJsonObject object = AnswerParser::object(answer);
        result.data = call.reduce != nullptr ? call.reduce(object) : object;
    }
    reply->deleteLater();
    return result;
}

ApiResult Jrpc::getCertificates()
{
    return call({"getCertificates",
                 QStringLiteral("getSSLCertificatesDataV2"),
                 QJsonArray{QStringLiteral("3")},
                 false,
                 "RESPONSE getCertificates:",
                 {},
                 &AnswerParser::rpcCertificates});
}

ApiResult Jrpc::getVersion(const QString& tag)
{
    return call({"getVersion",
                 QStringLiteral("getLinuxSupporting"),
                 QJsonArray{tag},
                 false,
                 "RESPONSE getVersion:",
                 {},
                 &AnswerParser::rpcVersion});
}

ApiResult Jrpc::getFilteringStatus()
{
    return call({"getFilteringStatus",
                 QStringLiteral("getFilteringStatus"),
                 QJsonArray(),
                 true,
                 "RESPONSE getFilteringStatus:",
                 {},
                 nullptr});
}

ApiResult Jrpc::checkUid()
{
    const QJsonArray params{UserData::getSaveUid(), QString(), QString(), QString(), QString()};
    return call({"checkUid",
                 QStringLiteral("getLimitedProfile"),
                 params,
                 true,
                 "RESPONSE checkUid:",
                 {},
                 &AnswerParser::rpcLimitedProfile});
}

ApiResult Jrpc::getUid()
{
    const QJsonArray params{QString(), UserData::getLocalHostName(), ConstData::getVersion(),
                            ConstData::getOS(), UserData::getLocalIP()};
    return call({"getUid",
                 QStringLiteral("getLimitedProfile"),
                 params,
                 true,
                 "RESPONSE getUid:",
                 {},
                 &AnswerParser::rpcLimitedProfile});
}

ApiResult Jrpc::setProfile(const unsigned int& profileId)
{
    const QJsonArray params{UserData::getSaveUid(), static_cast<qint64>(profileId)};
    return call({"setProfile",
                 QStringLiteral("setProfile"),
                 params,
                 true,
                 "RESPONSE setProfile:",
                 {},
                 &AnswerParser::rpcProfile});
}

ApiResult Jrpc::getIp()
{
    return call({"getIp", QStringLiteral("myip"), QJsonArray(), false, "RESPONSE getIp:", {}, nullptr});
}

ApiResult Jrpc::getUserInfo()
{
    return call({"getUserInfo",
                 QStringLiteral("userInfo"),
                 QJsonArray(),
                 true,
                 "RESPONSE getUserInfo:",
                 {},
                 &AnswerParser::rpcUserInfo});
}

ApiResult Jrpc::getProfiles()
{
    return call(
        {"getProfiles", QStringLiteral("profiles"), QJsonArray(), true, "RESONSE getProfiles:", {}, nullptr});
}

ApiResult Jrpc::sendDebugInfo(const QString& debugInfo)
{
    const QJsonArray params{UserData::getSaveUid(), RequestBody::debugEntries(debugInfo.toUtf8())};
    return call({"sendDebugInfo",
                 QStringLiteral("sendDebugInfo"),
                 params,
                 true,
                 "RESONSE sendDebugInfo:",
                 {},
                 nullptr});
}

ApiResult Jrpc::removeAgentProfile()
{
    return call({"removeAgentProfile",
                 QStringLiteral("removeAgentProfile"),
                 QJsonArray{UserData::getSaveUid()},
                 true,
                 "RESPONSE removeAgentProfile:",
                 {},
                 nullptr});
}

ApiResult Jrpc::checkAuth(const QString& credentials)
{
    const int colon = credentials.indexOf(QLatin1Char(':'));
    if (colon < 0) {
        // Nothing to split: there is no password to test.
        qCWarning(jrpc) << "checkAuth: the sign-in data has no \":\"; nothing sent";
        ApiResult result;
        result.data.insert(QStringLiteral("result"), false);
        return result;
    }
    const QString login = credentials.left(colon);
    const QString password = credentials.mid(colon + 1);
    const QString masked(password.size(), QLatin1Char('*'));
    return call({"checkAuth", QStringLiteral("testAuth"), QJsonArray{login, password}, false,
                 "RESPONSE checkAuth:",
                 RequestBody::jsonRpc(QStringLiteral("testAuth"), QJsonArray{login, masked}), nullptr});
}
