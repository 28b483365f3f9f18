#pragma once

#include "devservice/AccountStore.h"
#include "devservice/HttpRequest.h"
#include "devservice/HttpResponse.h"
#include "devservice/JsonRpcDispatcher.h"
#include "devservice/ServiceConfig.h"
#include "devservice/TokenIssuer.h"

#include <QJsonArray>
#include <QStringList>

// The REST and JSON-RPC backend of the service, as pure request-to-response
// logic. Answers carry the keys the agent reads, the status codes and "detail"
// texts a real backend gives, 404 with a JSON "detail" for unknown paths, 400
// for bodies that are not the JSON expected and 401 for wrong credentials.
class BackendApi
{
public:
    BackendApi(const ServiceConfig& config, AccountStore& store);

    // expiredTokens: a fault rule asks for tokens that have already expired.
    HttpResponse handle(const HttpRequest& request, qint64 now, bool expiredTokens = false);

    const TokenIssuer& tokens() const { return m_tokens; }
    QJsonArray debugReports() const { return m_debugReports; }
    void addDebugReport(const QJsonObject& report);

    // Values shared by the REST and the JSON-RPC forms.
    QStringList certificateUrls() const;
    // {"version": integer major*100000000 + minor*10000 + patch, "url": ...}; empty for an unknown tag
    QJsonObject versionObject(const QString& tag) const;
    static qint64 versionNumber(const QString& text);

private:
    struct Auth
    {
        int userId = -1;
        const AccountStore::Account* account = nullptr;
        HttpResponse refusal;
    };

    Auth authenticate(const HttpRequest& request, qint64 now) const;
    HttpResponse tokenByPassword(const HttpRequest& request, qint64 now, bool expired);
    HttpResponse tokenRefresh(const HttpRequest& request, qint64 now, bool expired);
    HttpResponse tokenByAdKey(const QString& key, qint64 now, bool expired);
    HttpResponse userScoped(const HttpRequest& request, const QStringList& segments, qint64 now);
    HttpResponse adScoped(const HttpRequest& request, const AccountStore::Account& account,
                          const QStringList& rest);
    HttpResponse certificateFile(const QString& name) const;
    qint64 accessLifetime(bool expired) const;

    const ServiceConfig& m_config;
    AccountStore& m_store;
    TokenIssuer m_tokens;
    JsonRpcDispatcher m_jsonRpc;
    QJsonArray m_debugReports;
};
