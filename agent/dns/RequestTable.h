#pragma once

#include <QHash>
#include <QList>
#include <QRandomGenerator>

#include <vector>

// Queries waiting for their answer, keyed by the asking client (address
// family, source port, the client's own message ID). Each query travels
// upstream under an ID that is unique among the queries in flight, so two
// clients that happen to pick the same ID never get each other's answers.
// Entries expire, and the table never holds more than its bound: when it is
// full the oldest entry makes room. Pure bookkeeping: the caller supplies the
// time, nothing here touches a socket.
class RequestTable
{
public:
    static constexpr int defaultMaxEntries = 16384;
    // Clients give up after about 10 s (two 5 s tries); a few seconds more.
    static constexpr qint64 defaultLifetimeMs = 15000;

    struct Client
    {
        quint16 port = 0;
        quint16 id = 0;
        bool isIpV4 = true;
        qint64 time = 0; // arrival, ms on the caller's clock
    };

    struct Added
    {
        quint16 upstreamId = 0;
        // The same client resent the same ID before its answer arrived; the
        // entry keeps its upstream ID so that only one answer reaches it.
        bool duplicate = false;
        // The table was full and its oldest entry was dropped.
        bool evicted = false;
    };

    explicit RequestTable(int maxEntries = defaultMaxEntries, qint64 lifetimeMs = defaultLifetimeMs);

    Added add(quint16 port, quint16 clientId, bool isIpV4, qint64 nowMs);
    // Removes the entry sent upstream under `upstreamId`; false when there is none.
    bool take(quint16 upstreamId, Client& client);
    // Drops entries older than the lifetime; returns how many.
    int expire(qint64 nowMs);
    int size() const { return count; }
    int maxEntries() const { return bound; }
    bool contains(quint16 upstreamId) const;
    // Upstream IDs in flight, oldest first (log lines).
    QList<quint16> upstreamIds() const;

private:
    struct Slot
    {
        Client client;
        qint64 expiresAt = 0;
        int prev = -1;
        int next = -1;
        bool used = false;
    };

    static quint64 clientKey(quint16 port, quint16 clientId, bool isIpV4);
    void unlink(int index);
    void linkLast(int index);
    void remove(int index);
    int freeId();

    std::vector<Slot> entries;
    QHash<quint64, quint16> byClient;
    QRandomGenerator random;
    int bound;
    qint64 lifetime;
    int count = 0;
    int head = -1; // oldest
    int tail = -1; // newest
};
