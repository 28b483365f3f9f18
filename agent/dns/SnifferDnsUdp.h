#pragma once

#include "common/ResolverStatus.h"
#include "dns/DropLog.h"
#include "dns/ResolverHealth.h"
#include "dnswire/DnsRequest.h"
#include "dnswire/RequestTable.h"
#include "dnswire/SecureRandom.h"
#include "platform/DatagramSocket.h"
#include "settings/UserData.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QThread>
#include <QVector>

#include <array>
#include <memory>

class QSocketNotifier;
class QTimer;
class QUdpSocket;
class RemoteDnsServer;
class UdpRemoteSocket;

// The agent's DNS server as the machine sees it: UDP port 53 on 127.0.0.1 and
// ::1. It remembers who asked, picks the upstream transport for each query,
// hands it to that transport, and sends each answer back to the application
// that asked, from the socket of the query's address family.
//
// Lives on a thread of its own: create it without a parent, move it to the
// thread and connect the thread's started() to slotStart() (createOnThread()
// does exactly that). The plain-UDP transport shares that thread: a query and
// its answer then cross no thread, which is most of the cost of an unloaded
// round trip. The DoT and DoH transports, whose handshakes may block, run on
// threads of their own.
class SnifferDnsUdp : public QObject
{
    Q_OBJECT
public:
    // Datagrams larger than this are not DNS queries over UDP.
    static constexpr int maxQuerySize = 4096;
    // Datagrams read per wake-up at most, so that a flood of queries
    // cannot keep the thread from the answers (which share it).
    static constexpr int readBatch = 64;
    // Datagrams read per system call at most.
    static constexpr int receiveSlots = 32;

    explicit SnifferDnsUdp(QObject* parent = nullptr);
    ~SnifferDnsUdp() override;

    // Ports, before slotStart runs (tests use high ports); the defaults are
    // 53 for the listener and the plain-UDP upstream, 853 and 443 for DoT and DoH.
    void setListenPort(quint16 port) { listenPort = port; }
    void setUpstreamPorts(quint16 udp, quint16 dot, quint16 doh);
    // The request table's bound and lifetime, before slotStart runs.
    void setRequestTableLimits(int maxEntries, qint64 lifetimeMs);
    // The plain-UDP transport's socket pool, before slotStart runs (tests
    // rotate quickly); see UdpRemoteSocket.
    void setUpstreamPool(int size, int rotateAfterQueries, qint64 rotateMinAgeMs, qint64 rotateMaxAgeMs);
    // Bring-up, before slotStart runs: how long to wait before binding again
    // while port 53 is another program's (or a self-query went unanswered),
    // and how long one self-query may take. Every query is answered within
    // 2 s (SERVFAIL at worst), so the self-query waits longer than that.
    static constexpr int defaultBindRetryMs = 10000;
    static constexpr int defaultSelfQueryMs = 3000;
    static constexpr int selfQueryAttempts = 3;
    void setBringUpTimes(int bindRetryMs, int selfQueryMs);

    // The query the listener sends itself through each of its sockets to
    // prove its path (bound, read by this thread, answers going out); the
    // listener answers it itself, so it does not wait on the service.
    static QByteArray selfQuery(quint16 id);
    // The listener's answer to `query`: NXDOMAIN (the name is under
    // ".invalid") with the query's ID and question; empty when `query` is
    // not a query with one whole question.
    static QByteArray selfAnswer(const QByteArray& query);
    // Whether `datagram` answers the self-query `id`: a response with that
    // ID and at least a whole header.
    static bool answersSelfQuery(const QByteArray& datagram, quint16 id);

    void sendToRemote(QByteArray& message, const quint16& port, bool isIpV4);

    // The transport for one query: plain UDP when protection is not on, for
    // SRV, for names inside the Windows domain the machine is joined to
    // (`localDomain`, lower case, empty when not joined: the plain-UDP
    // transport sends those to the servers the interfaces had before), and
    // for any name containing the resolver's own host name; otherwise the
    // configured one.
    static UserData::ETypeOfDnsProtocol chooseProtocol(const DnsRequest& request, int controlDns,
                                                       UserData::ETypeOfDnsProtocol configured,
                                                       const QString& resolverHost,
                                                       const QString& localDomain = QString());

