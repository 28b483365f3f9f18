#include "backend/RestAD.h"

#include "backend/AccessToken.h"
#include "backend/AdGroupPlan.h"
#include "backend/AnswerParser.h"
#include "backend/BackendLogging.h"
#include "backend/BackendUrl.h"
#include "backend/NetworkAccessManager.h"
#include "backend/RequestBody.h"
#include "logging/LogMask.h"
#include "settings/ConstData.h"
#include "settings/UserData.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include <cmath>

namespace {

// The directory-mode state of the process; touched on the agent thread only.
struct State
{
    QString access;
    QString refresh;
    QString tokensKey; // the access key the tokens were obtained with
    int userId = -1;
    int domainId = -1;
    int adUserId = -1;
    int registration = RestAD::notArmed;
};

State& state()
{
    static State value;
    return value;
}

// Debug lines never carry a token, key or machine id in full.
QString bodyForLog(const QByteArray& body)
{
    return LogMask::hidden(LogMask::body(body), UserData::savedUidForMask());
}

QString compact(const QJsonValue& value)
{
    if (value.isArray())
        return QString::fromUtf8(QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact));
    return QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
}

// A whole number in int range, else false.
bool wholeNumber(const QJsonValue& value, int& result)
{
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::floor(number) != number || number < -2147483648.0 ||
        number > 2147483647.0)
        return false;
    result = static_cast<int>(number);
    return true;
}

QString segment(const QString& value)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(value));
}

} // namespace

void RestAD::registerBinding()
{
    NetworkAccessManager::setDirectoryFactory(
        [](QObject* parent) -> INetwork* { return new RestAD(parent); });
}

RestAD::RestAD(QObject* parent) : INetwork(parent)
{
    registerDirectory();
}

void RestAD::registerDirectory()
{
    State& s = state();
    if (s.registration != registerNext)
        return;
    // A backend call made while the registration waits builds another binding;
    // it must not start a second registration.
    s.registration = notArmed;
    const bool done = checkDomain() && checkUser() && checkGroups();
    state().registration = done ? registered : registerNext;
    qCInfo(rest_ad) << "directory registration"
                    << (done ? "done" : "failed; retried with the next operation");
}

int RestAD::registrationState()
{
    return state().registration;
}

int RestAD::domainId()
{
    return state().domainId;
}

int RestAD::adUserId()
{
    return state().adUserId;
}

int RestAD::userId()
{
    return state().userId;
}

QString RestAD::accessToken()
{
    return state().access;
}

void RestAD::resetState()
{
    state() = State();
}

void RestAD::newUser()
{
    State& s = state();
    s.registration = registerNext;
    s.access.clear();
    s.refresh.clear();
}

QNetworkRequest RestAD::request(const QUrl& url, bool authorised) const
{
    QNetworkRequest req(url);
    req.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    if (authorised)
        req.setRawHeader("Authorization", QByteArrayLiteral("Bearer ") + state().access.toLocal8Bit());
    return req;
}

QUrl RestAD::adUrl(const QString& path) const
{
    return QUrl(ConstData::getHome() + QStringLiteral("/ad/rest_api/v1/users/") +
                    QString::number(state().userId) + path,
                QUrl::StrictMode);
}

// ---- request bodies ----

QByteArray RestAD::domainBody(const QString& domain)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("name"), domain}}).toJson(QJsonDocument::Compact);
}

QByteArray RestAD::userBody(const QString& user, const QString& domain, const QString& hostName,
                            const QString& osInfo)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("name"), user},
                                     {QStringLiteral("domain_name"), domain},
                                     {QStringLiteral("hostname"), hostName},
                                     {QStringLiteral("os_info"), osInfo}})
        .toJson(QJsonDocument::Compact);
}

QByteArray RestAD::groupBody(const QString& name, int domain, const QJsonArray& users)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("name"), name},
                                     {QStringLiteral("domain"), domain},
                                     {QStringLiteral("parent"), QJsonValue(QJsonValue::Null)},
                                     {QStringLiteral("ad_users"), users}})
        .toJson(QJsonDocument::Compact);
}

