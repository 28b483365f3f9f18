#pragma once

#include "ConstData.h"
#include "DatagramSocket.h"
#include "RemoteDnsServer.h"

#include <QHostAddress>
#include <QStringList>
#include <QVector>

#include <array>
#include <memory>

class QSocketNotifier;

// Plain DNS over UDP. Most queries go to the filtering resolver, marked with
// the account's identity while protection is on; SRV queries and, on a
// machine joined to a Windows domain, names inside that domain go unmarked to
// the DNS servers the interfaces had before the agent took them over.
class UdpRemoteSocket : public RemoteDnsServer
{
    Q_OBJECT
public:
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

    // Between holdWrites() and sendHeld() the queries written are kept and
    // then sent together (one system call where the system allows): the
    // listener holds them while it reads a batch of queries.
    void holdWrites() { holding = true; }
    void sendHeld();

signals:
    // After each batch of answers handed on with signalReadyRead: the
    // listener sends the answers it held meanwhile.
    void signalAnswersRead();

public slots:
    // Builds the socket; called again after the thread's event loop was
    // restarted, it replaces the socket whose notifier died with the old loop.
    void slotStart() override;
    void slotReadyReadRemote();

private:
    const DatagramPeer& resolverPeer(bool isIpV4);
    void send(const QByteArray& message, const DatagramPeer& peer);

    DatagramSocket socket;
    QSocketNotifier* notifier = nullptr;
    // Room for receiveSlots answers of the largest UDP size, so that no
    // answer is ever cut; read whole without asking their size first. Only
    // the pages answers are written to are ever touched.
    std::unique_ptr<char[]> receiveBuffer;
    std::array<DatagramSocket::Received, receiveSlots> received;
    bool holding = false;
    QVector<QByteArray> heldMessages;
    QVector<DatagramPeer> heldPeers;
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
