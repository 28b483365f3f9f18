#include "backend/RestLocal.h"

#include "backend/AccessToken.h"
#include "backend/AnswerParser.h"
#include "backend/BackendLogging.h"
#include "backend/BackendUrl.h"
#include "backend/RequestBody.h"
#include "logging/LogMask.h"
#include "settings/ConstData.h"
#include "settings/UserData.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutex>
#include <QMutexLocker>

namespace {

// The sign-in state of the process. Backend calls run on the agent thread;
// the lock only keeps a sign-out from another thread from tearing a value.
// They belong to the sign-in data of one generation: a sign-out
// (UserData::deleteAuthData) moves the generation on and so drops them.
struct Tokens
{
    QString access;
    QString refresh;
    int userId = -1;
    quint64 generation = 0;
};

QMutex tokensMutex;
Tokens tokens;

// Called with tokensMutex held.
void dropIfSignedOut()
{
    const quint64 generation = UserData::getAuthDataGeneration();
    if (tokens.generation != generation) {
        tokens = Tokens();
        tokens.generation = generation;
    }
}

Tokens currentTokens()
{
    QMutexLocker lock(&tokensMutex);
    dropIfSignedOut();
    return tokens;
}

void storeTokens(const QString& access, const QString& refresh)
{
    QMutexLocker lock(&tokensMutex);
    dropIfSignedOut();
    tokens.access = access;
    tokens.refresh = refresh;
}

void storeUserId(int id)
{
    QMutexLocker lock(&tokensMutex);
    dropIfSignedOut();
    tokens.userId = id;
}

// Answers go to the debug log, but never a whole megabyte of them.
// Debug lines never carry a token, key or machine id in full.
QString bodyForLog(const QByteArray& body)
{
    return LogMask::hidden(LogMask::body(body), UserData::savedUidForMask());
}

} // namespace

RestLocal::RestLocal(QObject* parent) : INetwork(parent) {}

QString RestLocal::accessToken()
{
    return currentTokens().access;
}

QString RestLocal::refreshToken()
{
    return currentTokens().refresh;
}

int RestLocal::userId()
{
    return currentTokens().userId;
}

void RestLocal::clearTokens()
{
    QMutexLocker lock(&tokensMutex);
    tokens = Tokens();
    tokens.generation = UserData::getAuthDataGeneration();
}

void RestLocal::newUser()
{
    storeTokens(QString(), QString());
}

QNetworkRequest RestLocal::request(const QUrl& url, bool authorised) const
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    if (authorised)
        request.setRawHeader("Authorization", QByteArrayLiteral("Bearer ") + accessToken().toLocal8Bit());
    return request;
}

// ---- sign-in ----

bool RestLocal::takeTokens(const QByteArray& body)
{
    const QJsonObject answer = AnswerParser::object(body);
    const QString refresh = AnswerParser::textValue(answer.value(QLatin1String("refresh")));
    const QString access = AnswerParser::textValue(answer.value(QLatin1String("access")));
    storeTokens(access, refresh);
    qCDebug(rest_local).noquote() << "CHECK TOKENS" << LogMask::token(access) << LogMask::token(refresh);

    QJsonObject payload;
    int id = -1;
    if (!AccessToken::payload(access, payload) || !AccessToken::userId(access, id)) {
        // A token that names no account must not be used even if it has not
        // expired: the next step signs in again instead.
        qCCritical(rest_local) << "the access token does not name the account";
        storeTokens(QString(), QString());
        return false;
    }
    storeUserId(id);
    qCDebug(rest_local).noquote() << "CHECK BASE64" << id
                                  << QString::fromUtf8(QJsonDocument(payload).toJson(QJsonDocument::Compact));
    return true;
}

