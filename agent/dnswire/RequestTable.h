#pragma once

#include "dnswire/SecureRandom.h"

#include <QByteArray>
#include <QHash>
#include <QList>

#include <vector>

// Queries waiting for their answer, keyed by the asking client (address
// family, source port, the client's own message ID). Each query travels
// upstream under an ID drawn at random from those not in flight, so two
// clients that happen to pick the same ID never get each other's answers and
// an off-path sender cannot predict it. An answer is taken only when it is a
// response (QR set), carries an ID in flight, came over a transport the query
// was sent on, and repeats the query's question (name without regard to
// case, type, class, question count); anything else leaves the entry in
// place for the genuine answer. Entries expire, and the table never holds
// more than its bound: when it is full the oldest entry makes room. Pure
// bookkeeping: the caller supplies the time, nothing here touches a socket.
class RequestTable
{
public:
    static constexpr int defaultMaxEntries = 16384;
    // Every query is answered within 2 s: by upstream, or by the agent
    // (SERVFAIL) once its entry expires. Windows' DNS client waits a second
    // for its first try, so a query is sent on along the fallback after
    // defaultRetryAfterMs.
    static constexpr qint64 defaultLifetimeMs = 1900;
    static constexpr qint64 defaultRetryAfterMs = 1000;

    struct Client
    {
        quint16 port = 0;
        quint16 id = 0;
        bool isIpV4 = true;
        qint64 time = 0; // arrival, ms on the caller's clock
        // The resolver path (ResolverHealth) it was last sent on; -1 for
        // none (the network's own servers, or a query that never goes to the resolver).
        qint8 path = -1;
        bool toNetwork = false;
    };

    struct Added
    {
        quint16 upstreamId = 0;
        // The same client resent the same ID before its answer arrived; the
        // entry keeps its upstream ID so that only one answer reaches it.
        bool duplicate = false;
        // The table was full and its oldest entry was dropped: `dropped`
        // holds it, to be answered.
        bool evicted = false;
    };
    // An entry that left the table unanswered, or one due to be sent on.
    struct Unanswered
    {
        Client client;
        quint16 upstreamId = 0;
        QByteArray query; // as sent upstream (upstream ID, not marked)
        quint8 protocols = 0;
    };

    // Why an answer was not taken.
    enum class Verdict
    {
        Taken,
        TooShort,       // no whole header
        NotAnAnswer,    // QR clear
        UnknownId,      // no query in flight under this ID
        WrongTransport, // the query was not sent over the transport it came from
        WrongQuestion,  // not the question that was asked
    };

    explicit RequestTable(int maxEntries = defaultMaxEntries, qint64 lifetimeMs = defaultLifetimeMs);

    // Records a query (`query` as the client sent it; only its question is
    // kept) leaving over `protocol` (0..7, UserData::ETypeOfDnsProtocol).
    // The query is kept (shared, not copied) until the entry goes.
    Added add(quint16 port, quint16 clientId, bool isIpV4, qint64 nowMs,
              const QByteArray& query = QByteArray(), int protocol = 0, Unanswered* dropped = nullptr);
    // Keeps the query as it goes upstream, under its upstream ID.
    void setQuery(quint16 upstreamId, const QByteArray& query);
    // The query is (also) sent over `protocol`, on resolver path `path`, or
    // to the network's own servers: an answer over that transport is taken.
    void setRoute(quint16 upstreamId, int protocol, qint8 path, bool toNetwork);
    // Takes the entry `answer` (as it came from upstream, over `protocol`)
    // belongs to, when every check passes; `upstreamId` receives its ID.
    Verdict takeAnswer(const QByteArray& answer, int protocol, Client& client, quint16* upstreamId = nullptr);
    // Removes the entry sent upstream under `upstreamId`, unchecked; false when there is none.
    bool take(quint16 upstreamId, Client& client);
    // Drops entries older than the lifetime, appending them to `expired`
    // when given; returns how many.
    int expire(qint64 nowMs, std::vector<Unanswered>* expired = nullptr);
    // Entries waiting longer than `afterMs` that were not yet returned here,
    // oldest first; each is returned once.
    void dueForRetry(qint64 nowMs, qint64 afterMs, std::vector<Unanswered>& due);
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
        // Keyed hash of the question (lower-cased name, type, class); 0
        // when the query had none that an answer could repeat.
        quint64 question = 0;
        quint16 questionCount = 0;
        // Transports the query was sent over, one bit each (a resend may
        // take another one after a settings change).
        quint8 protocols = 0;
        bool retried = false;
        QByteArray query;
        int prev = -1;
        int next = -1;
        bool used = false;
    };

    static quint64 clientKey(quint16 port, quint16 clientId, bool isIpV4);
    quint64 questionHash(const QByteArray& message) const;
    void unlink(int index);
    void linkLast(int index);
    void remove(int index, Unanswered* out = nullptr);
    int freeId();

    std::vector<Slot> entries;
    QHash<quint64, quint16> byClient;
    SecureRandom random;
    // A question in 64-bit words at most: a name of 255 bytes, then type,
    // class and length, padded to an even count.
    static constexpr int questionWords = 34;
    // Secret key of the question hash, one word per input word, drawn once per table.
    quint64 hashKey[questionWords];
    int bound;
    qint64 lifetime;
    int count = 0;
    int head = -1; // oldest
    int tail = -1; // newest
};
