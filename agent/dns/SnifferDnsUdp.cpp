#include "SnifferDnsUdp.h"

#include "ConstData.h"
#include "DnsMessage.h"
#include "DohRemoteServer.h"
#include "DotRemoteServer.h"
#include "LoggingCategories.h"
#include "UdpRemoteSocket.h"

#include <QUdpSocket>

namespace {

// Room for bursts of queries while the thread is busy.
constexpr int receiveBufferBytes = 1 << 20;

const char* protocolName(UserData::ETypeOfDnsProtocol protocol)
{
    switch (protocol) {
    case UserData::DNS:
        return "DNS";
    case UserData::DOH:
        return "DOH";
    case UserData::DOT:
        return "DOT";
    }
    return "?";
}

} // namespace

SnifferDnsUdp::SnifferDnsUdp(QObject* parent)
    : QObject(parent), listenPort(ConstData::getPortDns()), udpPort(ConstData::getPortDns()),
      dotPort(DotRemoteServer::defaultPort), dohPort(DohRemoteServer::defaultPort),
      loopbackV4(ConstData::getLocalHostV4()), loopbackV6(ConstData::getLocalHostV6())
{
    clock.start();
    qCInfo(snifferdnsudp) << "CREATE";
}

SnifferDnsUdp::~SnifferDnsUdp()
{
    // Each transport is deleted on its own thread as the thread finishes.
    for (QThread* thread : {&threadUdp, &threadDoh, &threadDot}) {
        thread->quit();
        thread->wait();
    }
    remoteServers.clear();
    delete socketV4;
    delete socketV6;
}

void SnifferDnsUdp::setUpstreamPorts(quint16 udp, quint16 dot, quint16 doh)
{
    udpPort = udp;
    dotPort = dot;
    dohPort = doh;
}

void SnifferDnsUdp::setRequestTableLimits(int maxEntries, qint64 lifetimeMs)
{
    requestTable = RequestTable(maxEntries, lifetimeMs);
}

void SnifferDnsUdp::registerMetaTypes()
{
    qRegisterMetaType<UserData::ETypeOfDnsProtocol>("UserData::ETypeOfDnsProtocol");
    qRegisterMetaType<UserData::ETypeOfDnsProtocol>("DnsProtocol");
    qRegisterMetaType<DnsRequest>("DnsRequest");
}

SnifferDnsUdp* SnifferDnsUdp::createOnThread(QThread* thread)
{
    auto* sniffer = new SnifferDnsUdp;
    sniffer->moveToThread(thread);
    connect(thread, &QThread::started, sniffer, &SnifferDnsUdp::slotStart);
    connect(thread, &QThread::finished, sniffer, &QObject::deleteLater);
    return sniffer;
}

void SnifferDnsUdp::startTransport(RemoteDnsServer* server, QThread* thread, const char* finishedLine)
{
    remoteServers.insert(server->protocol(), server);
    server->moveToThread(thread);
    const UserData::ETypeOfDnsProtocol protocol = server->protocol();
    connect(server, &RemoteDnsServer::signalReadyRead, this,
            [this, protocol](const QByteArray& answer) { slotSendToLocal(protocol, answer); });
    connect(thread, &QThread::started, server, &RemoteDnsServer::slotStart);
    connect(thread, &QThread::finished, server, &QObject::deleteLater);
    // Direct: the line must be written even while this object is going away.
    connect(
        thread, &QThread::finished, this, [finishedLine] { qCCritical(snifferdnsudp) << finishedLine; },
        Qt::DirectConnection);
    thread->start(QThread::InheritPriority);
}

void SnifferDnsUdp::slotStart()
{
    registerMetaTypes();
    // Domain membership is detected once per process; read it once here.
    const QPair<int, QString> mode = ConstData::getWorkingMode();
    if (mode.first == 2)
        localDomain = mode.second.toLower();
    // When our own thread is restarted after it ended, the transports are
    // still running on theirs: keep them rather than start a second set.
    if (remoteServers.isEmpty()) {
        startTransport(new UdpRemoteSocket(nullptr, udpPort), &threadUdp, "THREAD DNS FINISHED");
        startTransport(new DohRemoteServer(nullptr, dohPort), &threadDoh, "THREAD DOH FINISHED");
        startTransport(new DotRemoteServer(nullptr, dotPort), &threadDot, "THREAD DOT FINISHED");
    }

    // Sockets of an earlier run of this thread lost their notifiers with its
    // event loop and still hold port 53: close them before binding anew.
    delete socketV4;
    delete socketV6;
    socketV4 = new QUdpSocket;
    socketV6 = new QUdpSocket;
    connect(socketV4, &QUdpSocket::readyRead, this, &SnifferDnsUdp::slotReadyReadLocal);
    connect(socketV6, &QUdpSocket::readyRead, this, &SnifferDnsUdp::slotReadyReadLocal);
    const bool boundV4 = socketV4->bind(loopbackV4, listenPort, QAbstractSocket::DefaultForPlatform);
    const bool boundV6 = socketV6->bind(loopbackV6, listenPort, QAbstractSocket::DefaultForPlatform);
    for (QUdpSocket* socket : {socketV4, socketV6}) {
        if (socket->state() == QAbstractSocket::BoundState)
            socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, receiveBufferBytes);
        else
            qCWarning(snifferdnsudp) << "bind failed:" << (socket == socketV4 ? loopbackV4 : loopbackV6)
                                     << listenPort << socket->errorString();
    }
    qCInfo(snifferdnsudp) << "START NEW THREAD" << QThread::currentThread();
    emit signalListening(boundV4, boundV6);
}

