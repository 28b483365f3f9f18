#include "devservice/BackendApi.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>

namespace {
const QString notFound = QStringLiteral("Not found.");

bool parseJsonObject(const QByteArray& body, QJsonObject& object, HttpResponse& refusal)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError) {
        refusal = HttpResponse::detail(400, QStringLiteral("JSON parse error - ") + error.errorString());
        return false;
    }
    if (!doc.isObject()) {
        refusal = HttpResponse::detail(400, QStringLiteral("Invalid data. Expected a dictionary."));
        return false;
    }
    object = doc.object();
    return true;
}

HttpResponse fieldRequired(const QString& field)
{
    return HttpResponse::json(400,
                              QJsonObject{{field, QJsonArray{QStringLiteral("This field is required.")}}});
}

HttpResponse methodNotAllowed(const QByteArray& method)
{
    return HttpResponse::detail(
        405, QStringLiteral("Method \"%1\" not allowed.").arg(QString::fromLatin1(method)));
}

bool toInt(const QString& text, int& value)
{
    bool ok = false;
    value = text.toInt(&ok);
    return ok && value >= 0;
}
} // namespace

BackendApi::BackendApi(const ServiceConfig& config, AccountStore& store)
    : m_config(config), m_store(store), m_tokens(config.tokenSecret.toUtf8(), config.urlSafeTokens),
      m_jsonRpc(*this, store)
{
}

void BackendApi::addDebugReport(const QJsonObject& report)
{
    m_debugReports.append(report);
    while (m_debugReports.size() > 50) {
        m_debugReports.removeFirst();
    }
}

qint64 BackendApi::accessLifetime(bool expired) const
{
    return expired ? -60 : m_config.accessLifetimeSecs;
}

QStringList BackendApi::certificateUrls() const
{
    QStringList urls;
    for (const QString& file : m_config.certificateFiles) {
        urls.append(QStringLiteral("https://") + m_config.wwwHost() + QStringLiteral("/certs/") + file);
    }
    return urls;
}

qint64 BackendApi::versionNumber(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 3) {
        return 0;
    }
    return parts[0].toLongLong() * 100000000 + parts[1].toLongLong() * 10000 + parts[2].toLongLong();
}

QJsonObject BackendApi::versionObject(const QString& tag) const
{
    for (const ServiceConfig::Version& version : m_config.versions) {
        if (version.tag == tag) {
            return QJsonObject{{QStringLiteral("version"), versionNumber(version.version)},
                               {QStringLiteral("url"), version.url}};
        }
    }
    return QJsonObject();
}

BackendApi::Auth BackendApi::authenticate(const HttpRequest& request, qint64 now) const
{
    Auth auth;
    const QByteArray header = request.header("authorization");
    if (header.isEmpty()) {
        auth.refusal =
            HttpResponse::detail(401, QStringLiteral("Authentication credentials were not provided."));
        auth.refusal.setHeader("WWW-Authenticate", "Bearer realm=\"api\"");
        return auth;
    }
    if (!header.startsWith("Bearer ")) {
        auth.refusal = HttpResponse::detail(
            401, QStringLiteral("Authorization header must contain two space-delimited values"));
        return auth;
    }
    const TokenIssuer::Check check =
        m_tokens.verify(QString::fromLatin1(header.mid(7).trimmed()), QStringLiteral("access"), now);
    if (!check.ok) {
        auth.refusal = HttpResponse::json(
            401, QJsonObject{
                     {QStringLiteral("detail"), QStringLiteral("Given token not valid for any token type")},
                     {QStringLiteral("code"), QStringLiteral("token_not_valid")},
                     {QStringLiteral("messages"),
                      QJsonArray{QJsonObject{{QStringLiteral("token_class"), QStringLiteral("AccessToken")},
                                             {QStringLiteral("message"), check.error}}}}});
        return auth;
    }
    auth.account = m_store.accountById(check.userId);
    if (auth.account == nullptr) {
        auth.refusal = HttpResponse::detail(401, QStringLiteral("User not found"));
        return auth;
    }
    auth.userId = check.userId;
    return auth;
}

