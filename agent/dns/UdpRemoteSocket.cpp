#include "UdpRemoteSocket.h"

#include "DnsMessage.h"
#include "LogHex.h"
#include "LogStream.h"
#include "LoggingCategories.h"

#include <QSocketNotifier>
#include <QThread>

namespace {

// Room for bursts of answers while the thread is busy.
constexpr int receiveBufferBytes = 1 << 20;
// Largest UDP payload, so that no answer is ever cut.
constexpr int largestDatagram = 65536;

} // namespace

UdpRemoteSocket::UdpRemoteSocket(QObject* parent, quint16 port)
    : RemoteDnsServer(UserData::DNS, parent), port(port)
{
}

UdpRemoteSocket::~UdpRemoteSocket()
{
    // The notifier goes before its descriptor is closed.
    delete notifier;
}

QAbstractSocket::SocketState UdpRemoteSocket::state() const
{
    return socket.isOpen() ? QAbstractSocket::BoundState : QAbstractSocket::UnconnectedState;
}

void UdpRemoteSocket::slotStart()
{
    delete notifier;
    notifier = nullptr;
    heldMessages.clear();
    heldPeers.clear();
    holding = false;
    // Peers are in the socket's address family: converted again for the new one.
    resolverTextV4.clear();
    resolverTextV6.clear();
    resolverV4 = DatagramPeer();
    resolverV6 = DatagramPeer();
    if (!receiveBuffer) {
        receiveBuffer.reset(new char[static_cast<size_t>(receiveSlots) * largestDatagram]);
        for (int i = 0; i < receiveSlots; ++i) {
            received[static_cast<size_t>(i)].data =
                receiveBuffer.get() + static_cast<size_t>(i) * largestDatagram;
            received[static_cast<size_t>(i)].capacity = largestDatagram;
        }
    }
    // One ephemeral port on all addresses, as the first send would pick;
    // bound here so that the receive buffer can be sized.
    if (socket.bind(QHostAddress(QHostAddress::Any), 0)) {
        socket.setReceiveBufferSize(receiveBufferBytes);
        notifier = new QSocketNotifier(socket.descriptor(), QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, &UdpRemoteSocket::slotReadyReadRemote);
    } else {
        qCWarning(udp_remotesocket) << "bind failed:" << socket.errorString();
    }
    // The machine's domain membership is detected once per process; reading
    // it here keeps the per-query path free of it.
    const QPair<int, QString> mode = ConstData::getWorkingMode();
    workingMode = mode.first;
    adDomain = mode.second.toLower();
    qCInfo(udp_remotesocket) << "START NEW THREAD" << QThread::currentThread();
}

bool UdpRemoteSocket::isLocalQuery(const DnsRequest& request, int workingMode, const QString& domain)
{
    if (request.type == DnsMessage::typeSrv)
        return true;
    return workingMode == 2 && !domain.isEmpty() && request.domain.endsWith(domain, Qt::CaseInsensitive);
}

QStringList UdpRemoteSocket::localServers(const QStringList& saved, const QString& loopback)
{
    QStringList servers;
    for (const QString& server : saved) {
        if (server != loopback)
            servers.append(server);
    }
    return servers;
}

const DatagramPeer& UdpRemoteSocket::resolverPeer(bool isIpV4)
{
    const QString text = isIpV4 ? UserData::getDnsIpV4() : UserData::getDnsIpV6();
    QString& cachedText = isIpV4 ? resolverTextV4 : resolverTextV6;
    DatagramPeer& cached = isIpV4 ? resolverV4 : resolverV6;
    if (text != cachedText) {
        cachedText = text;
        cached = socket.peer(QHostAddress(text), port);
    }
    return cached;
}

void UdpRemoteSocket::send(const QByteArray& message, const DatagramPeer& peer)
{
    if (holding) {
        heldMessages.append(message);
        heldPeers.append(peer);
        if (heldMessages.size() >= DatagramSocket::maxBatch)
            sendHeld();
        holding = true;
        return;
    }
    DatagramSocket::Outgoing one;
    one.body = message.constData();
    one.bodySize = message.size();
    one.peer = &peer;
    socket.send(&one, 1);
}