    // Where a query goes while a resolver path may be down: the chosen
    // transport; plain UDP to the resolver (still marked and filtered); the
    // servers the interfaces had before, unmarked; or nowhere (SERVFAIL).
    enum class Rung
    {
        Chosen,
        PlainResolver,
        Network,
        Fail,
    };
    // `protocol` is the transport chooseProtocol picked; `connectivityCheck`
    // whether the name is one Windows asks to detect captive portals.
    static Rung ladder(UserData::ETypeOfDnsProtocol protocol, bool isIpV4, const ResolverHealth& health,
                       bool failClosed, bool connectivityCheck, bool* plainOverIpV4 = nullptr);
    static bool isConnectivityCheck(const QString& domain);
    // What the health of the paths means for the machine's queries.
    static ResolverStatus statusFor(UserData::ETypeOfDnsProtocol chosen, const ResolverHealth& health,
                                    bool failClosed);

    // Creates a listener living on `thread` (not started yet), wired so that
    // it starts with the thread and is deleted when the thread finishes.
    static SnifferDnsUdp* createOnThread(QThread* thread);
    // The types that cross threads in queued signals.
    static void registerMetaTypes();

    // Read on the listener's thread only (tests reach it through a queued call).
    int pendingCount() const { return requestTable.size(); }
    // Answers dropped so far: no query waiting under their ID, not a
    // response, the wrong transport or question, or (plain UDP) not from
    // where the query went.
    quint64 droppedAnswers() const;
    RemoteDnsServer* remoteServer(UserData::ETypeOfDnsProtocol protocol) const
    {
        return remoteServers.value(protocol);
    }

signals:
    void signalSendReq(UserData::ETypeOfDnsProtocol protocol, QByteArray message, DnsRequest request,
                       bool isIpV4);
    // Both listener sockets are set up; false for a family whose bind failed.
    void signalListening(bool ipV4, bool ipV6);
    // Both listener sockets are bound (127.0.0.1 alone on a machine without
    // an IPv6 loopback) and a query sent through each has been answered:
    // the machine's DNS may now be pointed here.
    void signalReady();
    // Whether queries are filtered, whenever that changes.
    void signalResolverStatus(const ResolverStatus& status);

public slots:
    void slotReadyReadLocal();
    void slotStart();
    // The interfaces or their addresses changed: down paths are probed now.
    void slotNetworkChanged();
    // Starts the resolver's health afresh (a new resolver address or host
    // says nothing of the old one's), every path up.
    void slotForgetHealth();

private:
    // An answer waiting to go back with the others of its batch: the
    // client's ID goes in front of the answer's own bytes, no copy made.
    struct HeldAnswer
    {
        QByteArray answer;
        char id[2];
        DatagramPeer client;
    };
    // A query for a transport on another thread, waiting for the end of the
    // batch of queries being read.
    struct Outbound
    {
        UserData::ETypeOfDnsProtocol protocol;
        QByteArray message;
        DnsRequest request;
        bool isIpV4;
    };

    void route(QByteArray&& message, quint16 port, bool isIpV4);
    void slotSendToLocal(UserData::ETypeOfDnsProtocol from, const QByteArray& answer);
    void sendHeldAnswers();
    void sendHeldAnswers(DatagramSocket& socket, QVector<HeldAnswer>& held);
    void startTransport(RemoteDnsServer* server, QThread* thread, const char* finishedLine);
    void dispatch(UserData::ETypeOfDnsProtocol protocol, QByteArray&& message, DnsRequest&& request,
                  bool isIpV4);
    // Hands the queries of a batch to their transports' threads, one wake-up each.
    void sendOutbound();
    // Once the query has waited a second: the next rung of the ladder.
    void sendOn(const RequestTable::Unanswered& entry);
    void answerFailure(const QByteArray& query, quint16 clientId, bool isIpV4, quint16 port);
    void sendProbe(int path);
    // A connection of `protocol` could not be set up.
    void connectionFailed(UserData::ETypeOfDnsProtocol protocol);
    void onTick();
    void noteChange(int path, ResolverHealth::Change change);
    // The health's meaning for the machine, once the listener is ready.
    void updateStatus();
    // Binds the listener sockets not bound yet; then the self-query, or the
    // next try while another program holds the port.
    void bindListeners();
    void startSelfQuery();
    void readSelfAnswers(QUdpSocket* socket);
    // Answers `query` when it is the pending self-query from our own client.
    bool answerSelfQuery(DatagramSocket& socket, const DatagramSocket::Received& query, bool isIpV4);
    void selfQueryTimedOut();
    // Emits signalResolverStatus when `status` differs from the last one sent
    // (the time aside, which is taken here when the state changes).
    void publishStatus(const ResolverStatus& status);
    ResolverStatus bringUpStatus(ResolverStatus::State state, const QString& detail) const;
    const QString& resolverHost();
    qint64 now() const { return clock.elapsed(); }