bool RestLocal::auth()
{
    const QString login = UserData::getLogin();
    const QString password = UserData::getPassword();
    if (login.isEmpty() || password.isEmpty())
        return false;

    const QUrl url = BackendUrl::byPassword(ConstData::getHome());
    QNetworkRequest req = request(url, false);
    qCDebug(rest_local).noquote() << "REQUEST by-password" << BackendUrl::forLog(url)
                                  << QString::fromUtf8(RequestBody::byPasswordForLog(login, password));
    QNetworkReply* reply = postWait(req, RequestBody::byPassword(login, password));
    qCDebug(rest_local) << "RESPONSE auth CODE" << getHttpStatusCode(reply);
    if (reply->error() != QNetworkReply::NoError) {
        qCCritical(rest_local).noquote() << "ERROR by-password" << errorText(reply);
        reply->deleteLater();
        return false;
    }
    const QByteArray body = readBody(reply);
    reply->deleteLater();
    qCDebug(rest_local).noquote() << "RESPONSE by-password" << (body.isEmpty() ? "false" : "true");
    return takeTokens(body);
}

bool RestLocal::verify(const QString& token)
{
    const qint64 exp = AccessToken::expiry(token);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    qCDebug(rest_local) << "verify exp:" << exp << "currentSecsSinceEpoch:" << now;
    return AccessToken::isValidAt(token, now);
}

bool RestLocal::refreshTokens()
{
    const QUrl url = BackendUrl::refresh(ConstData::getHome());
    QNetworkRequest req = request(url, false);
    qCDebug(rest_local).noquote() << "REQUEST refresh" << BackendUrl::forLog(url);
    QNetworkReply* reply = postWait(req, RequestBody::refresh(refreshToken()));
    if (reply->error() != QNetworkReply::NoError) {
        qCCritical(rest_local).noquote() << "ERROR refresh" << errorText(reply);
        reply->deleteLater();
        return false;
    }
    qCDebug(rest_local) << "RESPONSE refresh CODE" << getHttpStatusCode(reply);
    const QByteArray body = readBody(reply);
    reply->deleteLater();
    return takeTokens(body);
}

bool RestLocal::preparation()
{
    return preparationRound(0);
}

bool RestLocal::preparationRound(int round)
{
    const Tokens held = currentTokens();
    qCDebug(rest_local) << "preparation()";
    qCDebug(rest_local).noquote() << "ACCESS:" << LogMask::token(held.access);
    qCDebug(rest_local).noquote() << "REFRESH:" << LogMask::token(held.refresh);
    qCDebug(rest_local) << "USER_ID:" << held.userId;

    if (held.access.isEmpty() || held.refresh.isEmpty()) {
        if (!auth())
            return false;
    }
    if (verify(accessToken()))
        return true;
    if (round >= maxRefreshRounds) {
        // Each fresh token is already expired by our clock: asking again would
        // never end.
        qCCritical(rest_local) << "preparation() gave up: fresh access tokens keep failing the expiry check";
        return false;
    }
    const bool ok = refreshTokens();
    if (!ok)
        storeTokens(QString(), QString());
    // With fresh tokens the next round verifies; with emptied ones it signs in
    // anew. The operation follows the refresh, and fails when the next round
    // could not get a usable token either.
    const bool repeated = preparationRound(round + 1);
    return ok && repeated;
}

// ---- operations ----

ApiResult RestLocal::getOperation(const char* name, const std::function<QUrl()>& address,
                                  QJsonObject (*reduce)(const QJsonObject&))
{
    ApiResult result;
    if (!preparation())
        return result;
    // The address is built after the sign-in step, which may have changed the account number.
    const QUrl url = address();
    QNetworkRequest req = request(url, true);
    qCDebug(rest_local).noquote() << QStringLiteral("REQUEST ") + QLatin1String(name)
                                  << BackendUrl::forLog(url);
    QNetworkReply* reply = getWait(req);
    result.error = reply->error();
    result.errorString = errorText(reply);
    qCDebug(rest_local).noquote() << QStringLiteral("RESPONSE %1 CODE").arg(QLatin1String(name))
                                  << getHttpStatusCode(reply);
    if (reply->error() != QNetworkReply::NoError) {
        qCCritical(rest_local).noquote()
            << QStringLiteral("ERROR ") + QLatin1String(name) << result.errorString;
    } else {
        const QByteArray body = readBody(reply);
        qCDebug(rest_local).noquote()
            << QStringLiteral("RESPONSE %1:").arg(QLatin1String(name)) << bodyForLog(body);
        result.data = reduce(AnswerParser::object(body));
    }
    reply->deleteLater();
    return result;
}