// ---- sign-in ----

bool RestAD::takeTokens(const QByteArray& body)
{
    const QJsonObject answer = AnswerParser::object(body);
    State& s = state();
    s.refresh = AnswerParser::textValue(answer.value(QLatin1String("refresh")));
    s.access = AnswerParser::textValue(answer.value(QLatin1String("access")));
    qCDebug(rest_ad).noquote() << "CHECK TOKENS" << LogMask::token(s.access) << LogMask::token(s.refresh);

    QJsonObject payload;
    int id = -1;
    if (!AccessToken::payload(s.access, payload) || !AccessToken::userId(s.access, id)) {
        qCCritical(rest_ad) << "the access token does not name the account";
        return false;
    }
    s.userId = id;
    qCDebug(rest_ad).noquote() << "CHECK BASE64" << id << compact(payload);
    return true;
}

bool RestAD::auth()
{
    const QString key = UserData::getAuthToken();
    if (key.isEmpty())
        return false;
    const QUrl url(ConstData::getHome() + QStringLiteral("/api/token/by-ad-key/") + segment(key) +
                       QLatin1Char('/'),
                   QUrl::StrictMode);
    QNetworkRequest req = request(url, false);
    // The key is a credential: the log shows only its beginning.
    qCDebug(rest_ad).noquote() << "REQUEST by-ad-key" << LogMask::token(key);
    QNetworkReply* reply = getWait(req);
    qCDebug(rest_ad) << "RESPONSE by-ad-key CODE" << getHttpStatusCode(reply);
    if (reply->error() != QNetworkReply::NoError) {
        qCCritical(rest_ad).noquote() << "ERROR by-ad-key" << errorText(reply);
        reply->deleteLater();
        return false;
    }
    const QByteArray body = readBody(reply);
    reply->deleteLater();
    qCDebug(rest_ad).noquote() << "RESPONSE by-ad-key" << (body.isEmpty() ? "false" : "true");
    state().tokensKey = key;
    return takeTokens(body);
}

bool RestAD::verify(const QString& token)
{
    const qint64 exp = AccessToken::expiry(token);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    qCDebug(rest_ad) << "verify exp:" << exp << "currentSecsSinceEpoch:" << now;
    return AccessToken::isValidAt(token, now);
}

bool RestAD::refreshTokens()
{
    const QUrl url = BackendUrl::refresh(ConstData::getHome());
    QNetworkRequest req = request(url, false);
    qCDebug(rest_ad).noquote() << "REQUEST refresh" << BackendUrl::forLog(url);
    QNetworkReply* reply = postWait(req, RequestBody::refresh(state().refresh));
    if (reply->error() != QNetworkReply::NoError) {
        qCCritical(rest_ad).noquote() << "ERROR refresh" << errorText(reply);
        reply->deleteLater();
        return false;
    }
    qCDebug(rest_ad) << "RESPONSE refresh CODE" << getHttpStatusCode(reply);
    const QByteArray body = readBody(reply);
    reply->deleteLater();
    qCDebug(rest_ad).noquote() << "RESPONSE refresh:" << (body.isEmpty() ? "false" : "true");
    return takeTokens(body);
}

bool RestAD::preparation()
{
    // Tokens belong to the key they were bought with: after a sign-out or a
    // new key they must not keep the old account signed in.
    State& s = state();
    if (!s.access.isEmpty() && s.tokensKey != UserData::getAuthToken()) {
        s.access.clear();
        s.refresh.clear();
    }
    return preparationRound(0);
}

