#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// One network adapter as the system lists it. `type` uses the IANA interface
// type numbers Windows reports: 6 Ethernet, 71 IEEE 802.11, 23 PPP,
// 24 software loopback, 131 tunnel, 1 other.
struct AdapterInfo
{
    QString name;         // the adapter's identifier (a GUID on Windows, the link name elsewhere)
    QString friendlyName; // what the user sees
    quint32 type = 1;
    bool up = false;
    // The unicast addresses, 4 or 16 bytes each in network order.
    QVector<QByteArray> addresses;
};

// Lists the machine's network adapters.
class AdapterSource
{
public:
    enum AdapterType : quint32
    {
        Other = 1,
        Ethernet = 6,
        Ppp = 23,
        SoftwareLoopback = 24,
        Ieee80211 = 71,
        Tunnel = 131,
    };

    virtual ~AdapterSource() = default;
    // Fills `adapters`; false when the list cannot be read at all.
    virtual bool list(QVector<AdapterInfo>& adapters) = 0;
};