HttpResponse BackendApi::handle(const HttpRequest& request, qint64 now, bool expiredTokens)
{
    const QStringList segments = request.path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    const QString joined = segments.join(QLatin1Char('/'));

    if (joined == QLatin1String("api/token/by-password")) {
        return request.method == "POST" ? tokenByPassword(request, now, expiredTokens)
                                        : methodNotAllowed(request.method);
    }
    if (joined == QLatin1String("api/token/refresh")) {
        return request.method == "POST" ? tokenRefresh(request, now, expiredTokens)
                                        : methodNotAllowed(request.method);
    }
    if (segments.size() == 4 && joined.startsWith(QLatin1String("api/token/by-ad-key/"))) {
        return request.method == "GET" ? tokenByAdKey(segments[3], now, expiredTokens)
                                       : methodNotAllowed(request.method);
    }
    if (joined == QLatin1String("api/json/v2")) {
        return request.method == "POST" ? m_jsonRpc.handle(request) : methodNotAllowed(request.method);
    }
    if (joined == QLatin1String("agents/rest_api/v1/distribution_supporting")) {
        if (request.method != "GET") {
            return methodNotAllowed(request.method);
        }
        const QString tag = request.query.queryItemValue(QStringLiteral("tag"), QUrl::FullyDecoded);
        const QJsonObject current = versionObject(tag);
        if (current.isEmpty()) {
            return HttpResponse::detail(404, notFound);
        }
        return HttpResponse::json(
            200, QJsonObject{{QStringLiteral("tag"), tag}, {QStringLiteral("current"), current}});
    }
    if (segments.size() == 2 && segments[0] == QLatin1String("certs")) {
        return request.method == "GET" || request.method == "HEAD" ? certificateFile(segments[1])
                                                                   : methodNotAllowed(request.method);
    }
    if (segments.size() == 2 && segments[0] == QLatin1String("downloads")) {
        return HttpResponse::raw(200, "application/octet-stream",
                                 "Corvane Agent development build placeholder: " + segments[1].toUtf8() +
                                     '\n');
    }
    if (joined.startsWith(QLatin1String("agents/rest_api/v1/ssl_certificate/")) && segments.size() == 5) {
        if (request.method != "GET") {
            return methodNotAllowed(request.method);
        }
        return HttpResponse::json(
            200, QJsonObject{{QStringLiteral("url"), certificateUrls().join(QLatin1Char(';'))},
                             {QStringLiteral("expires"), m_config.certificatesExpire}});
    }
    if (joined == QLatin1String("cabinet/rest_api/v1/ip")) {
        const Auth auth = authenticate(request, now);
        if (auth.account == nullptr) {
            return auth.refusal;
        }
        return HttpResponse::json(200, QJsonObject{{QStringLiteral("ip"), request.peer}});
    }
    return userScoped(request, segments, now);
}

HttpResponse BackendApi::tokenByPassword(const HttpRequest& request, qint64 now, bool expired)
{
    QJsonObject body;
    HttpResponse refusal;
    if (!parseJsonObject(request.body, body, refusal)) {
        return refusal;
    }
    if (!body.value(QLatin1String("username")).isString()) {
        return fieldRequired(QStringLiteral("username"));
    }
    if (!body.value(QLatin1String("password")).isString()) {
        return fieldRequired(QStringLiteral("password"));
    }
    const AccountStore::Account* account = m_store.accountByLogin(
        body.value(QLatin1String("username")).toString(), body.value(QLatin1String("password")).toString());
    if (account == nullptr) {
        return HttpResponse::detail(401,
                                    QStringLiteral("No active account found with the given credentials"));
    }
    const TokenIssuer::Pair pair =
        m_tokens.issuePair(account->id, now, accessLifetime(expired), m_config.refreshLifetimeSecs);
    return HttpResponse::json(
        200, QJsonObject{{QStringLiteral("refresh"), pair.refresh}, {QStringLiteral("access"), pair.access}});
}

HttpResponse BackendApi::tokenRefresh(const HttpRequest& request, qint64 now, bool expired)
{
    QJsonObject body;
    HttpResponse refusal;
    if (!parseJsonObject(request.body, body, refusal)) {
        return refusal;
    }
    if (!body.value(QLatin1String("refresh")).isString()) {
        return fieldRequired(QStringLiteral("refresh"));
    }
    const TokenIssuer::Check check =
        m_tokens.verify(body.value(QLatin1String("refresh")).toString(), QStringLiteral("refresh"), now);
    if (!check.ok || m_store.accountById(check.userId) == nullptr) {
        return HttpResponse::json(
            401, QJsonObject{{QStringLiteral("detail"), QStringLiteral("Token is invalid or expired")},
                             {QStringLiteral("code"), QStringLiteral("token_not_valid")}});
    }
    // Refresh tokens rotate: each refresh hands out a new pair.
    const TokenIssuer::Pair pair =
        m_tokens.issuePair(check.userId, now, accessLifetime(expired), m_config.refreshLifetimeSecs);
    return HttpResponse::json(
        200, QJsonObject{{QStringLiteral("access"), pair.access}, {QStringLiteral("refresh"), pair.refresh}});
}

