#include "SnifferDnsUdp.h"

#include "ConstData.h"
#include "DnsMessage.h"
#include "DohRemoteServer.h"
#include "DotRemoteServer.h"
#include "LogStream.h"
#include "LoggingCategories.h"
#include "UdpRemoteSocket.h"

#include <QMetaMethod>
#include <QSocketNotifier>

#include <utility>

namespace {

// Room for bursts of queries while the thread is busy.
constexpr int receiveBufferBytes = 1 << 20;
// A query is read into this much room; a larger datagram is reported cut.
constexpr int querySlot = SnifferDnsUdp::maxQuerySize;
// A dropped answer's line shows this much of it, and this many IDs in flight.
constexpr int maxLoggedAnswer = 512;
constexpr int maxLoggedKeys = 16;

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
    // The notifiers go before their descriptors are closed.
    delete notifierV4;
    delete notifierV6;
}

void SnifferDnsUdp::setUpstreamPorts(quint16 udp, quint16 dot, quint16 doh)
{
    udpPort = udp;
    dotPort = dot;
    dohPort = doh;
}

void SnifferDnsUdp::setUpstreamPool(int size, int afterQueries, qint64 minAgeMs, qint64 maxAgeMs)
{
    poolSize = size;
    rotateAfterQueries = afterQueries;
    rotateMinAgeMs = minAgeMs;
    rotateMaxAgeMs = maxAgeMs;
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
    qRegisterMetaType<ResolverStatus>("ResolverStatus");
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
        if (poolSize > 0)
            udp->setPoolLimits(poolSize, rotateAfterQueries, rotateMinAgeMs, rotateMaxAgeMs);
        udpServer = udp;
        remoteServers.insert(UserData::DNS, udp);
        connect(
            udp, &RemoteDnsServer::signalReadyRead, this,
            [this](const QByteArray& answer) { slotSendToLocal(UserData::DNS, answer); },
            Qt::DirectConnection);
        connect(
            udp, &UdpRemoteSocket::signalAnswersRead, this, [this] { sendHeldAnswers(); },
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
    delete notifierV4;
    delete notifierV6;
    notifierV4 = nullptr;
    notifierV6 = nullptr;
    heldV4.clear();
    heldV6.clear();
    if (!receiveBuffer) {
        receiveBuffer.reset(new char[static_cast<size_t>(receiveSlots) * querySlot]);
        for (int i = 0; i < receiveSlots; ++i) {
            received[static_cast<size_t>(i)].data = receiveBuffer.get() + static_cast<size_t>(i) * querySlot;
            received[static_cast<size_t>(i)].capacity = querySlot;
        }
    }
    const bool boundV4 = socketV4.bind(loopbackV4, listenPort);
    const bool boundV6 = socketV6.bind(loopbackV6, listenPort);
    for (DatagramSocket* socket : {&socketV4, &socketV6}) {
        const bool v4 = socket == &socketV4;
        if (!socket->isOpen()) {
            qCWarning(snifferdnsudp) << "bind failed:" << (v4 ? loopbackV4 : loopbackV6) << listenPort
                                     << socket->errorString();
            continue;
        }
        socket->setReceiveBufferSize(receiveBufferBytes);
        auto* notifier = new QSocketNotifier(socket->descriptor(), QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, &SnifferDnsUdp::slotReadyReadLocal);
        (v4 ? notifierV4 : notifierV6) = notifier;
        (v4 ? clientV4 : clientV6) = socket->peer(v4 ? loopbackV4 : loopbackV6, 0);
    }
    qCInfo(snifferdnsudp) << "START NEW THREAD" << QThread::currentThread();
    emit signalListening(boundV4, boundV6);
}

void SnifferDnsUdp::slotReadyReadLocal()
{
    auto* notifier = qobject_cast<QSocketNotifier*>(sender());
    if (!notifier || (notifier != notifierV4 && notifier != notifierV6))
        return;
    const bool isIpV4 = notifier == notifierV4;
    DatagramSocket& socket = isIpV4 ? socketV4 : socketV6;
    // The plain-UDP queries of this batch leave together.
    if (udpServer)
        udpServer->holdWrites();
    // Each call reads every query waiting, up to receiveSlots; one that
    // returns fewer found the socket drained, so no further call is made to
    // learn that it is empty (the notifier fires again for later queries).
    for (int total = 0; total < readBatch;) {
        const int read = socket.receive(received.data(), receiveSlots);
        for (int i = 0; i < read; ++i) {
            const DatagramSocket::Received& query = received[static_cast<size_t>(i)];
            const quint16 sourcePort = query.peer.port();
            if (query.size == 0) {
                qCWarning(snifferdnsudp) << "empty datagram dropped, port:" << sourcePort;
                continue;
            }
            if (query.truncated || query.size > maxQuerySize) {
                qCWarning(snifferdnsudp)
                    << "oversized datagram dropped, size:" << query.size << "port:" << sourcePort;
                continue;
            }
            // Room for the identity record, so that marking does not reallocate.
            QByteArray datagram;
            datagram.reserve(query.size + DnsMessage::identityRecordSize);
            datagram.append(query.data, query.size);
            route(std::move(datagram), sourcePort, isIpV4);
        }
        total += read;
        if (read < receiveSlots)
            break;
    }
    if (udpServer)
        udpServer->sendHeld();
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
            LOG_DEBUG(snifferdnsudp) << request.domain << host
                                     << (request.domain.contains(host) ? "true" : "false");
        }
    }

    const quint16 clientId = DnsMessage::id(message);
    const RequestTable::Added added = requestTable.add(port, clientId, isIpV4, now(), message, protocol);
    if (added.duplicate)
        qCWarning(snifferdnsudp) << "Duplicate request attempt:" << DnsMessage::idText(clientId)
                                 << "port:" << port;
    if (added.evicted)
        qCWarning(snifferdnsudp) << "request table full (" << requestTable.maxEntries()
                                 << "), the oldest query is dropped";
    // Upstream the query carries a random ID, unique among the queries in
    // flight; the client's own ID goes back into the answer.
    DnsMessage::setId(message, added.upstreamId);
    if (!request.id.isEmpty())
        request.id = DnsMessage::idText(added.upstreamId);

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

