#pragma once

#include "ConstData.h"
#include "RemoteDnsServer.h"

#include <QHostAddress>
#include <QStringList>

class QUdpSocket;

// Plain DNS over UDP. Most queries go to the filtering resolver, marked with
// the account's identity while protection is on; SRV queries and, on a
// machine joined to a Windows domain, names inside that domain go unmarked to
// the DNS servers the interfaces had before the agent took them over.
class UdpRemoteSocket : public RemoteDnsServer
{
    Q_OBJECT
public:
    explicit UdpRemoteSocket(QObject* parent = nullptr, quint16 port = ConstData::getPortDns());

    QAbstractSocket::SocketState state() const override;
    void write(QByteArray message, DnsRequest& request, bool isIpV4) override;
    void disconnectFromHost() const override {}

    // Whether a query goes to the saved servers instead of the resolver:
    // SRV always, and in working mode 2 a name that ends with the domain
    // (`domain` lower case; matched on the text's end alone).
    static bool isLocalQuery(const DnsRequest& request, int workingMode, const QString& domain);
    // The saved servers of one family without the agent's own loopback address.
    static QStringList localServers(const QStringList& saved, const QString& loopback);

    // Datagrams read per readyRead at most, so that a flood of answers
    // cannot keep the thread from its other sockets.
    static constexpr int readBatch = 64;

public slots:
    // Builds the socket; called again after the thread's event loop was
    // restarted, it replaces the socket whose notifier died with the old loop.
    void slotStart() override;
    void slotReadyReadRemote();

private:
    const QHostAddress& resolverAddress(bool isIpV4);

    QUdpSocket* socket = nullptr;
    // One receive buffer for every answer: a datagram is read whole into it
    // without asking its size first.
    QByteArray receiveBuffer;
    const quint16 port;
    int workingMode = 0;
    QString adDomain;
    // The resolver addresses as last read and parsed, so that a query costs no parse.
    QString resolverTextV4;
    QString resolverTextV6;
    QHostAddress resolverV4;
    QHostAddress resolverV6;
};
