#pragma once

#include "backend/ApiResult.h"

#include <QObject>
#include <QString>

#include <functional>

class INetwork;
class QNetworkReply;
class QNetworkRequest;

// The one door to the backend. Built on the stack for one operation; its
// constructor picks the implementation for this machine:
// - directory (AD) mode: the directory binding;
// - otherwise REST with a password, or JSON-RPC when selected: the setting
//   CONTROL/BACKEND ("jrpc" or "rest") decides, and when it is absent or holds
//   anything else the build's default does (CMake option CORVANE_BACKEND_JRPC).
class NetworkAccessManager : public QObject
{
    Q_OBJECT

public:
    enum class Binding
    {
        Rest,
        Directory,
        Jrpc
    };
    using Factory = std::function<INetwork*(QObject* parent)>;

    explicit NetworkAccessManager(QObject* parent = nullptr);
    ~NetworkAccessManager() override;

    ApiResult getFilteringStatus();
    ApiResult getCertificates();
    ApiResult getVersion(const QString& tag);
    ApiResult checkAuth(const QString& credentials);
    ApiResult checkUid();
    ApiResult getUid();
    ApiResult setProfile(const unsigned int& profileId);
    ApiResult getIp();
    ApiResult getUserInfo();
    ApiResult getProfiles();
    ApiResult sendDebugInfo(const QString& debugInfo);
    ApiResult removeAgentProfile();
    void newUser();
    // Starts the request and returns the running reply without waiting.
    QNetworkReply* get(QNetworkRequest& request);

    INetwork* getImplementation() const { return implementation; }

    // The choice itself, without settings or machine.
    static Binding chooseBinding(int workingMode, bool noAdWork, const QString& backendSetting,
                                 bool jrpcByDefault);
    static bool jrpcByDefault();
    // The directory binding registers its constructor here.
    static void setDirectoryFactory(Factory factory);

private:
    INetwork* implementation = nullptr;
};
