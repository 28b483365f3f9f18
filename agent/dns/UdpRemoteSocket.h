#pragma once

#include "dns/DropLog.h"
#include "dns/RemoteDnsServer.h"
#include "dnswire/SecureRandom.h"
#include "platform/DatagramSocket.h"
#include "settings/ConstData.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QStringList>
#include <QVector>

#include <array>
#include <deque>
#include <memory>
#include <vector>

class QSocketNotifier;
class QTimer;

// Plain DNS over UDP. Most queries go to the filtering resolver, marked with
// the account's identity while protection is on; SRV queries and, on a
// machine joined to a Windows domain, names inside that domain go unmarked to
// the DNS servers the interfaces had before the agent took them over.
//
// Queries leave from a pool of sockets, each bound to a port the system
// picks at random (on every address: the servers are reached over the
// routing table); queries leave from one of them chosen at random, changed
// every currentForMs, so an off-path sender must guess the port as well as
// the message ID. A socket is replaced by a fresh one, on a new port, after
// rotateAfterQueries queries (once it is rotateMinAgeMs old) or after
// rotateMaxAgeMs; the old one still takes the answers to its queries for
// drainMs and is then closed (at most maxDraining are kept; beyond, the
// oldest goes first). An answer is handed on only when it is a response that
// came to the socket its query left from, from the address and port the query
// went to; anything else is dropped and counted.
class UdpRemoteSocket : public RemoteDnsServer
{
    Q_OBJECT
public:
    // Every socket is one more descriptor the event loop polls on each
    // turn: a few, replaced often, rather than many.
    static constexpr int defaultPoolSize = 4;
    static constexpr int defaultRotateAfterQueries = 100;
    static constexpr qint64 defaultRotateMinAgeMs = 5000;
    static constexpr qint64 defaultRotateMaxAgeMs = 30000;
    // Answers come within a few seconds or not at all (clients have asked
    // again by then).
    static constexpr qint64 drainMs = 3000;
    static constexpr int maxDraining = 64;
    // How long queries keep leaving from one socket of the pool.
    static constexpr qint64 currentForMs = 50;

    explicit UdpRemoteSocket(QObject* parent = nullptr, quint16 port = ConstData::getPortDns());
    ~UdpRemoteSocket() override;

    QAbstractSocket::SocketState state() const override;
    void write(QByteArray message, DnsRequest& request, bool isIpV4) override;
    void disconnectFromHost() const override {}

    // Whether a query goes to the saved servers instead of the resolver:
    // SRV always, and in working mode 2 a name that ends with the domain
    // (`domain` lower case; matched on the text's end alone).
    static bool isLocalQuery(const DnsRequest& request, int workingMode, const QString& domain);
    // The saved servers of one family without the agent's own loopback address.
    static QStringList localServers(const QStringList& saved, const QString& loopback);

    // Datagrams read per wake-up at most, so that a flood of answers
    // cannot keep the thread from its other sockets.
    static constexpr int readBatch = 64;
    // Datagrams read per system call at most.
    static constexpr int receiveSlots = 32;

    void holdWrites() override { holding = true; }
    void sendHeld() override;

    // The listener delivered the answer sent upstream under `upstreamId`:
    // later answers with that ID find no query of ours.
    void forget(quint16 upstreamId);
    // Pool size and rotation, before slotStart (tests rotate quickly).
    void setPoolLimits(int poolSize, int rotateAfterQueries, qint64 rotateMinAgeMs, qint64 rotateMaxAgeMs);
    // Answers dropped so far: not a response, no query of ours on that
    // socket under that ID, or not from where the query went.
    quint64 droppedAnswers() const { return notAnswers.total() + wrongSocket.total() + wrongSource.total(); }
    // Sockets open now, active and draining.
    int openSockets() const { return static_cast<int>(active.size() + draining.size()); }

public slots:
    // Builds the socket; called again after the thread's event loop was
    // restarted, it replaces the socket whose notifier died with the old loop.
    void slotStart() override;
    void slotReadyReadRemote();

private:
    // One socket of the pool.
    struct Upstream
    {
        DatagramSocket socket;
        QSocketNotifier* notifier = nullptr;
        quint32 serial = 0;
        int sent = 0;
        qint64 openedAt = 0;
        qint64 closeAt = 0; // once draining
        ~Upstream();
    };
    // Where the query now in flight under one upstream ID went.
    struct Sent
    {
        quint32 serial = 0; // 0: none in flight
        bool local = false; // to the saved servers (any of them may answer)
        DatagramPeer peer;  // the resolver, for the others
    };

    const DatagramPeer& resolverPeer(bool isIpV4);
    void send(const QByteArray& message, const DatagramPeer& peer, Upstream* from);
    // The socket a query under `upstreamId` leaves from.
    Upstream* pick(quint16 upstreamId, bool local, const DatagramPeer& peer);
    Upstream* findOpen(quint32 serial) const;
    std::unique_ptr<Upstream> open();
    void fillPool();
    void rotateDue();
    void closeDrained();
    void slotMaintenance();
    void readAnswers(Upstream* from);
    bool fromExpectedPeer(const Sent& sent, const DatagramPeer& source) const;
    qint64 now() const { return clock.elapsed(); }

    // The socket whose family the cached peers are in.
    DatagramSocket* reference() const { return active.empty() ? nullptr : &active.front()->socket; }

    std::vector<std::unique_ptr<Upstream>> active;
    std::deque<std::unique_ptr<Upstream>> draining; // oldest first
    std::unique_ptr<Sent[]> sentById;
    SecureRandom random;
    QElapsedTimer clock;
    QTimer* maintenance = nullptr;
    quint32 nextSerial = 1;
    int family = 0;
    int poolSize = defaultPoolSize;
    int rotateAfterQueries = defaultRotateAfterQueries;
    qint64 rotateMinAgeMs = defaultRotateMinAgeMs;
    qint64 rotateMaxAgeMs = defaultRotateMaxAgeMs;
    qint64 openFailedAt = -1;
    // The socket queries leave from until currentUntil.
    Upstream* current = nullptr;
    qint64 currentUntil = 0;
    DropLog notAnswers;
    DropLog wrongSocket;
    DropLog wrongSource;
    DropLog openFailures;
    // Room for receiveSlots answers of the largest UDP size, so that no
    // answer is ever cut; read whole without asking their size first. Only
    // the pages answers are written to are ever touched.
    std::unique_ptr<char[]> receiveBuffer;
    std::array<DatagramSocket::Received, receiveSlots> received;
    bool holding = false;
    QVector<QByteArray> heldMessages;
    QVector<DatagramPeer> heldPeers;
    QVector<Upstream*> heldSockets;
    QVector<DatagramSocket::Outgoing> outgoing;
    const quint16 port;
    int workingMode = 0;
    QString adDomain;
    // The resolver addresses as last read and parsed, so that a query costs no parse.
    QString resolverTextV4;
    QString resolverTextV6;
    DatagramPeer resolverV4;
    DatagramPeer resolverV6;
    // How QDebug prints the address answers last came from (log lines).
    QHostAddress printedPeer;
    QString printedPeerText;
};