ApiResult RestLocal::getVersion(const QString& tag)
{
    return getOperation(
        "getVersion", [&tag] { return BackendUrl::version(ConstData::getHome(), tag); },
        &AnswerParser::version);
}

ApiResult RestLocal::getFilteringStatus()
{
    return getOperation(
        "getFilteringStatus", [] { return BackendUrl::filterStatus(ConstData::getHome(), userId()); },
        &AnswerParser::filteringStatus);
}

ApiResult RestLocal::getIp()
{
    return getOperation(
        "getIp", [] { return BackendUrl::ip(ConstData::getHome()); }, &AnswerParser::ip);
}

ApiResult RestLocal::getUserInfo()
{
    return getOperation(
        "getUserInfo", [] { return BackendUrl::userInfo(ConstData::getHome(), userId()); },
        &AnswerParser::userInfo);
}

ApiResult RestLocal::getProfiles()
{
    return getOperation(
        "getProfiles", [] { return BackendUrl::profiles(ConstData::getHome(), userId()); },
        &AnswerParser::profiles);
}

ApiResult RestLocal::getCertificates()
{
    return getOperation(
        "getCertificates", [] { return BackendUrl::certificates(ConstData::getHome()); },
        &AnswerParser::certificates);
}

ApiResult RestLocal::checkUid()
{
    ApiResult result;
    if (!preparation()) {
        result.errorString = QStringLiteral("Bad auth");
        result.error = ApiResult::badAuth;
        return result;
    }
    const QUrl url = BackendUrl::agentInfo(ConstData::getHome(), userId(), UserData::getSaveUid());
    QNetworkRequest req = request(url, true);
    qCDebug(rest_local).noquote() << "REQUEST checkUid" << BackendUrl::forLog(url);
    QNetworkReply* reply = getWait(req);
    result.error = reply->error();
    result.errorString = errorText(reply);
    const int code = getHttpStatusCode(reply);
    qCDebug(rest_local) << "RESPONSE checkUid CODE" << code;
    const bool ok = reply->error() == QNetworkReply::NoError;
    if (!ok)
        qCCritical(rest_local).noquote() << "ERROR checkUid" << result.errorString;
    // A refusal still carries the backend's explanation in "detail".
    const QByteArray body = readBody(reply);
    if (ok)
        qCDebug(rest_local).noquote() << "RESPONSE checkUid:" << bodyForLog(body);
    result.data = AnswerParser::checkUid(AnswerParser::object(body), code, ok);
    reply->deleteLater();
    return result;
}

ApiResult RestLocal::getUid()
{
    ApiResult result;
    if (!preparation())
        return result;
    const QUrl url = BackendUrl::agentInfo(ConstData::getHome(), userId());
    QNetworkRequest req = request(url, true);
    const QByteArray body = RequestBody::agentInfo(UserData::getLocalHostName(), ConstData::getVersion(),
                                                   ConstData::getOS(), QStringLiteral("windows"));
    qCDebug(rest_local).noquote() << "REQUEST getUid" << BackendUrl::forLog(url) << QString::fromUtf8(body);
    QNetworkReply* reply = postWait(req, body);
    result.error = reply->error();
    result.errorString = errorText(reply);
    qCDebug(rest_local) << "RESPONSE getUid CODE" << getHttpStatusCode(reply);
    if (reply->error() != QNetworkReply::NoError) {
        qCCritical(rest_local).noquote() << "ERROR getUid" << result.errorString;
    } else {
        const QByteArray answer = readBody(reply);
        qCDebug(rest_local).noquote() << "RESPONSE getUid:" << bodyForLog(answer);
        result.data = AnswerParser::agentInfo(AnswerParser::object(answer));
    }
    reply->deleteLater();
    return result;
}

