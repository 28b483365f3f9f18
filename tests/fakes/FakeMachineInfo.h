#pragma once

#include "platform/MachineInfo.h"
#include "platform/Platform.h"

// Machine facts the test chooses; installs itself into the platform seam for
// its lifetime.
class FakeMachineInfo : public MachineInfo
{
public:
    FakeMachineInfo() { Platform::setMachineInfo(this); }
    ~FakeMachineInfo() override { Platform::setMachineInfo(nullptr); }

    bool domainDnsName(QString& out) override
    {
        out = domain;
        return domainKnown;
    }
    bool consoleUserName(QString& out) override
    {
        out = user;
        return userKnown;
    }
    QString productName() override { return product; }
    quint32 buildNumber() override { return build; }

    QString domain;
    bool domainKnown = true;
    QString user;
    bool userKnown = true;
    QString product = QStringLiteral("Windows 10 Pro");
    quint32 build = 19045;
};