bool RestAD::preparationRound(int round)
{
    const State held = state();
    qCDebug(rest_ad) << "preparation()";
    qCDebug(rest_ad).noquote() << "ACCESS:" << LogMask::token(held.access);
    qCDebug(rest_ad).noquote() << "REFRESH:" << LogMask::token(held.refresh);
    qCDebug(rest_ad) << "USER_ID:" << held.userId;

    if (held.access.isEmpty() || held.refresh.isEmpty()) {
        if (!auth())
            return false;
    }
    if (verify(state().access))
        return true;
    // Each fresh token already expired by our clock would make this endless.
    constexpr int maxRefreshRounds = 2;
    if (round >= maxRefreshRounds) {
        qCCritical(rest_ad) << "preparation() gave up: fresh access tokens keep failing the expiry check";
        return false;
    }
    const bool ok = refreshTokens();
    if (!ok) {
        state().access.clear();
        state().refresh.clear();
    }
    const bool repeated = preparationRound(round + 1);
    return ok && repeated;
}

// ---- registration ----

bool RestAD::exchange(const char* name, const QByteArray& method, const QUrl& url, const QByteArray& body,
                      QByteArray& answer)
{
    QNetworkRequest req = request(url, true);
    qCDebug(rest_ad).noquote() << QStringLiteral("REQUEST ") + QLatin1String(name) << BackendUrl::forLog(url)
                               << QString::fromUtf8(body);
    QNetworkReply* reply = nullptr;
    if (method == "GET")
        reply = getWait(req);
    else if (method == "POST")
        reply = postWait(req, body);
    else
        reply = patchWait(req, body);
    qCDebug(rest_ad) << QStringLiteral("RESPONSE %1 CODE").arg(QLatin1String(name))
                     << getHttpStatusCode(reply);
    if (reply->error() != QNetworkReply::NoError) {
        qCCritical(rest_ad).noquote() << QStringLiteral("ERROR ") + QLatin1String(name) << errorText(reply);
        reply->deleteLater();
        return false;
    }
    answer = readBody(reply);
    reply->deleteLater();
    qCDebug(rest_ad).noquote() << QStringLiteral("RESPONSE %1:").arg(QLatin1String(name))
                               << bodyForLog(answer);
    return true;
}

bool RestAD::checkDomain()
{
    // Sign in first: the address holds the account number.
    if (!preparation())
        return false;
    QByteArray body;
    if (!exchange("checkDomain", "GET", adUrl(QStringLiteral("/agent_domains/")), QByteArray(), body))
        return false;
    const QString domain = ConstData::getWorkingMode().second;
    State& s = state();
    s.domainId = -1;
    const QJsonArray results = AnswerParser::object(body).value(QLatin1String("results")).toArray();
    for (const QJsonValue& entry : results) {
        const QJsonObject object = entry.toObject();
        const QJsonValue name = object.value(QLatin1String("name"));
        int id = -1;
        if (name.isString() && name.toString() == domain &&
            wholeNumber(object.value(QLatin1String("id")), id)) {
            s.domainId = id;
            break;
        }
    }
    if (s.domainId == -1)
        return addDomain();
    return true;
}

bool RestAD::addDomain()
{
    const QString domain = ConstData::getWorkingMode().second;
    if (domain.isEmpty())
        return false;
    if (!preparation())
        return false;
    QByteArray body;
    if (!exchange("addDomain", "POST", adUrl(QStringLiteral("/agent_domains/")), domainBody(domain), body))
        return false;
    int id = -1;
    if (!wholeNumber(AnswerParser::object(body).value(QLatin1String("id")), id)) {
        qCCritical(rest_ad) << "addDomain: the answer has no domain id";
        return false;
    }
    state().domainId = id;
    return true;
}

bool RestAD::checkUser()
{
    const QString user = UserData::getUsername();
    if (user.isEmpty())
        return false;
    if (!preparation())
        return false;
    QByteArray body;
    const QByteArray payload =
        userBody(user, ConstData::getWorkingMode().second, UserData::getLocalHostName(), ConstData::getOS());
    if (!exchange("checkUser", "POST", adUrl(QStringLiteral("/ad_users/register/")), payload, body))
        return false;
    const QJsonObject answer = AnswerParser::object(body);
    int id = -1;
    if (!wholeNumber(answer.value(QLatin1String("id")), id)) {
        qCCritical(rest_ad) << "checkUser: the answer has no user id";
        return false;
    }
    state().adUserId = id;
    const QJsonValue token = answer.value(QLatin1String("token"));
    if (token.isDouble() && token.toDouble() >= 0 && token.toDouble() <= 4294967295.0)
        UserData::setToken(static_cast<quint32>(token.toDouble()));
    return true;
}

