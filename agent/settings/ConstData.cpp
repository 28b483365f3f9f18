#include "settings/ConstData.h"

#include "platform/MachineInfo.h"
#include "platform/Platform.h"
#include "settings/SettingsLogging.h"
#include "settings/UserData.h"

#include <QCoreApplication>

#include <mutex>

#ifndef CORVANE_SERVICE_DOMAIN
#define CORVANE_SERVICE_DOMAIN "corvane.test"
#endif
#ifndef CORVANE_RESOLVER_V4
#define CORVANE_RESOLVER_V4 "127.53.0.1"
#endif
#ifndef CORVANE_RESOLVER_V6
#define CORVANE_RESOLVER_V6 "fd00:53::1"
#endif
#ifndef CORVANE_SUPPORT_EMAIL
#define CORVANE_SUPPORT_EMAIL "support@corvane.test"
#endif

namespace {
std::mutex workingModeMutex;
int workingMode = 0;
QString workingDomain;
} // namespace

QString ConstData::getVersion()
{
    return QStringLiteral("4.0.0");
}

QString ConstData::getKeyGuard()
{
    return QStringLiteral("Qw7zR2mK9pLx4Tn8Vb3Y");
}

QString ConstData::getOrgName()
{
    return QStringLiteral("Corvane");
}

QString ConstData::getAppName()
{
    return QStringLiteral("Corvane Agent");
}

QString ConstData::getAddrFileDns()
{
    return QStringLiteral(
        "\\HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\:"
        "\\HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tcpip6\\Parameters\\Interfaces\\");
}

QString ConstData::getDnsIpV4()
{
    return QStringLiteral(CORVANE_RESOLVER_V4);
}

QString ConstData::getDnsIpV6()
{
    return QStringLiteral(CORVANE_RESOLVER_V6);
}

QString ConstData::getDomainName()
{
    return QStringLiteral(CORVANE_SERVICE_DOMAIN);
}

QString ConstData::getSupportEmail()
{
    return QStringLiteral(CORVANE_SUPPORT_EMAIL);
}

quint16 ConstData::getPortTcpOfAgent()
{
    return portTcpOfAgent;
}

quint16 ConstData::getPortDns()
{
    return 53;
}

quint16 ConstData::getPortHttp()
{
    return 13107;
}

QString ConstData::getLocalHostV4()
{
    return QStringLiteral("127.0.0.1");
}

QString ConstData::getLocalHostV6()
{
    return QStringLiteral("::1");
}

QString ConstData::getDirForCrt()
{
    return QCoreApplication::applicationDirPath();
}

QString ConstData::getAddressConf()
{
    return QStringLiteral("\\HKEY_USERS\\.DEFAULT\\Software\\") + getOrgName() + QLatin1Char('\\') +
           getAppName();
}

QString ConstData::getHome()
{
    return QStringLiteral("https://www.") + UserData::getDomainName();
}

QString ConstData::getUrlApiJrpc()
{
    return QStringLiteral("https://www.") + UserData::getDomainName() + QStringLiteral("/api/json/v2");
}

QPair<int, QString> ConstData::getWorkingMode()
{
    std::lock_guard<std::mutex> lock(workingModeMutex);
    qCDebug(const_data) << "getWorkingMode" << workingMode << workingDomain;
    if (workingMode == 0) {
        workingMode = 1;
        QString domain;
        if (Platform::machineInfo().domainDnsName(domain)) {
            workingDomain = domain;
            if (!domain.isEmpty()) {
                workingMode = 2;
                qCInfo(const_data) << "AD is activing, domain:" << domain;
            } else {
                qCInfo(const_data) << "AD isn't activing";
            }
        }
    }
    return qMakePair(workingMode, workingDomain);
}

void ConstData::resetWorkingMode()
{
    std::lock_guard<std::mutex> lock(workingModeMutex);
    workingMode = 0;
    workingDomain.clear();
}

QString ConstData::productNameForBuild(const QString& productName, quint32 buildNumber)
{
    QString name = productName;
    if (buildNumber > 21999)
        name.replace(QLatin1String("10"), QLatin1String("11"));
    return name;
}

QString ConstData::getOS()
{
    MachineInfo& machine = Platform::machineInfo();
    return productNameForBuild(machine.productName(), machine.buildNumber());
}