void SnifferDnsUdp::slotReadyReadLocal()
{
    auto* socket = qobject_cast<QUdpSocket*>(sender());
    if (!socket)
        return;
    const bool isIpV4 = socket == socketV4;
    while (socket->hasPendingDatagrams()) {
        const qint64 size = socket->pendingDatagramSize();
        QByteArray datagram(static_cast<int>(qBound<qint64>(0, size, 65536)), Qt::Uninitialized);
        quint16 sourcePort = 0;
        const qint64 read = socket->readDatagram(datagram.data(), datagram.size(), nullptr, &sourcePort);
        if (read <= 0) {
            qCWarning(snifferdnsudp) << "empty datagram dropped, port:" << sourcePort;
            continue;
        }
        if (read > maxQuerySize) {
            qCWarning(snifferdnsudp) << "oversized datagram dropped, size:" << read << "port:" << sourcePort;
            continue;
        }
        datagram.resize(static_cast<int>(read));
        sendToRemote(datagram, sourcePort, isIpV4);
    }
}

const QString& SnifferDnsUdp::resolverHost()
{
    const QString name = UserData::getDnsHost();
    if (name != configuredName || cachedHost.isEmpty()) {
        configuredName = name;
        cachedHost = RemoteDnsServer::resolverHost(name);
    }
    return cachedHost;
}

UserData::ETypeOfDnsProtocol SnifferDnsUdp::chooseProtocol(const DnsRequest& request, int controlDns,
                                                           UserData::ETypeOfDnsProtocol configured,
                                                           const QString& resolverHost,
                                                           const QString& localDomain)
{
    if (controlDns != UserData::ON || request.type == DnsMessage::typeSrv)
        return UserData::DNS;
    if (configured != UserData::DOH && configured != UserData::DOT)
        return UserData::DNS;
    // Names inside the machine's domain must reach the domain's own DNS
    // servers whatever transport is chosen; only the plain-UDP transport
    // knows them.
    if (UdpRemoteSocket::isLocalQuery(request, localDomain.isEmpty() ? 0 : 2, localDomain))
        return UserData::DNS;
    // The resolver's own name is always looked up over plain UDP: the
    // encrypted transports need it to connect.
    if (!resolverHost.isEmpty() && request.domain.contains(resolverHost))
        return UserData::DNS;
    return configured;
}

void SnifferDnsUdp::sendToRemote(QByteArray& message, const quint16& port, bool isIpV4)
{
    bool wellFormed = false;
    DnsRequest request = RemoteDnsServer::parsingDnsRequest(message, &wellFormed);
    if (!wellFormed) {
        qCWarning(snifferdnsudp) << "malformed query dropped, port:" << port << "size:" << message.size();
        return;
    }
    const quint16 clientId = DnsMessage::id(message);
    const RequestTable::Added added = requestTable.add(port, clientId, isIpV4, now());
    if (added.duplicate)
        qCWarning(snifferdnsudp) << "Duplicate request attempt:" << request.id << "port:" << port;
    if (added.evicted)
        qCWarning(snifferdnsudp) << "request table full (" << requestTable.maxEntries()
                                 << "), the oldest query is dropped";
    // Upstream the query carries an ID unique among the queries in flight;
    // the client's own ID goes back into the answer.
    DnsMessage::setId(message, added.upstreamId);
    request.id = DnsMessage::idText(added.upstreamId);

    const int controlDns = UserData::getControlDNS();
    const UserData::ETypeOfDnsProtocol configured = UserData::getDnsProtocol();
    UserData::ETypeOfDnsProtocol protocol = UserData::DNS;
    if (controlDns == UserData::ON && request.type != DnsMessage::typeSrv &&
        (configured == UserData::DOH || configured == UserData::DOT)) {
        const QString& host = resolverHost();
        protocol = chooseProtocol(request, controlDns, configured, host, localDomain);
        if (RemoteDnsServer::debugOn(snifferdnsudp())) {
            qCDebug(snifferdnsudp) << request.domain << host
                                   << (request.domain.contains(host) ? "true" : "false");
        }
    }
    emit signalSendReq(protocol, message, request, isIpV4);
    // Only the chosen transport's thread is woken for the query.
    RemoteDnsServer* server = remoteServers.value(protocol);
    if (!server)
        return;
    QMetaObject::invokeMethod(
        server,
        [server, protocol, message, request, isIpV4] {
            server->slotSendReq(protocol, message, request, isIpV4);
        },
        Qt::QueuedConnection);
}

void SnifferDnsUdp::slotSendToLocal(UserData::ETypeOfDnsProtocol from, const QByteArray& answer)
{
    if (answer.size() < DnsMessage::headerSize)
        return;
    const quint16 upstreamId = DnsMessage::id(answer);
    RequestTable::Client client;
    if (!requestTable.take(upstreamId, client)) {
        if (RemoteDnsServer::debugOn(snifferdnsudp())) {
            QStringList keys;
            const QList<quint16> ids = requestTable.upstreamIds();
            for (const quint16 id : ids)
                keys.append(DnsMessage::idText(id));
            qCDebug(snifferdnsudp) << "slotSendToLocal ELSE" << protocolName(from) << answer.toHex() << keys;
        }
        return;
    }
    QByteArray reply = answer;
    DnsMessage::setId(reply, client.id);
    if (RemoteDnsServer::debugOn(snifferdnsudp()))
        qCDebug(snifferdnsudp) << "slotSendToLocal" << protocolName(from) << DnsMessage::idText(upstreamId)
                               << client.port;
    QUdpSocket* socket = client.isIpV4 ? socketV4 : socketV6;
    socket->writeDatagram(reply, client.isIpV4 ? loopbackV4 : loopbackV6, client.port);
}