HttpResponse BackendApi::tokenByAdKey(const QString& key, qint64 now, bool expired)
{
    const AccountStore::Account* account = m_store.accountByAdKey(key);
    if (account == nullptr) {
        return HttpResponse::detail(401, QStringLiteral("Invalid access key."));
    }
    const TokenIssuer::Pair pair =
        m_tokens.issuePair(account->id, now, accessLifetime(expired), m_config.refreshLifetimeSecs);
    return HttpResponse::json(
        200, QJsonObject{{QStringLiteral("refresh"), pair.refresh}, {QStringLiteral("access"), pair.access}});
}

HttpResponse BackendApi::userScoped(const HttpRequest& request, const QStringList& segments, qint64 now)
{
    // <prefix>/rest_api/v1/users/<user id>/...
    int prefix = -1;
    if (segments.size() >= 4 && segments[0] == QLatin1String("rest_api") &&
        segments[1] == QLatin1String("v1") && segments[2] == QLatin1String("users")) {
        prefix = 0;
    } else if (segments.size() >= 5 && segments[1] == QLatin1String("rest_api") &&
               segments[2] == QLatin1String("v1") && segments[3] == QLatin1String("users")) {
        prefix = 1;
    }
    if (prefix < 0) {
        return HttpResponse::detail(404, notFound);
    }
    const QString area = prefix == 0 ? QString() : segments[0];
    static const QStringList areas{QString(), QStringLiteral("agents"), QStringLiteral("auth"),
                                   QStringLiteral("cabinet"), QStringLiteral("ad")};
    int userId = -1;
    if (!areas.contains(area) || !toInt(segments[prefix + 3], userId)) {
        return HttpResponse::detail(404, notFound);
    }
    const QStringList rest = segments.mid(prefix + 4);
    const Auth auth = authenticate(request, now);
    if (auth.account == nullptr) {
        return auth.refusal;
    }
    if (auth.userId != userId) {
        return HttpResponse::detail(403,
                                    QStringLiteral("You do not have permission to perform this action."));
    }
    const AccountStore::Account& account = *auth.account;

    if (area.isEmpty() && rest == QStringList{QStringLiteral("filter_status")}) {
        if (request.method != "GET") {
            return methodNotAllowed(request.method);
        }
        return HttpResponse::json(200, QJsonObject{{QStringLiteral("status"), account.filterStatus}});
    }
    if (area == QLatin1String("auth") && rest.isEmpty()) {
        if (request.method != "GET") {
            return methodNotAllowed(request.method);
        }
        return HttpResponse::json(200, QJsonObject{{QStringLiteral("id"), account.id},
                                                   {QStringLiteral("username"), account.username},
                                                   {QStringLiteral("email"), account.email},
                                                   {QStringLiteral("plan"),
                                                    QJsonObject{{QStringLiteral("name"), account.planName}}},
                                                   {QStringLiteral("date_end"), account.dateEnd}});
    }
    if (area == QLatin1String("cabinet") && rest == QStringList{QStringLiteral("profiles")}) {
        if (request.method != "GET") {
            return methodNotAllowed(request.method);
        }
        QJsonArray results;
        for (const AccountStore::Profile& profile : m_store.profilesOf(account.id)) {
            results.append(
                QJsonObject{{QStringLiteral("id"), profile.id}, {QStringLiteral("name"), profile.name}});
        }
        return HttpResponse::json(200, QJsonObject{{QStringLiteral("count"), results.size()},
                                                   {QStringLiteral("next"), QJsonValue::Null},
                                                   {QStringLiteral("previous"), QJsonValue::Null},
                                                   {QStringLiteral("results"), results}});
    }
    if (area == QLatin1String("agents") && !rest.isEmpty() && rest[0] == QLatin1String("agentinfo")) {
        if (rest.size() == 1) {
            if (request.method != "POST") {
                return methodNotAllowed(request.method);
            }
            QJsonObject body;
            HttpResponse refusal;
            if (!parseJsonObject(request.body, body, refusal)) {
                return refusal;
            }
            const AccountStore::Machine machine =
                m_store.registerMachine(account.id, body.value(QLatin1String("hostname")).toString(),
                                        body.value(QLatin1String("version")).toString(),
                                        body.value(QLatin1String("os_info")).toString(),
                                        body.value(QLatin1String("agent_type")).toString());
            return HttpResponse::json(201, AccountStore::machineJson(machine));
        }
        if (rest.size() != 2) {
            return HttpResponse::detail(404, notFound);
        }
        const QString uid = rest[1];
        const AccountStore::Machine* machine = m_store.machine(account.id, uid);
        if (machine == nullptr) {
            return HttpResponse::detail(404, notFound);
        }
        if (request.method == "GET") {
            return HttpResponse::json(200, AccountStore::machineJson(*machine));
        }
        if (request.method == "DELETE") {
            m_store.removeMachine(account.id, uid);
            return HttpResponse::json(200, QJsonObject{{QStringLiteral("result"), 1}});
        }
        if (request.method == "PATCH" || request.method == "PUT") {
            QJsonObject body;
            HttpResponse refusal;
            if (!parseJsonObject(request.body, body, refusal)) {
                return refusal;
            }
            const QJsonValue profile = body.value(QLatin1String("profile"));
            if (!profile.isDouble() || profile.toDouble() != static_cast<double>(profile.toInt())) {
                return HttpResponse::json(
                    400, QJsonObject{{QStringLiteral("profile"),
                                      QJsonArray{QStringLiteral("A valid integer is required.")}}});
            }
            if (!m_store.setMachineProfile(account.id, uid, profile.toInt())) {
                return HttpResponse::json(
                    400, QJsonObject{{QStringLiteral("profile"),
                                      QJsonArray{QStringLiteral("Invalid pk \"%1\" - object does not exist.")
                                                     .arg(profile.toInt())}}});
            }
            return HttpResponse::json(200, AccountStore::machineJson(*m_store.machine(account.id, uid)));
        }
        return methodNotAllowed(request.method);
    }
    if (area == QLatin1String("ad")) {
        return adScoped(request, account, rest);
    }
    return HttpResponse::detail(404, notFound);
}

