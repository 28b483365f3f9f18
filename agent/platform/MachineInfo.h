#pragma once

#include <QString>

// Facts about the machine that only the operating system can tell.
class MachineInfo
{
public:
    virtual ~MachineInfo() = default;
    // The DNS name of the directory domain the machine is joined to; empty
    // when it is not joined. False when the question could not be asked.
    virtual bool domainDnsName(QString& domain) = 0;
    // The user signed on to the active console session; false when unknown.
    virtual bool consoleUserName(QString& user) = 0;
    // The operating system's product name and build number (0 where there is none).
    virtual QString productName() = 0;
    virtual quint32 buildNumber() = 0;
};