void UdpRemoteSocket::sendHeld()
{
    holding = false;
    if (heldMessages.isEmpty())
        return;
    outgoing.resize(heldMessages.size());
    for (int i = 0; i < heldMessages.size(); ++i) {
        outgoing[i].body = heldMessages.at(i).constData();
        outgoing[i].bodySize = heldMessages.at(i).size();
        outgoing[i].peer = &heldPeers.at(i);
    }
    socket.send(outgoing.constData(), outgoing.size());
    heldMessages.clear();
    heldPeers.clear();
}

void UdpRemoteSocket::write(QByteArray message, DnsRequest& request, bool isIpV4)
{
    if (!socket.isOpen())
        return;
    const bool logging = debugOn(udp_remotesocket());
    // The listener hands plain-UDP queries over with the numbers only; the
    // texts are made here when a log line or the domain check needs them,
    // from the message as it arrived (before marking).
    if (request.id.isEmpty() && (logging || workingMode == 2))
        DnsMessage::fillTexts(message, request);
    if (isLocalQuery(request, workingMode, adDomain)) {
        const QStringList servers =
            localServers(isIpV4 ? UserData::getSavedIpV4Dns() : UserData::getSavedIpV6Dns(),
                         isIpV4 ? ConstData::getLocalHostV4() : ConstData::getLocalHostV6());
        for (const QString& server : servers) {
            if (logging) {
                LOG_DEBUG(udp_remotesocket).noquote()
                    << "sendToRemote() send to Local (" + server + ")" << describe(request);
            }
            const DatagramPeer peer = socket.peer(QHostAddress(server), port);
            if (peer.isNull()) {
                qCWarning(udp_remotesocket) << "saved DNS server is not an address:" << server;
                continue;
            }
            send(message, peer);
        }
    } else {
        const DatagramPeer& resolver = resolverPeer(isIpV4);
        if (logging) {
            LOG_DEBUG(udp_remotesocket).noquote()
                << "sendToRemote() send to Proxy (" + (isIpV4 ? resolverTextV4 : resolverTextV6) + ")"
                << describe(request);
        }
        markForResolver(message, udp_remotesocket());
        if (resolver.isNull())
            qCWarning(udp_remotesocket)
                << "resolver address is not an address:" << (isIpV4 ? resolverTextV4 : resolverTextV6);
        else
            send(message, resolver);
    }
    if (logging)
        LOG_DEBUG(udp_remotesocket) << "writeDatagram" << LogHex(message);
}

void UdpRemoteSocket::slotReadyReadRemote()
{
    // Each call reads every answer waiting, up to receiveSlots; one that
    // returns fewer found the socket drained, so no further call is made to
    // learn that it is empty (the notifier fires again for later answers).
    const bool logging = debugOn(udp_remotesocket());
    for (int total = 0; total < readBatch;) {
        const int read = socket.receive(received.data(), receiveSlots);
        for (int i = 0; i < read; ++i) {
            const DatagramSocket::Received& message = received[static_cast<size_t>(i)];
            if (message.size == 0)
                continue;
            // Cannot happen with room for the largest UDP payload; checked
            // all the same, as the length is the system's word.
            if (message.truncated) {
                qCWarning(udp_remotesocket)
                    << "slotReadyReadRemote() answer too large, dropped, FROM:" << message.peer.address()
                    << "size:" << message.size;
                continue;
            }
            if (message.size < DnsMessage::headerSize) {
                qCWarning(udp_remotesocket)
                    << "slotReadyReadRemote() answer too short, dropped, FROM:" << message.peer.address()
                    << QByteArray(message.data, message.size).toHex();
                continue;
            }
            const QByteArray datagram(message.data, message.size);
            // Written before the answer is handed on: the listener may deliver
            // it (and log that) within the emit.
            if (logging) {
                const DnsRequest answer = parsingDnsRequest(datagram);
                const QString answerIp = answer.type == DnsMessage::typeA
                                             ? QStringLiteral("ANSWER IP: ") + answer.answerIp
                                             : QString();
                // Answers come from one or two resolvers: the address is
                // printed again only when it changes.
                const QHostAddress from = message.peer.address();
                if (printedPeerText.isEmpty() || from != printedPeer) {
                    printedPeer = from;
                    printedPeerText.clear();
                    QDebug(&printedPeerText).nospace() << from;
                }
                LOG_DEBUG(udp_remotesocket)
                    << "slotReadyReadRemote() FROM:" << LogStream::Printed{printedPeerText} << answerIp
                    << LogHex(datagram);
            }
            emit signalReadyRead(datagram);
        }
        total += read;
        if (read < receiveSlots)
            break;
    }
    emit signalAnswersRead();
}
