#include "UdpRemoteSocket.h"

#include "DnsMessage.h"
#include "LoggingCategories.h"

#include <QThread>
#include <QUdpSocket>

namespace {

// Room for bursts of answers while the thread is busy.
constexpr int receiveBufferBytes = 1 << 20;

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
    socket = new QUdpSocket(this);
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
        qCDebug(udp_remotesocket) << "writeDatagram" << message.toHex();
}

void UdpRemoteSocket::slotReadyReadRemote()
{
    while (socket->hasPendingDatagrams()) {
        const qint64 size = socket->pendingDatagramSize();
        QByteArray datagram(static_cast<int>(qMax<qint64>(size, 0)), Qt::Uninitialized);
        QHostAddress source;
        quint16 sourcePort = 0;
        const qint64 read = socket->readDatagram(datagram.data(), datagram.size(), &source, &sourcePort);
        if (read <= 0)
            continue;
        datagram.resize(static_cast<int>(read));
        if (datagram.size() < DnsMessage::headerSize) {
            qCWarning(udp_remotesocket)
                << "slotReadyReadRemote() answer too short, dropped, FROM:" << source << datagram.toHex();
            continue;
        }
        emit signalReadyRead(datagram);
        if (debugOn(udp_remotesocket())) {
            const DnsRequest answer = parsingDnsRequest(datagram);
            const QString answerIp = answer.type == DnsMessage::typeA
                                         ? QStringLiteral("ANSWER IP: ") + answer.answerIp
                                         : QString();
            qCDebug(udp_remotesocket)
                << "slotReadyReadRemote() FROM:" << source << answerIp << datagram.toHex();
        }
    }
}
