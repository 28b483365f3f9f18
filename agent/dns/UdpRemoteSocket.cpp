#include "UdpRemoteSocket.h"

#include "DnsMessage.h"
#include "LogHex.h"
#include "LoggingCategories.h"

#include <QThread>
#include <QUdpSocket>

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

QAbstractSocket::SocketState UdpRemoteSocket::state() const
{
    return socket ? socket->state() : QAbstractSocket::UnconnectedState;
}

void UdpRemoteSocket::slotStart()
{
    delete socket;
    socket = new QUdpSocket(this);
    if (receiveBuffer.isEmpty())
        receiveBuffer.resize(largestDatagram);
    connect(socket, &QUdpSocket::readyRead, this, &UdpRemoteSocket::slotReadyReadRemote,
            Qt::DirectConnection);
    // One ephemeral port on all addresses, as the first send would pick;
    // bound here so that the receive buffer can be sized.
    if (socket->bind(QHostAddress(QHostAddress::Any), 0))
        socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, receiveBufferBytes);
    else
        qCWarning(udp_remotesocket) << "bind failed:" << socket->errorString();
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

const QHostAddress& UdpRemoteSocket::resolverAddress(bool isIpV4)
{
    const QString text = isIpV4 ? UserData::getDnsIpV4() : UserData::getDnsIpV6();
    QString& cachedText = isIpV4 ? resolverTextV4 : resolverTextV6;
    QHostAddress& cached = isIpV4 ? resolverV4 : resolverV6;
    if (text != cachedText) {
        cachedText = text;
        cached = QHostAddress(text);
    }
    return cached;
}

void UdpRemoteSocket::write(QByteArray message, DnsRequest& request, bool isIpV4)
{
    if (!socket)
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
                qCDebug(udp_remotesocket).noquote()
                    << "sendToRemote() send to Local (" + server + ")" << describe(request);
            }
            const QHostAddress address(server);
            if (address.isNull()) {
                qCWarning(udp_remotesocket) << "saved DNS server is not an address:" << server;
                continue;
            }
            socket->writeDatagram(message, address, port);
        }
    } else {
        const QHostAddress& resolver = resolverAddress(isIpV4);
        if (logging) {
            qCDebug(udp_remotesocket).noquote()
                << "sendToRemote() send to Proxy (" + (isIpV4 ? resolverTextV4 : resolverTextV6) + ")"
                << describe(request);
        }
        markForResolver(message, udp_remotesocket());
        if (resolver.isNull())
            qCWarning(udp_remotesocket)
                << "resolver address is not an address:" << (isIpV4 ? resolverTextV4 : resolverTextV6);
        else
            socket->writeDatagram(message, resolver, port);
    }
    if (logging)
        qCDebug(udp_remotesocket) << "writeDatagram" << LogHex(message);
}

void UdpRemoteSocket::slotReadyReadRemote()
{
    // Read until the socket has nothing more (readDatagram returns -1):
    // asking first whether a datagram is pending, and how large it is, would
    // cost two more system calls per answer.
    const bool logging = debugOn(udp_remotesocket());
    for (int i = 0; i < readBatch; ++i) {
        QHostAddress source;
        quint16 sourcePort = 0;
        const qint64 read =
            socket->readDatagram(receiveBuffer.data(), receiveBuffer.size(), &source, &sourcePort);
        if (read < 0)
            return;
        if (read == 0)
            continue;
        const QByteArray datagram(receiveBuffer.constData(), static_cast<int>(read));
        if (datagram.size() < DnsMessage::headerSize) {
            qCWarning(udp_remotesocket)
                << "slotReadyReadRemote() answer too short, dropped, FROM:" << source << datagram.toHex();
            continue;
        }
        // Written before the answer is handed on: the listener may deliver
        // it (and log that) within the emit.
        if (logging) {
            const DnsRequest answer = parsingDnsRequest(datagram);
            const QString answerIp = answer.type == DnsMessage::typeA
                                         ? QStringLiteral("ANSWER IP: ") + answer.answerIp
                                         : QString();
            qCDebug(udp_remotesocket)
                << "slotReadyReadRemote() FROM:" << source << answerIp << LogHex(datagram);
        }
        emit signalReadyRead(datagram);
    }
}
