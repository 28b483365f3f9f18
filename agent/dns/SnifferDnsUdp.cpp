#include "SnifferDnsUdp.h"

#include "ConstData.h"
#include "DnsMessage.h"
#include "DohRemoteServer.h"
#include "DotRemoteServer.h"
#include "LoggingCategories.h"
#include "UdpRemoteSocket.h"

#include <QMetaMethod>
#include <QUdpSocket>

#include <cstring>
#include <utility>

namespace {

// Room for bursts of queries while the thread is busy.
constexpr int receiveBufferBytes = 1 << 20;
// Largest UDP payload: a datagram is read whole, so its true size is known.
constexpr int largestDatagram = 65536;

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
    // The plain-UDP transport shares this object's thread and ends with it.
    if (RemoteDnsServer* udp = remoteServers.value(UserData::DNS)) {
        delete udp;
        qCCritical(snifferdnsudp) << "THREAD DNS FINISHED";
    }
    // The others are deleted on their own threads as those finish.
    for (QThread* thread : {&threadDoh, &threadDot}) {
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
        // Plain UDP on this thread: queries are handed over and answers come
        // back by direct calls.
        auto* udp = new UdpRemoteSocket(nullptr, udpPort);
        remoteServers.insert(UserData::DNS, udp);
        connect(
            udp, &RemoteDnsServer::signalReadyRead, this,
            [this](const QByteArray& answer) { slotSendToLocal(UserData::DNS, answer); },
            Qt::DirectConnection);
        udp->slotStart();
        startTransport(new DohRemoteServer(nullptr, dohPort), &threadDoh, "THREAD DOH FINISHED");
        startTransport(new DotRemoteServer(nullptr, dotPort), &threadDot, "THREAD DOT FINISHED");
    } else if (RemoteDnsServer* udp = remoteServers.value(UserData::DNS)) {
        // Its socket's notifier went with the old event loop: a new socket.
        udp->slotStart();
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
    if (receiveBuffer.isEmpty())
        receiveBuffer.resize(largestDatagram);
    // Read until the socket has nothing more (readDatagram returns -1):
    // asking first whether a datagram is pending, and how large it is, would
    // cost two more system calls per query.
    for (int i = 0; i < readBatch; ++i) {
        quint16 sourcePort = 0;
        const qint64 read =
            socket->readDatagram(receiveBuffer.data(), receiveBuffer.size(), nullptr, &sourcePort);
        if (read < 0)
            return;
        if (read == 0) {
            qCWarning(snifferdnsudp) << "empty datagram dropped, port:" << sourcePort;
            continue;
        }
        if (read > maxQuerySize) {
            qCWarning(snifferdnsudp) << "oversized datagram dropped, size:" << read << "port:" << sourcePort;
            continue;
        }
        // Room for the identity record, so that marking does not reallocate.
        QByteArray datagram;
        datagram.reserve(static_cast<int>(read) + DnsMessage::identityRecordSize);
        datagram.append(receiveBuffer.constData(), static_cast<int>(read));
        route(std::move(datagram), sourcePort, isIpV4);
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
    route(QByteArray(message), port, isIpV4);
}

void SnifferDnsUdp::route(QByteArray&& message, quint16 port, bool isIpV4)
{
    bool wellFormed = false;
    // The numbers first; the texts (ID, name, address) only where something
    // reads them: routing by name, the debug log, an observer of signalSendReq.
    DnsRequest request = DnsMessage::parseNumbers(message, &wellFormed);
    if (!wellFormed) {
        qCWarning(snifferdnsudp) << "malformed query dropped, port:" << port << "size:" << message.size();
        return;
    }
    const quint16 clientId = DnsMessage::id(message);
    const RequestTable::Added added = requestTable.add(port, clientId, isIpV4, now());
    if (added.duplicate)
        qCWarning(snifferdnsudp) << "Duplicate request attempt:" << DnsMessage::idText(clientId)
                                 << "port:" << port;
    if (added.evicted)
        qCWarning(snifferdnsudp) << "request table full (" << requestTable.maxEntries()
                                 << "), the oldest query is dropped";
    // Upstream the query carries an ID unique among the queries in flight;
    // the client's own ID goes back into the answer.
    DnsMessage::setId(message, added.upstreamId);

    const int controlDns = UserData::getControlDNS();
    const UserData::ETypeOfDnsProtocol configured = UserData::getDnsProtocol();
    const bool byName = controlDns == UserData::ON && request.type != DnsMessage::typeSrv &&
                        (configured == UserData::DOH || configured == UserData::DOT);
    static const QMetaMethod sendReqSignal = QMetaMethod::fromSignal(&SnifferDnsUdp::signalSendReq);
    const bool observed = isSignalConnected(sendReqSignal);
    // The plain-UDP transport makes the texts itself when it needs them.
    if (byName || observed)
        DnsMessage::fillTexts(message, request);

    UserData::ETypeOfDnsProtocol protocol = UserData::DNS;
    if (byName) {
        const QString& host = resolverHost();
        protocol = chooseProtocol(request, controlDns, configured, host, localDomain);
        if (RemoteDnsServer::debugOn(snifferdnsudp())) {
            qCDebug(snifferdnsudp) << request.domain << host
                                   << (request.domain.contains(host) ? "true" : "false");
        }
    }
    if (observed)
        emit signalSendReq(protocol, message, request, isIpV4);
    RemoteDnsServer* server = remoteServers.value(protocol);
    if (!server)
        return;
    if (server->thread() == thread()) {
        server->slotSendReq(protocol, std::move(message), std::move(request), isIpV4);
        return;
    }
    // Only the chosen transport's thread is woken for the query.
    QMetaObject::invokeMethod(
        server,
        [server, protocol, message = std::move(message), request = std::move(request), isIpV4] {
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
    // The answer with the client's ID, in a buffer kept for the purpose
    // rather than a fresh copy per answer.
    if (replyBuffer.size() < answer.size())
        replyBuffer.resize(answer.size());
    std::memcpy(replyBuffer.data(), answer.constData(), static_cast<size_t>(answer.size()));
    replyBuffer[0] = static_cast<char>(client.id >> 8);
    replyBuffer[1] = static_cast<char>(client.id & 0xFF);
    if (RemoteDnsServer::debugOn(snifferdnsudp()))
        qCDebug(snifferdnsudp) << "slotSendToLocal" << protocolName(from) << DnsMessage::idText(upstreamId)
                               << client.port;
    QUdpSocket* socket = client.isIpV4 ? socketV4 : socketV6;
    socket->writeDatagram(replyBuffer.constData(), answer.size(), client.isIpV4 ? loopbackV4 : loopbackV6,
                          client.port);
}