quint64 SnifferDnsUdp::droppedAnswers() const
{
    quint64 total = unknownAnswers.total() + rejectedAnswers.total();
    if (udpServer)
        total += udpServer->droppedAnswers();
    return total;
}

void SnifferDnsUdp::slotSendToLocal(UserData::ETypeOfDnsProtocol from, const QByteArray& answer)
{
    quint16 upstreamId = 0;
    RequestTable::Client client;
    const RequestTable::Verdict verdict = requestTable.takeAnswer(answer, from, client, &upstreamId);
    if (verdict == RequestTable::Verdict::UnknownId) {
        // Late, repeated, or forged: no query waits under its ID.
        if (unknownAnswers.count(now()) && RemoteDnsServer::debugOn(snifferdnsudp())) {
            QStringList keys;
            const QList<quint16> ids = requestTable.upstreamIds();
            for (int i = 0; i < ids.size() && i < maxLoggedKeys; ++i)
                keys.append(DnsMessage::idText(ids.at(i)));
            LOG_DEBUG(snifferdnsudp) << "slotSendToLocal ELSE" << protocolName(from)
                                     << answer.left(maxLoggedAnswer).toHex() << keys
                                     << "in flight:" << ids.size()
                                     << "not logged:" << unknownAnswers.takeUnlogged();
        }
        return;
    }
    if (verdict != RequestTable::Verdict::Taken) {
        if (rejectedAnswers.count(now()) && RemoteDnsServer::debugOn(snifferdnsudp())) {
            const char* reason = "too short";
            switch (verdict) {
            case RequestTable::Verdict::NotAnAnswer:
                reason = "not a response";
                break;
            case RequestTable::Verdict::WrongTransport:
                reason = "from another transport";
                break;
            case RequestTable::Verdict::WrongQuestion:
                reason = "not the question asked";
                break;
            default:
                break;
            }
            LOG_DEBUG(snifferdnsudp) << "answer dropped:" << reason << protocolName(from)
                                     << DnsMessage::idText(upstreamId)
                                     << "not logged:" << rejectedAnswers.takeUnlogged();
        }
        return;
    }
    if (from == UserData::DNS && udpServer)
        udpServer->forget(upstreamId);
    if (RemoteDnsServer::debugOn(snifferdnsudp()))
        LOG_DEBUG(snifferdnsudp) << "slotSendToLocal" << protocolName(from) << DnsMessage::idText(upstreamId)
                                 << client.port;
    const DatagramPeer& loopbackClient = client.isIpV4 ? clientV4 : clientV6;
    if (loopbackClient.isNull())
        return;
    QVector<HeldAnswer>& held = client.isIpV4 ? heldV4 : heldV6;
    held.append(HeldAnswer{
        answer, {static_cast<char>(client.id >> 8), static_cast<char>(client.id & 0xFF)}, loopbackClient});
    held.last().client.setPort(client.port);
    // Plain-UDP answers wait for the end of the transport's read
    // (signalAnswersRead); the others come one per call and go at once.
    if (from != UserData::DNS || held.size() >= DatagramSocket::maxBatch)
        sendHeldAnswers(client.isIpV4 ? socketV4 : socketV6, held);
}

void SnifferDnsUdp::sendHeldAnswers()
{
    sendHeldAnswers(socketV4, heldV4);
    sendHeldAnswers(socketV6, heldV6);
}

void SnifferDnsUdp::sendHeldAnswers(DatagramSocket& socket, QVector<HeldAnswer>& held)
{
    if (held.isEmpty())
        return;
    outgoing.resize(held.size());
    for (int i = 0; i < held.size(); ++i) {
        const HeldAnswer& one = held.at(i);
        DatagramSocket::Outgoing& out = outgoing[i];
        out.head = one.id;
        out.headSize = 2;
        out.body = one.answer.constData() + 2;
        out.bodySize = one.answer.size() - 2;
        out.peer = &one.client;
    }
    socket.send(outgoing.constData(), outgoing.size());
    held.clear();
}