    DatagramSocket socketV4;
    DatagramSocket socketV6;
    QSocketNotifier* notifierV4 = nullptr;
    QSocketNotifier* notifierV6 = nullptr;
    // The loopback clients, in each socket's form; the port is set per answer.
    DatagramPeer clientV4;
    DatagramPeer clientV6;
    QHash<UserData::ETypeOfDnsProtocol, RemoteDnsServer*> remoteServers;
    // The plain-UDP transport (also in remoteServers), called directly.
    UdpRemoteSocket* udpServer = nullptr;
    RequestTable requestTable;
    ResolverHealth health;
    // Retries, failure answers and probes; runs while queries wait or a path is down.
    QTimer* tick = nullptr;
    std::vector<RequestTable::Unanswered> due;
    // Wall clock minus the monotonic one: a jump means the machine slept.
    qint64 clockOffset = 0;
    quint16 probeSerial = 0;
    // The self-query was answered: the health states are published from then on.
    bool ready = false;
    int statusControl = -1;
    int statusProtocol = -1;
    DropLog unknownAnswers;
    DropLog rejectedAnswers;
    int poolSize = 0; // 0: the transport's defaults
    int rotateAfterQueries = 0;
    qint64 rotateMinAgeMs = 0;
    qint64 rotateMaxAgeMs = 0;
    QThread threadDoh;
    QThread threadDot;

    // Bring-up.
    int bindRetryMs = defaultBindRetryMs;
    int selfQueryMs = defaultSelfQueryMs;
    QTimer* retryTimer = nullptr;
    QTimer* selfQueryTimer = nullptr;
    QUdpSocket* selfClientV4 = nullptr;
    QUdpSocket* selfClientV6 = nullptr;
    quint16 selfQueryId = 0;
    bool selfWaitV4 = false;
    bool selfWaitV6 = false;
    bool selfQueryPending = false;
    bool selfQueryFailLogged = false;
    int selfQueryTries = 0;
    // The machine has no IPv6 loopback (IPv6 switched off): 127.0.0.1 alone.
    bool noLoopbackV6 = false;
    // The critical line of the current episode of a taken port is written.
    bool takenLogged = false;
    bool published = false;
    ResolverStatus lastStatus;
    SecureRandom random;

    quint16 listenPort;
    quint16 udpPort;
    quint16 dotPort;
    quint16 dohPort;
    QHostAddress loopbackV4;
    QHostAddress loopbackV6;
    QElapsedTimer clock;
    QString configuredName;
    QString cachedHost;
    // Lower case; empty unless the machine is joined to a Windows domain.
    QString localDomain;
    // receiveSlots queries at a time are read whole into it, without asking
    // their size first.
    std::unique_ptr<char[]> receiveBuffer;
    std::array<DatagramSocket::Received, receiveSlots> received;
    // While a batch of queries is read, those for the encrypted transports
    // wait here, per transport.
    bool readingBatch = false;
    std::vector<std::pair<RemoteDnsServer*, QVector<Outbound>>> outbound;
    // Answers of a transport's current read, per family.
    QVector<HeldAnswer> heldV4;
    QVector<HeldAnswer> heldV6;
    QVector<DatagramSocket::Outgoing> outgoing;
};
