#pragma once

#include "dns/DropLog.h"
#include "dns/RemoteDnsServer.h"

#include <QElapsedTimer>
#include <QHash>

#include <map>
#include <vector>

class QSslSocket;
class QTimer;

// One persistent TLS connection to the filtering resolver, shared by the
// DNS-over-TLS and DNS-over-HTTPS transports; they differ in port and in how
// a query is framed and an answer is cut from the stream.
//
// Queries that arrive while the connection is being set up wait in a queue
// and leave when the handshake completes; a query that has waited
// queueLifetimeMs is dropped (the listener has answered it by then, from
// another path or with an error). Queries sent but not yet answered when the
// connection ends (the resolver's idle timeout or restart, a connection
// closed here) are sent once more on a fresh connection. A connection that
// delivered nothing for stallTimeoutMs while a query waits on it, or that was
// opened before a network change, is closed here and opened again: a path
// that silently leads nowhere (a NAT that forgot it, an address gone) would
// otherwise hold the queries until TCP gives up, minutes later. Nothing here
// blocks the thread.
//
// A connection that could not be set up, or that the resolver ended before
// it answered any of the queries written on it, is followed by a pause
// before the next attempt: initialBackoffMs, doubled after each such
// connection up to maxBackoffMs, and back to the start once an answer
// arrives. A resolver that takes connections and drops them at once (its
// back end down, shedding load) thus sees a few handshakes a second instead
// of one per query. A connection that answered, or that the resolver closed
// while it was idle, is reopened at once. Queries that arrive during the
// pause wait in the queue, under their usual deadline.
//
// A resolver that answers the requests of one connection one after the
// other (HTTP/1.1) caps a single connection at one answer per round trip.
// Such a transport keeps up to maxConnections connections: the first is
// this object's own, the others spares opened in the background once every
// connection set up has spareAfterInFlight queries waiting and the resolver
// has answered on it. A query goes to the first connection while it has
// fewer waiting, else to the set-up connection with the fewest waiting,
// never to one still in its handshake, so a burst never waits for a spare.
// A spare is not reopened when the resolver closes it idle: it comes back
// with the next burst. A resolver that answers out of order may still serve
// each connection on one of its threads (dnsdist's TCP workers do), which
// caps one connection at what one of its cores gives: DoT keeps a second
// connection for a sustained load (many queries waiting), not for a burst.
class TlsRemoteServer : public RemoteDnsServer
{
    Q_OBJECT
public:
    static constexpr int handshakeTimeoutMs = 30000;
    static constexpr int queueLifetimeMs = 2000;
    // Pause before a new attempt after a failed connection: the first, and
    // the longest it grows to. One second at most: once the resolver is back,
    // answers resume within a second, and a resolver that keeps dropping
    // connections sees about one attempt a second.
    static constexpr int initialBackoffMs = 50;
    static constexpr int maxBackoffMs = 1000;
    static constexpr int maxQueued = 4096;
    static constexpr int maxInFlight = 8192;
    // A query in flight longer than this is no longer worth a resend.
    static constexpr qint64 inFlightLifetimeMs = 10000;
    // Nothing read for this long while a query sent waits for its answer:
    // the connection is stalled.
    static constexpr qint64 stallTimeoutMs = 1000;
    // A connection the resolver closes while idle is opened again at once
    // when an answer came within this window (traffic is likely to come
    // back), and not before minWarmLifetimeMs after the last one was set up.
    static constexpr qint64 warmWindowMs = 30000;
    static constexpr qint64 minWarmLifetimeMs = 1000;
    // Queries waiting on every set-up connection before a spare is opened.
    static constexpr int spareAfterInFlight = 2;

    using Category = const QLoggingCategory& (*)();

    TlsRemoteServer(UserData::ETypeOfDnsProtocol type, quint16 port, Category category, QObject* parent);
    ~TlsRemoteServer() override;

    QAbstractSocket::SocketState state() const override;
    void write(QByteArray message, DnsRequest& request, bool isIpV4) override;
    void disconnectFromHost() const override;
    void holdWrites() override;
    void sendHeld() override;

    // Tests shorten the handshake deadline (and with it the queue's).
    void setHandshakeTimeout(int ms) { handshakeTimeout = ms; }
    void setWarmWindow(qint64 ms) { warmWindow = ms; }
    int queuedCount() const { return static_cast<int>(queue.size()); }
    int inFlightCount() const { return static_cast<int>(inFlight.size()); }
    // Connections set up or being set up, spares included.
    int openConnections() const;
    // The pause the next failed connection will be followed by.
    int nextBackoff() const { return backoffMs; }
    // Answers dropped: not a response, or no query in flight under their ID.
    quint64 droppedAnswers() const;

public slots:
    void slotStart() override;
    void slotNetworkChanged() override;
    void slotReadyReadRemote();

protected:
    // The bytes that carry one (marked) query; empty when it cannot be framed.
    virtual QByteArray buildRequest(const QByteArray& message) = 0;
    // Cuts what the connection delivered into answers and hands each to
    // answerArrived(); a stream that cannot be read goes to abortConnection().
    virtual void readStream(const QByteArray& bytes) = 0;
    // The connection ended: a response delimited by the close is now whole.
    virtual void connectionClosed() {}
    // Forget partial data of the previous connection.
    virtual void resetStream() = 0;

