#pragma once

#include "backend/INetwork.h"

#include <QJsonArray>

// The backend operations as JSON-RPC 2.0 calls to the service's JSON-RPC
// address. Calls that need the account authenticate with the login and
// password held in memory (HTTP basic authentication). No state of its own.
class Jrpc : public INetwork
{
    Q_OBJECT

public:
    explicit Jrpc(QObject* parent = nullptr);

    ApiResult getFilteringStatus() override;
    ApiResult getCertificates() override;
    ApiResult getVersion(const QString& tag) override;
    // `credentials` is login and password joined by ":" (split at the first
    // colon, so a password may hold colons). Without a colon nothing is sent
    // and the verdict is false.
    ApiResult checkAuth(const QString& credentials) override;
    ApiResult checkUid() override;
    ApiResult getUid() override;
    ApiResult setProfile(const unsigned int& profileId) override;
    ApiResult getIp() override;
    ApiResult getUserInfo() override;
    ApiResult getProfiles() override;
    ApiResult sendDebugInfo(const QString& debugInfo) override;
    ApiResult removeAgentProfile() override;
    void newUser() override;

private:
    struct Call
    {
        const char* name; // operation name in the log lines
        QString method;   // JSON-RPC method
        QJsonArray params;
        bool credentials = false;                            // authenticate as the account
        const char* responseLine;                            // log text before the answer
        QByteArray bodyForLog;                               // when the body holds a secret
        QJsonObject (*reduce)(const QJsonObject&) = nullptr; // nullptr: the whole answer
    };
    ApiResult call(const Call& call);
};
