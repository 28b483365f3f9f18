#pragma once

#include "backend/ApiResult.h"
#include "backend/Network.h"

#include <QString>

// The backend operations, one implementation per way of talking to the
// service (REST with a password, REST in directory mode, JSON-RPC).
class INetwork : public Network
{
    Q_OBJECT

public:
    explicit INetwork(QObject* parent = nullptr);

    QNetworkReply* get(QNetworkRequest& request) override;

    virtual ApiResult getFilteringStatus() = 0;
    virtual ApiResult getCertificates() = 0;
    virtual ApiResult getVersion(const QString& tag) = 0;
    // Login and password joined by ":" (REST), or the access key (directory mode).
    virtual ApiResult checkAuth(const QString& credentials) = 0;
    virtual ApiResult checkUid() = 0;
    virtual ApiResult getUid() = 0;
    virtual ApiResult setProfile(const unsigned int& profileId) = 0;
    virtual ApiResult getIp() = 0;
    virtual ApiResult getUserInfo() = 0;
    virtual ApiResult getProfiles() = 0;
    // `debugInfo` is the JSON array text of the debug report.
    virtual ApiResult sendDebugInfo(const QString& debugInfo) = 0;
    virtual ApiResult removeAgentProfile() = 0;
    // Forget the per-process sign-in state: the next operation signs in afresh.
    virtual void newUser() = 0;
};
