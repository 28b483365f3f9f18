#pragma once

#include <QPair>
#include <QString>

// Fixed values of the agent and a few facts about the machine.
class ConstData
{
public:
    static constexpr quint16 portTcpOfAgent = 49101;

    static QString getVersion();
    static QString getKeyGuard();
    static QString getOrgName();
    static QString getAppName();
    static QString getAddrFileDns();
    static QString getDnsIpV4();
    static QString getDnsIpV6();
    static QString getDomainName();
    static QString getSupportEmail();
    static quint16 getPortTcpOfAgent();
    static quint16 getPortDns();
    static quint16 getPortHttp();
    static QString getLocalHostV4();
    static QString getLocalHostV6();
    static QString getDirForCrt();
    static QString getAddressConf();
    static QString getHome();
    static QString getUrlApiJrpc();

    // (working mode, domain DNS name): mode 1 on a machine outside a directory
    // domain, 2 inside one. Detected once per process.
    static QPair<int, QString> getWorkingMode();
    // The operating system's product name, "10" turned into "11" from build 22000 on.
    static QString getOS();
    static QString productNameForBuild(const QString& productName, quint32 buildNumber);

    // Forget the detected working mode (tests that change the machine's domain).
    static void resetWorkingMode();
};