bool RestAD::checkGroups()
{
    if (UserData::getUsername().isEmpty())
        return false;
    if (!preparation())
        return false;
    QByteArray body;
    if (!exchange("checkGroups", "GET", adUrl(QStringLiteral("/ad_groups/")), QByteArray(), body))
        return false;
    const QJsonArray groups = AnswerParser::object(body).value(QLatin1String("results")).toArray();

    const QPair<QStringList, int> directory = UserData::getLdapGroups();
    if (directory.second != 0)
        return false;

    const State& s = state();
    const AdGroupPlan plan = AdGroupPlan::build(groups, s.domainId, s.adUserId, directory.first);
    for (const AdGroupPlan::Change& change : plan.changes) {
        if (!changeUsersToGroup(change.groupId, change.name, change.users))
            return false;
    }
    bool created = true;
    for (const QString& name : plan.creations) {
        if (!addGroups(name))
            created = false;
    }
    return created;
}

bool RestAD::addGroups(const QString& name)
{
    if (!preparation())
        return false;
    const State& s = state();
    QByteArray body;
    return exchange("addGroups", "POST", adUrl(QStringLiteral("/ad_groups/")),
                    groupBody(name, s.domainId, QJsonArray{s.adUserId}), body);
}

bool RestAD::changeUsersToGroup(int groupId, const QString& name, const QJsonArray& users)
{
    if (!preparation())
        return false;
    QByteArray body;
    return exchange("changeUsersToGroup", "PATCH",
                    adUrl(QStringLiteral("/ad_groups/") + QString::number(groupId) + QLatin1Char('/')),
                    groupBody(name, state().domainId, users), body);
}

// ---- backend operations ----

ApiResult RestAD::getOperation(const char* name, const std::function<QUrl()>& address,
                               QJsonObject (*reduce)(const QJsonObject&))
{
    ApiResult result;
    if (!preparation())
        return result;
    const QUrl url = address();
    QNetworkRequest req = request(url, true);
    qCDebug(rest_ad).noquote() << QStringLiteral("REQUEST ") + QLatin1String(name) << BackendUrl::forLog(url);
    QNetworkReply* reply = getWait(req);
    result.error = reply->error();
    result.errorString = errorText(reply);
    qCDebug(rest_ad).noquote() << QStringLiteral("RESPONSE %1 CODE").arg(QLatin1String(name))
                               << getHttpStatusCode(reply);
    if (reply->error() != QNetworkReply::NoError) {
        qCCritical(rest_ad).noquote() << QStringLiteral("ERROR ") + QLatin1String(name) << result.errorString;
    } else {
        const QByteArray body = readBody(reply);
        qCDebug(rest_ad).noquote() << QStringLiteral("RESPONSE %1:").arg(QLatin1String(name))
                                   << bodyForLog(body);
        result.data = reduce(AnswerParser::object(body));
    }
    reply->deleteLater();
    return result;
}

ApiResult RestAD::getVersion(const QString& tag)
{
    return getOperation(
        "getVersion", [&tag] { return BackendUrl::version(ConstData::getHome(), tag); },
        &AnswerParser::version);
}

ApiResult RestAD::getFilteringStatus()
{
    return getOperation(
        "getFilteringStatus", [] { return BackendUrl::filterStatus(ConstData::getHome(), state().userId); },
        &AnswerParser::filteringStatus);
}

ApiResult RestAD::getIp()
{
    return getOperation(
        "getIp", [] { return BackendUrl::ip(ConstData::getHome()); }, &AnswerParser::ip);
}