ApiResult RestLocal::setProfile(const unsigned int& profileId)
{
    ApiResult result;
    if (!preparation())
        return result;
    const QUrl url = BackendUrl::agentInfo(ConstData::getHome(), userId(), UserData::getSaveUid());
    QNetworkRequest req = request(url, true);
    const QByteArray body = RequestBody::profile(profileId);
    qCDebug(rest_local).noquote() << "REQUEST setProfile" << BackendUrl::forLog(url)
                                  << QString::fromUtf8(body);
    QNetworkReply* reply = patchWait(req, body);
    result.error = reply->error();
    result.errorString = errorText(reply);
    qCDebug(rest_local) << "RESPONSE setProfile CODE" << getHttpStatusCode(reply);
    if (reply->error() != QNetworkReply::NoError) {
        qCCritical(rest_local).noquote() << "ERROR setProfile" << result.errorString;
    } else {
        const QByteArray answer = readBody(reply);
        qCDebug(rest_local).noquote() << "RESPONSE setProfile:" << bodyForLog(answer);
        result.data = AnswerParser::profile(AnswerParser::object(answer));
    }
    reply->deleteLater();
    return result;
}

ApiResult RestLocal::removeAgentProfile()
{
    ApiResult result;
    if (!preparation())
        return result;
    const QUrl url = BackendUrl::agentInfo(ConstData::getHome(), userId(), UserData::getSaveUid());
    QNetworkRequest req = request(url, true);
    qCDebug(rest_local).noquote() << "REQUEST removeAgentProfile" << BackendUrl::forLog(url);
    QNetworkReply* reply = deleteWait(req);
    result.error = reply->error();
    result.errorString = errorText(reply);
    qCDebug(rest_local) << "RESPONSE removeAgentProfile CODE" << getHttpStatusCode(reply);
    if (reply->error() != QNetworkReply::NoError) {
        qCCritical(rest_local).noquote() << "ERROR removeAgentProfile" << result.errorString;
    } else {
        const QByteArray answer = readBody(reply);
        qCDebug(rest_local).noquote() << "RESPONSE removeAgentProfile:" << bodyForLog(answer);
        result.data = AnswerParser::removeResult(AnswerParser::object(answer));
    }
    reply->deleteLater();
    return result;
}

ApiResult RestLocal::checkAuth(const QString& credentials)
{
    qCDebug(rest_local) << "checkAuth";
    const QStringList parts = credentials.split(QLatin1Char(':'), Qt::KeepEmptyParts);
    if (parts.size() == 2) {
        UserData::setLogin(parts.at(0));
        UserData::setPassword(parts.at(1));
    }
    ApiResult result;
    result.data.insert(QStringLiteral("result"), preparation());
    return result;
}

ApiResult RestLocal::sendDebugInfo(const QString& debugInfo)
{
    ApiResult result;
    const QJsonArray entries = RequestBody::debugEntries(debugInfo.toUtf8());
    const QByteArray body =
        RequestBody::jsonRpc(QStringLiteral("sendDebugInfo"), QJsonArray{UserData::getSaveUid(), entries});
    QNetworkRequest req = request(QUrl(ConstData::getUrlApiJrpc(), QUrl::StrictMode), false);
    req.setRawHeader("Authorization",
                     BackendUrl::basicAuthorization(UserData::getLogin(), UserData::getPassword()));
    qCDebug(rest_local).noquote() << "REQUEST sendDebugInfo:" << bodyForLog(body);
    QNetworkReply* reply = postWait(req, body);
    result.error = reply->error();
    result.errorString = errorText(reply);
    qCDebug(rest_local) << "RESPONSE sendDebugInfo CODE" << getHttpStatusCode(reply);
    const QByteArray answer = readBody(reply);
    if (reply->error() != QNetworkReply::NoError) {
        qCCritical(rest_local).noquote() << "ERROR sendDebugInfo" << result.errorString;
    } else {
        qCDebug(rest_local).noquote() << "RESONSE sendDebugInfo:" << bodyForLog(answer);
        result.data = AnswerParser::object(answer);
    }
    reply->deleteLater();
    return result;
}
