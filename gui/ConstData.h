#pragma once

#include <QSize>
#include <QString>

// Fixed values of the tray program.
class ConstData
{
public:
    static QString getAppName();
    static QString getOrgName();
    static QString getConfFileName();
    // Guard key of the tray program's single-instance guard (not the agent's).
    static QString getKeyGuard();
    static QSize getSizeWin();
    static int getHeightWindowMover();
    static quint16 getPortTcpOfAgent();
    // The tray program's own INI file in the per-user application data folder.
    static QString getAddressConfFile();
    // The agent's settings key; the same path the agent opens.
    static QString getAddressConfRegister();
    static QString getSupportEmail();
};