ApiResult RestAD::getUserInfo()
{
    return getOperation(
        "getUserInfo", [] { return BackendUrl::userInfo(ConstData::getHome(), state().userId); },
        &AnswerParser::userInfo);
}

ApiResult RestAD::getCertificates()
{
    return getOperation(
        "getCertificates", [] { return BackendUrl::certificates(ConstData::getHome()); },
        &AnswerParser::certificates);
}

ApiResult RestAD::checkAuth(const QString& credentials)
{
    qCDebug(rest_ad) << "checkAuth";
    UserData::setAuthToken(credentials);
    ApiResult result;
    result.data.insert(QStringLiteral("result"), preparation());
    return result;
}

ApiResult RestAD::checkUid()
{
    return ApiResult();
}

ApiResult RestAD::getUid()
{
    return ApiResult();
}

ApiResult RestAD::setProfile(const unsigned int& profileId)
{
    Q_UNUSED(profileId)
    return ApiResult();
}

ApiResult RestAD::removeAgentProfile()
{
    return ApiResult();
}

ApiResult RestAD::getProfiles()
{
    ApiResult result;
    if (!preparation() || state().adUserId == -1)
        return result;
    const QUrl url =
        adUrl(QStringLiteral("/ad_users/") + QString::number(state().adUserId) + QStringLiteral("/profile/"));
    QNetworkRequest req = request(url, true);
    qCDebug(rest_ad).noquote() << "REQUEST getProfiles" << BackendUrl::forLog(url);
    QNetworkReply* reply = getWait(req);
    result.error = reply->error();
    result.errorString = errorText(reply);
    qCDebug(rest_ad) << "RESPONSE getProfiles CODE" << getHttpStatusCode(reply);
    if (reply->error() != QNetworkReply::NoError) {
        qCCritical(rest_ad).noquote() << "ERROR getProfiles" << result.errorString;
    } else {
        const QByteArray body = readBody(reply);
        qCDebug(rest_ad).noquote() << "RESPONSE getProfiles:" << bodyForLog(body);
        const QJsonObject answer = AnswerParser::object(body);
        result.data.insert(QStringLiteral("result"), QJsonArray{answer});
        int id = 0;
        if (wholeNumber(answer.value(QLatin1String("id")), id) && id >= 0)
            UserData::saveProfileId(static_cast<quint32>(id));
    }
    reply->deleteLater();
    return result;
}

ApiResult RestAD::sendDebugInfo(const QString& debugInfo)
{
    ApiResult result;
    if (!preparation() || state().adUserId == -1)
        return result;
    const QJsonArray entries = QJsonDocument::fromJson(debugInfo.toUtf8()).array();
    const QUrl url = adUrl(QStringLiteral("/ad_users/") + QString::number(state().adUserId) +
                           QStringLiteral("/send_debug_info/"));
    for (const QJsonValue& entry : entries) {
        if (!entry.isObject())
            continue;
        const QByteArray body = QJsonDocument(entry.toObject()).toJson(QJsonDocument::Compact);
        QNetworkRequest req = request(url, true);
        qCDebug(rest_ad).noquote() << "REQUEST sendDebugInfo" << BackendUrl::forLog(url);
        QNetworkReply* reply = postWait(req, body);
        result.error = reply->error();
        result.errorString = errorText(reply);
        qCDebug(rest_ad) << "RESPONSE sendDebugInfo CODE" << getHttpStatusCode(reply);
        if (reply->error() != QNetworkReply::NoError) {
            qCCritical(rest_ad).noquote() << "ERROR sendDebugInfo" << result.errorString;
            result.data = QJsonObject();
        } else {
            const QByteArray answer = readBody(reply);
            qCDebug(rest_ad).noquote() << "RESPONSE sendDebugInfo:" << bodyForLog(answer);
            result.data = QJsonObject{{QStringLiteral("result"), answer.isEmpty() ? 1 : 0}};
        }
        reply->deleteLater();
    }
    return result;
}
