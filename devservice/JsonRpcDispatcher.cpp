#include "devservice/JsonRpcDispatcher.h"

#include "devservice/BackendApi.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {
const QStringList credentialMethods{QStringLiteral("getFilteringStatus"), QStringLiteral("getLimitedProfile"),
                                    QStringLiteral("setProfile"),         QStringLiteral("userInfo"),
                                    QStringLiteral("profiles"),           QStringLiteral("sendDebugInfo"),
                                    QStringLiteral("removeAgentProfile")};
}

JsonRpcDispatcher::JsonRpcDispatcher(BackendApi& backend, AccountStore& store)
    : m_backend(backend), m_store(store)
{
}

bool JsonRpcDispatcher::needsCredentials(const QString& method)
{
    return credentialMethods.contains(method);
}

bool JsonRpcDispatcher::basicCredentials(const QByteArray& header, QString& login, QString& password)
{
    if (!header.startsWith("Basic ")) {
        return false;
    }
    const QByteArray decoded = QByteArray::fromBase64(header.mid(6).trimmed());
    const int colon = decoded.indexOf(':');
    if (colon < 0) {
        return false;
    }
    login = QString::fromUtf8(decoded.left(colon));
    password = QString::fromUtf8(decoded.mid(colon + 1));
    return true;
}

HttpResponse JsonRpcDispatcher::result(const QJsonValue& id, const QJsonValue& value) const
{
    return HttpResponse::json(200, QJsonObject{{QStringLiteral("id"), id},
                                               {QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                                               {QStringLiteral("result"), value}});
}

HttpResponse JsonRpcDispatcher::error(int httpStatus, const QJsonValue& id, int code,
                                      const QString& message) const
{
    HttpResponse response = HttpResponse::json(
        httpStatus,
        QJsonObject{{QStringLiteral("id"), id},
                    {QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                    {QStringLiteral("error"),
                     QJsonObject{{QStringLiteral("code"), code}, {QStringLiteral("message"), message}}}});
    if (httpStatus == 401) {
        response.setHeader("WWW-Authenticate", "Basic realm=\"corvane\"");
    }
    return response;
}

HttpResponse JsonRpcDispatcher::handle(const HttpRequest& request)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(request.body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject()) {
        return error(400, QJsonValue::Null, -32700, QStringLiteral("Parse error"));
    }
    const QJsonObject call = doc.object();
    const QJsonValue id = call.value(QLatin1String("id"));
    const QJsonValue methodValue = call.value(QLatin1String("method"));
    const QJsonValue paramsValue = call.value(QLatin1String("params"));
    if (call.value(QLatin1String("jsonrpc")).toString() != QLatin1String("2.0") || !methodValue.isString() ||
        !(paramsValue.isArray() || paramsValue.isUndefined())) {
        return error(400, id, -32600, QStringLiteral("Invalid Request"));
    }
    const QString method = methodValue.toString();
    const QJsonArray params = paramsValue.toArray();

    const AccountStore::Account* account = nullptr;
    if (needsCredentials(method)) {
        QString login;
        QString password;
        if (!basicCredentials(request.header("authorization"), login, password)) {
            return error(401, id, -32001, QStringLiteral("Authentication credentials were not provided."));
        }
        account = m_store.accountByLogin(login, password);
        if (account == nullptr) {
            return error(401, id, -32001, QStringLiteral("Invalid username/password."));
        }
    }
    const auto param = [&params](int index) { return params.at(index).toVariant().toString(); };

    if (method == QLatin1String("testAuth")) {
        return result(id, m_store.accountByLogin(param(0), param(1)) != nullptr);
    }
    if (method == QLatin1String("getSSLCertificatesDataV2")) {
        const QStringList urls = m_backend.certificateUrls();
        return result(id, QJsonObject{{QStringLiteral("certs"), QJsonArray::fromStringList(urls)},
                                      {QStringLiteral("url"), urls.join(QLatin1Char(';'))}});
    }
    if (method == QLatin1String("getLinuxSupporting")) {
        const QJsonObject current = m_backend.versionObject(param(0));
        if (current.isEmpty()) {
            return error(200, id, -32004, QStringLiteral("Not found."));
        }
        QJsonObject answer{{QStringLiteral("id"), id},
                           {QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                           {QStringLiteral("result"), QJsonObject{{QStringLiteral("tag"), param(0)},
                                                                  {QStringLiteral("current"), current}}}};
        // "current" is repeated beside "result" so that readers of either place find it.
        answer.insert(QStringLiteral("current"), current);
        return HttpResponse::json(200, answer);
    }
    if (method == QLatin1String("myip")) {
        return result(id, request.peer);
    }
    if (method == QLatin1String("getFilteringStatus")) {
        return result(id, account->filterStatus);
    }
    if (method == QLatin1String("userInfo")) {
        return result(id, QJsonObject{{QStringLiteral("username"), account->username},
                                      {QStringLiteral("email"), account->email},
                                      {QStringLiteral("plan"),
                                       QJsonObject{{QStringLiteral("name"), account->planName}}},
                                      {QStringLiteral("date_end"), account->dateEnd}});
    }
    if (method == QLatin1String("profiles")) {
        QJsonArray list;
        for (const AccountStore::Profile& profile : m_store.profilesOf(account->id)) {
            list.append(
                QJsonObject{{QStringLiteral("id"), profile.id}, {QStringLiteral("name"), profile.name}});
        }
        return result(id, list);
    }
    if (method == QLatin1String("getLimitedProfile")) {
        const QString uid = param(0);
        if (!uid.isEmpty()) {
            const AccountStore::Machine* machine = m_store.machine(account->id, uid);
            return result(id, machine == nullptr ? QJsonArray()
                                                 : QJsonArray{AccountStore::machineJson(*machine)});
        }
        const AccountStore::Machine machine =
            m_store.registerMachine(account->id, param(1), param(2), param(3), QStringLiteral("windows"));
        return result(id, QJsonArray{AccountStore::machineJson(machine)});
    }
    if (method == QLatin1String("setProfile")) {
        const int profileId = params.at(1).isDouble() ? params.at(1).toInt() : param(1).toInt();
        if (!m_store.setMachineProfile(account->id, param(0), profileId)) {
            return error(200, id, -32602, QStringLiteral("Invalid params: unknown machine or profile"));
        }
        return result(id,
                      QJsonObject{{QStringLiteral("uid"), param(0)}, {QStringLiteral("profile"), profileId}});
    }
    if (method == QLatin1String("removeAgentProfile")) {
        return result(id, m_store.removeMachine(account->id, param(0)) ? 1 : 0);
    }
    if (method == QLatin1String("sendDebugInfo")) {
        if (!params.at(1).isArray()) {
            return error(200, id, -32602,
                         QStringLiteral("Invalid params: the second parameter must be an array"));
        }
        m_backend.addDebugReport(QJsonObject{{QStringLiteral("account"), account->id},
                                             {QStringLiteral("uid"), param(0)},
                                             {QStringLiteral("entries"), params.at(1)}});
        return result(id, 1);
    }
    return error(200, id, -32601, QStringLiteral("Method not found"));
}
