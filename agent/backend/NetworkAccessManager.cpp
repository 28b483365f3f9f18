#include "backend/NetworkAccessManager.h"

#include "backend/INetwork.h"
#include "backend/Jrpc.h"
#include "backend/RestLocal.h"
#include "settings/ConstData.h"
#include "settings/SettingsLogging.h"
#include "settings/UserData.h"

#include <QMutex>
#include <QMutexLocker>

#ifndef CORVANE_BACKEND_JRPC_DEFAULT
#define CORVANE_BACKEND_JRPC_DEFAULT 0
#endif

namespace {

QMutex factoryMutex;
NetworkAccessManager::Factory& directoryFactory()
{
    static NetworkAccessManager::Factory factory;
    return factory;
}

} // namespace

bool NetworkAccessManager::jrpcByDefault()
{
    return CORVANE_BACKEND_JRPC_DEFAULT != 0;
}

NetworkAccessManager::Binding NetworkAccessManager::chooseBinding(int workingMode, bool noAdWork,
                                                                  const QString& backendSetting,
                                                                  bool jrpcDefault)
{
    if (workingMode == 2 && !noAdWork)
        return Binding::Directory;
    const QString setting = backendSetting.trimmed().toLower();
    if (setting == QLatin1String("jrpc"))
        return Binding::Jrpc;
    if (setting == QLatin1String("rest"))
        return Binding::Rest;
    return jrpcDefault ? Binding::Jrpc : Binding::Rest;
}

void NetworkAccessManager::setDirectoryFactory(Factory factory)
{
    QMutexLocker lock(&factoryMutex);
    directoryFactory() = std::move(factory);
}

NetworkAccessManager::NetworkAccessManager(QObject* parent) : QObject(parent)
{
    const Binding binding = chooseBinding(ConstData::getWorkingMode().first, UserData::getNoAdWork(),
                                          UserData::getBackendBinding(), jrpcByDefault());
    if (binding == Binding::Directory) {
        Factory factory;
        {
            QMutexLocker lock(&factoryMutex);
            factory = directoryFactory();
        }
        if (factory)
            implementation = factory(this);
        if (implementation == nullptr)
            qCCritical(network) << "directory mode without its backend binding; using REST";
    } else if (binding == Binding::Jrpc) {
        implementation = new Jrpc(this);
    }
    if (implementation == nullptr)
        implementation = new RestLocal(this);
}

NetworkAccessManager::~NetworkAccessManager() = default;

ApiResult NetworkAccessManager::getFilteringStatus()
{
    return implementation->getFilteringStatus();
}

ApiResult NetworkAccessManager::getCertificates()
{
    return implementation->getCertificates();
}

ApiResult NetworkAccessManager::getVersion(const QString& tag)
{
    return implementation->getVersion(tag);
}

ApiResult NetworkAccessManager::checkAuth(const QString& credentials)
{
    return implementation->checkAuth(credentials);
}

ApiResult NetworkAccessManager::checkUid()
{
    return implementation->checkUid();
}

ApiResult NetworkAccessManager::getUid()
{
    return implementation->getUid();
}

ApiResult NetworkAccessManager::setProfile(const unsigned int& profileId)
{
    return implementation->setProfile(profileId);
}

ApiResult NetworkAccessManager::getIp()
{
    return implementation->getIp();
}

ApiResult NetworkAccessManager::getUserInfo()
{
    return implementation->getUserInfo();
}

ApiResult NetworkAccessManager::getProfiles()
{
    return implementation->getProfiles();
}

ApiResult NetworkAccessManager::sendDebugInfo(const QString& debugInfo)
{
    return implementation->sendDebugInfo(debugInfo);
}

ApiResult NetworkAccessManager::removeAgentProfile()
{
    return implementation->removeAgentProfile();
}

void NetworkAccessManager::newUser()
{
    implementation->newUser();
}

QNetworkReply* NetworkAccessManager::get(QNetworkRequest& request)
{
    return implementation->get(request);
}