HttpResponse BackendApi::adScoped(const HttpRequest& request, const AccountStore::Account& account,
                                  const QStringList& rest)
{
    if (rest == QStringList{QStringLiteral("agent_domains")}) {
        if (request.method == "GET") {
            QJsonArray results;
            for (const AccountStore::AdDomain& domain : m_store.domainsOf(account.id)) {
                results.append(
                    QJsonObject{{QStringLiteral("id"), domain.id}, {QStringLiteral("name"), domain.name}});
            }
            return HttpResponse::json(200, QJsonObject{{QStringLiteral("count"), results.size()},
                                                       {QStringLiteral("results"), results}});
        }
        if (request.method == "POST") {
            QJsonObject body;
            HttpResponse refusal;
            if (!parseJsonObject(request.body, body, refusal)) {
                return refusal;
            }
            const QString name = body.value(QLatin1String("name")).toString();
            if (name.isEmpty()) {
                return fieldRequired(QStringLiteral("name"));
            }
            const AccountStore::AdDomain domain = m_store.addDomain(account.id, name);
            return HttpResponse::json(
                201, QJsonObject{{QStringLiteral("id"), domain.id}, {QStringLiteral("name"), domain.name}});
        }
        return methodNotAllowed(request.method);
    }
    if (rest == QStringList{QStringLiteral("ad_users"), QStringLiteral("register")}) {
        if (request.method != "POST") {
            return methodNotAllowed(request.method);
        }
        QJsonObject body;
        HttpResponse refusal;
        if (!parseJsonObject(request.body, body, refusal)) {
            return refusal;
        }
        const QString name = body.value(QLatin1String("name")).toString();
        const QString domainName = body.value(QLatin1String("domain_name")).toString();
        if (name.isEmpty()) {
            return fieldRequired(QStringLiteral("name"));
        }
        if (domainName.isEmpty()) {
            return fieldRequired(QStringLiteral("domain_name"));
        }
        const AccountStore::AdUser user = m_store.registerAdUser(
            account.id, name, domainName, body.value(QLatin1String("hostname")).toString(),
            body.value(QLatin1String("os_info")).toString());
        return HttpResponse::json(201, AccountStore::adUserJson(user));
    }
    if (rest.size() == 3 && rest[0] == QLatin1String("ad_users")) {
        int adUserId = -1;
        const AccountStore::AdUser* user =
            toInt(rest[1], adUserId) ? m_store.adUser(account.id, adUserId) : nullptr;
        if (user == nullptr) {
            return HttpResponse::detail(404, notFound);
        }
        if (rest[2] == QLatin1String("profile")) {
            if (request.method != "GET") {
                return methodNotAllowed(request.method);
            }
            const AccountStore::Profile* profile = m_store.profile(user->profileId);
            if (profile == nullptr) {
                return HttpResponse::detail(404, notFound);
            }
            return HttpResponse::json(200, QJsonObject{{QStringLiteral("id"), profile->id},
                                                       {QStringLiteral("name"), profile->name}});
        }
        if (rest[2] == QLatin1String("send_debug_info")) {
            if (request.method != "POST") {
                return methodNotAllowed(request.method);
            }
            QJsonObject body;
            HttpResponse refusal;
            if (!parseJsonObject(request.body, body, refusal)) {
                return refusal;
            }
            addDebugReport(QJsonObject{{QStringLiteral("account"), account.id},
                                       {QStringLiteral("ad_user"), adUserId},
                                       {QStringLiteral("entry"), body}});
            // The agent counts an empty answer body as confirmation.
            return HttpResponse::raw(201, QByteArray(), QByteArray());
        }
        return HttpResponse::detail(404, notFound);
    }
    if (!rest.isEmpty() && rest[0] == QLatin1String("ad_groups") && rest.size() <= 2) {
        if (rest.size() == 1 && request.method == "GET") {
            QJsonArray results;
            for (const AccountStore::AdGroup& group : m_store.groupsOf(account.id)) {
                results.append(AccountStore::groupJson(group));
            }
            return HttpResponse::json(200, QJsonObject{{QStringLiteral("count"), results.size()},
                                                       {QStringLiteral("results"), results}});
        }
        const bool create = rest.size() == 1 && request.method == "POST";
        const bool update = rest.size() == 2 && (request.method == "PATCH" || request.method == "PUT");
        if (!create && !update) {
            return methodNotAllowed(request.method);
        }
        QJsonObject body;
        HttpResponse refusal;
        if (!parseJsonObject(request.body, body, refusal)) {
            return refusal;
        }
        const QString name = body.value(QLatin1String("name")).toString();
        if (name.isEmpty()) {
            return fieldRequired(QStringLiteral("name"));
        }
        if (!body.value(QLatin1String("domain")).isDouble()) {
            return fieldRequired(QStringLiteral("domain"));
        }
        QList<int> users;
        for (const QJsonValue& value : body.value(QLatin1String("ad_users")).toArray()) {
            if (!value.isDouble() || m_store.adUser(account.id, value.toInt()) == nullptr) {
                return HttpResponse::json(
                    400, QJsonObject{{QStringLiteral("ad_users"),
                                      QJsonArray{QStringLiteral("Invalid pk - object does not exist.")}}});
            }
            users.append(value.toInt());
        }
        const int domain = body.value(QLatin1String("domain")).toInt();
        if (create) {
            const AccountStore::AdGroup group =
                m_store.addGroup(account.id, name, domain, body.value(QLatin1String("parent")), users);
            return HttpResponse::json(201, AccountStore::groupJson(group));
        }
        int groupId = -1;
        if (!toInt(rest[1], groupId) || !m_store.updateGroup(account.id, groupId, name, domain,
                                                             body.value(QLatin1String("parent")), users)) {
            return HttpResponse::detail(404, notFound);
        }
        for (const AccountStore::AdGroup& group : m_store.groupsOf(account.id)) {
            if (group.id == groupId) {
                return HttpResponse::json(200, AccountStore::groupJson(group));
            }
        }
    }
    return HttpResponse::detail(404, notFound);
}

HttpResponse BackendApi::certificateFile(const QString& name) const
{
    static const QRegularExpression safeName(QStringLiteral("^[A-Za-z0-9._-]+$"));
    if (!m_config.certificateFiles.contains(name) || !safeName.match(name).hasMatch() ||
        m_config.tlsDir.isEmpty()) {
        return HttpResponse::detail(404, notFound);
    }
    QFile file(QDir(m_config.tlsDir).filePath(name));
    if (!file.open(QIODevice::ReadOnly)) {
        return HttpResponse::detail(404, notFound);
    }
    return HttpResponse::raw(200, "application/x-x509-ca-cert", file.read(1024 * 1024));
}
