#pragma once

#include "devservice/AccountStore.h"
#include "devservice/HttpRequest.h"
#include "devservice/HttpResponse.h"

#include <QJsonArray>
#include <QJsonValue>

class BackendApi;

// The JSON-RPC 2.0 endpoint: one call per POST body. Methods that touch an
// account need HTTP Basic authentication with the account's login and password.
class JsonRpcDispatcher
{
public:
    JsonRpcDispatcher(BackendApi& backend, AccountStore& store);

    HttpResponse handle(const HttpRequest& request);

    static bool needsCredentials(const QString& method);
    // Login and password from an "Authorization: Basic ..." header; false when absent or malformed.
    static bool basicCredentials(const QByteArray& header, QString& login, QString& password);

private:
    HttpResponse result(const QJsonValue& id, const QJsonValue& value) const;
    HttpResponse error(int httpStatus, const QJsonValue& id, int code, const QString& message) const;

    BackendApi& m_backend;
    AccountStore& m_store;
};