    // One answer for the listener; clears its query from the in-flight set.
    void answerArrived(const QByteArray& answer);
    // A response that carries no answer (error status): the oldest query in
    // flight gets none.
    void responseWithoutAnswer();
    void abortConnection(const QString& reason);
    // How many connections the transport may keep (1: no spares), and how
    // many queries must wait on every connection set up before one more opens.
    void setMaxConnections(int count, int busyAt = spareAfterInFlight)
    {
        maxConnections = qMax(1, count);
        spareAt = qMax(1, busyAt);
    }
    // A new, not yet started transport of the same kind as this one, for a spare.
    virtual TlsRemoteServer* createSpare() { return nullptr; }
    const QString& host() const { return peer; }
    const QLoggingCategory& log() const { return category(); }

    QSslSocket* socket = nullptr;

private:
    struct Pending
    {
        QByteArray frame;
        quint16 id = 0;
        qint64 queuedAt = 0;
        qint64 sentAt = 0;
        // `reads` when it was sent.
        quint64 readsBefore = 0;
        bool resent = false;
    };

    qint64 now() const { return clock.elapsed(); }
    bool ready() const;
    int waiting() const { return static_cast<int>(inFlight.size() + queue.size()); }
    // The connection a new query goes to; opens a spare when all are busy.
    TlsRemoteServer* pickConnection();
    void openSpare();
    qint64 queueLimit() const { return qMin<qint64>(handshakeTimeout, queueLifetimeMs); }
    void refreshPeer();
    void ensureConnecting();
    void send(Pending pending);
    void track(qint64 seq, Pending pending);
    void enqueue(Pending pending);
    void flushQueue();
    void armDeadline();
    void onDeadline();
    void onEncrypted();
    // Keeps the session of the connection just set up for the next one.
    void keepSession();
    void onStateChanged(QAbstractSocket::SocketState state);
    void onBackoffOver();
    // Schedules the next attempt after a failed connection.
    void startBackoff();
    void trimInFlight();
    // When the connection, set up and with queries in flight, counts as
    // stalled; -1 when it cannot.
    qint64 stallDue() const;
    void writeTracked(qint64 seq, Pending pending);

    const quint16 port;
    const Category category;
    int handshakeTimeout = handshakeTimeoutMs;
    QString configuredName;
    QString peer;
    QElapsedTimer clock;
    qint64 attemptStartedAt = 0;
    // Counts the reads that delivered bytes.
    quint64 reads = 0;
    qint64 lastAnswerAt = -1;
    qint64 encryptedAt = 0;
    qint64 warmWindow = warmWindowMs;
    // The next end of the reconnect timer opens a connection with no query waiting.
    bool reopenWarm = false;
    // The last session the resolver (by name) gave us, resumed by the next connection.
    QByteArray sessionTicket;
    QString sessionPeer;
    // Counts connection attempts: tells a late abort which one it is for.
    quint64 attempts = 0;
    bool encryptedSession = false;
    // What the current (or last) connection did; decides whether its end
    // counts as a failure.
    bool wroteOnConnection = false;
    bool answeredOnConnection = false;
    // The connection is dropped on our side for a reason of ours (the
    // resolver's name changed): its end is no failure of the resolver.
    bool droppedByUs = false;
    int backoffMs = initialBackoffMs;
    QTimer* deadline = nullptr;
    // Single shot: while it runs, no new attempt starts; when it fires,
    // queued queries open the connection.
    QTimer* reconnect = nullptr;
    std::map<qint64, Pending> queue; // by arrival order
    qint64 nextSeq = 0;
    std::map<qint64, Pending> inFlight; // by send order
    QHash<quint16, qint64> inFlightById;
    DropLog strayAnswers;
    int maxConnections = 1;
    int spareAt = spareAfterInFlight;
    bool spare = false;
    std::vector<TlsRemoteServer*> spares; // children
    // Queries written while held go out with one flush.
    bool holding = false;
    // Answers handed on since the last signalAnswersRead.
    bool answersHanded = false;
    // The pool's signalAnswersRead is on its way.
    bool batchEndPosted = false;
    void endAnswerBatch();
};
