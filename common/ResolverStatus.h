#pragma once

#include <QJsonObject>
#include <QMetaType>
#include <QString>
#include <QtGlobal>

// Whether the machine's queries are filtered, as the agent's DNS server sees
// it, and since when. Sent to the tray program and support clients as
// "STATUSRESOLVER" whenever it changes and when they connect.
struct ResolverStatus
{
    enum class State
    {
        Starting,   // the listener is not up yet
        Filtered,   // on the chosen transport
        PlainDns,   // the chosen encrypted transport is down: filtered over plain UDP
        FailOpen,   // the filtering service cannot be reached: the network's own servers answer
        FailClosed, // the filtering service cannot be reached: queries get SERVFAIL
        PortTaken,  // port 53 on loopback is another program's: interfaces left alone
    };

    State state = State::Starting;
    QString chosen;     // "DNS", "DoT", "DoH": the transport the settings choose
    QString inUse;      // the transport queries take now ("DNS" also for the network's servers)
    qint64 sinceMs = 0; // wall clock, ms since the epoch
    QString detail;     // one line for people: what is down, who holds the port

    // The wire words of the states: "starting", "filtered", "plain", "open",
    // "closed", "port".
    static QString stateWord(State state);
    static bool stateFromWord(const QString& word, State* state);

    QJsonObject toJson() const;
    // False (and `status` untouched) unless `object` carries a known state.
    static bool fromJson(const QJsonObject& object, ResolverStatus* status);

    bool operator==(const ResolverStatus& other) const;
    bool operator!=(const ResolverStatus& other) const { return !(*this == other); }
};

Q_DECLARE_METATYPE(ResolverStatus)
