#include "dns/SnifferDnsUdp.h"

#include "common/ListenerOwner.h"
#include "dns/DnsLogging.h"
#include "dns/DohRemoteServer.h"
#include "dns/DotRemoteServer.h"
#include "dns/UdpRemoteSocket.h"
#include "dnswire/DnsMessage.h"
#include "logging/LogStream.h"
#include "settings/ConstData.h"

#include <QDateTime>
#include <QMetaMethod>
#include <QSocketNotifier>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>
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

const char* transportWord(int protocol)
{
    switch (protocol) {
    case UserData::DOH:
        return "DoH";
    case UserData::DOT:
        return "DoT";
    default:
        return "DNS";
    }
}

// Retries, failure answers and probes are looked at this often.
constexpr int tickMs = 100;
// A wall clock that moved this much more than the monotonic one: a resume from sleep.
constexpr qint64 resumeJumpMs = 5000;

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
    connect(server, &RemoteDnsServer::signalAnswersRead, this, [this] { sendHeldAnswers(); });
    connect(server, &RemoteDnsServer::signalConnectionFailed, this,
            [this, protocol] { connectionFailed(protocol); });
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
    qCInfo(snifferdnsudp) << "START NEW THREAD" << QThread::currentThread();
    // A new run binds anew: the sockets of an earlier one are closed above
    // their notifiers, and its self-query is forgotten.
    socketV4.close();
    socketV6.close();
    if (!retryTimer) {
        retryTimer = new QTimer(this);
        retryTimer->setSingleShot(true);
        connect(retryTimer, &QTimer::timeout, this, [this] { bindListeners(); });
        selfQueryTimer = new QTimer(this);
        selfQueryTimer->setSingleShot(true);
        connect(selfQueryTimer, &QTimer::timeout, this, [this] { selfQueryTimedOut(); });
    }
    retryTimer->stop();
    selfQueryTimer->stop();
    selfQueryTries = 0;
    selfQueryPending = false;
    ready = false;
    // A timer of an earlier run of this thread died with its event loop.
    delete tick;
    tick = new QTimer(this);
    tick->setInterval(tickMs);
    connect(tick, &QTimer::timeout, this, &SnifferDnsUdp::onTick);
    publishStatus(bringUpStatus(ResolverStatus::State::Starting, QString()));
    bindListeners();
    emit signalListening(socketV4.isOpen(), socketV6.isOpen());
}

void SnifferDnsUdp::setBringUpTimes(int retryMs, int queryMs)
{
    bindRetryMs = retryMs;
    selfQueryMs = queryMs;
}

void SnifferDnsUdp::bindListeners()
{
    QStringList taken;
    for (DatagramSocket* socket : {&socketV4, &socketV6}) {
        const bool v4 = socket == &socketV4;
        if (socket->isOpen() || (!v4 && noLoopbackV6))
            continue;
        const QHostAddress& address = v4 ? loopbackV4 : loopbackV6;
        const QString where = QStringLiteral("%1:%2").arg(address.toString()).arg(listenPort);
        if (!socket->bind(address, listenPort)) {
            // No ::1 at all (IPv6 switched off): applications cannot ask
            // there either, so 127.0.0.1 alone is the whole listener.
            if (!v4 && socket->addressMissing()) {
                noLoopbackV6 = true;
                qCInfo(snifferdnsudp).noquote()
                    << QStringLiteral("no IPv6 loopback on this machine (%1): listening on 127.0.0.1 alone")
                           .arg(socket->errorString());
                continue;
            }
            taken << QStringLiteral("%1 (%2), held by %3")
                         .arg(where, socket->errorString(), ListenerOwner::udpHolder(address, listenPort));
            continue;
        }
        socket->setReceiveBufferSize(receiveBufferBytes);
        auto* notifier = new QSocketNotifier(socket->descriptor(), QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, &SnifferDnsUdp::slotReadyReadLocal);
        (v4 ? notifierV4 : notifierV6) = notifier;
        (v4 ? clientV4 : clientV6) = socket->peer(address, 0);
        if (takenLogged)
            qCInfo(snifferdnsudp).noquote() << "port free again, listening on" << where;
    }
    if (!taken.isEmpty()) {
        const QString detail = taken.join(QStringLiteral("; "));
        // Once per episode: the port may stay taken for the whole session.
        if (!takenLogged) {
            qCCritical(snifferdnsudp).noquote()
                << "PORT TAKEN: cannot bind" << detail
                << "- the interfaces are left alone; trying again every" << bindRetryMs / 1000.0 << "s";
            takenLogged = true;
        }
        publishStatus(bringUpStatus(ResolverStatus::State::PortTaken, detail));
        retryTimer->start(bindRetryMs);
        return;
    }
    takenLogged = false;
    publishStatus(bringUpStatus(ResolverStatus::State::Starting, QString()));
    selfQueryTries = 0;
    startSelfQuery();
}

QByteArray SnifferDnsUdp::selfQuery(quint16 id)
{
    // corvane-self-check.invalid. A IN: a name no resolver may answer
    // positively, should the query ever leave the machine.
    static const char question[] = "\x12"
                                   "corvane-self-check"
                                   "\x07"
                                   "invalid"
                                   "\x00"
                                   "\x00\x01\x00\x01";
    QByteArray message;
    message.append(static_cast<char>(id >> 8)).append(static_cast<char>(id & 0xFF));
    // A standard query asking for recursion, one question.
    message.append("\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10);
    message.append(question, static_cast<int>(sizeof question - 1));
    return message;
}

QByteArray SnifferDnsUdp::selfAnswer(const QByteArray& query)
{
    const int end = DnsMessage::questionEnd(query);
    if (end < 0 || DnsMessage::isResponse(query) || DnsMessage::questionCount(query) != 1)
        return QByteArray();
    QByteArray answer = query.left(end);
    // Response, the query's opcode and RD, recursion available, NXDOMAIN;
    // the question alone.
    answer[2] = static_cast<char>(0x80 | (answer.at(2) & 0x79));
    answer[3] = static_cast<char>(0x83);
    for (int i = 6; i < DnsMessage::headerSize; ++i)
        answer[i] = '\0';
    return answer;
}

bool SnifferDnsUdp::answerSelfQuery(DatagramSocket& socket, const DatagramSocket::Received& query,
                                    bool isIpV4)
{
    const QUdpSocket* client = isIpV4 ? selfClientV4 : selfClientV6;
    if (!client || query.peer.port() != client->localPort() ||
        query.peer.address() != (isIpV4 ? loopbackV4 : loopbackV6))
        return false;
    const QByteArray message(query.data, query.size);
    if (DnsMessage::id(message) != selfQueryId)
        return false;
    const QByteArray answer = selfAnswer(message);
    if (answer.isEmpty())
        return false;
    DatagramSocket::Outgoing out;
    out.body = answer.constData();
    out.bodySize = answer.size();
    out.peer = &query.peer;
    socket.send(&out, 1);
    return true;
}

bool SnifferDnsUdp::answersSelfQuery(const QByteArray& datagram, quint16 id)
{
    return datagram.size() >= DnsMessage::headerSize && DnsMessage::isResponse(datagram) &&
           DnsMessage::id(datagram) == id;
}

void SnifferDnsUdp::startSelfQuery()
{
    // Sent as an application sends: to the listener's address and port,
    // from a socket of the same family.
    selfQueryId = random.next16();
    const QByteArray query = selfQuery(selfQueryId);
    selfWaitV4 = false;
    selfWaitV6 = false;
    for (const bool v4 : {true, false}) {
        const DatagramSocket& listener = v4 ? socketV4 : socketV6;
        if (!listener.isOpen())
            continue;
        QUdpSocket*& client = v4 ? selfClientV4 : selfClientV6;
        const QHostAddress& address = v4 ? loopbackV4 : loopbackV6;
        if (!client) {
            client = new QUdpSocket(this);
            if (!client->bind(address, 0)) {
                qCWarning(snifferdnsudp) << "self-query socket:" << client->errorString();
                delete client;
                client = nullptr;
                continue;
            }
            QUdpSocket* const socket = client;
            connect(socket, &QUdpSocket::readyRead, this, [this, socket] { readSelfAnswers(socket); });
        }
        (v4 ? selfWaitV4 : selfWaitV6) = client->writeDatagram(query, address, listenPort) == query.size();
    }
    selfQueryPending = selfWaitV4 || selfWaitV6;
    selfQueryTimer->start(selfQueryMs);
}

void SnifferDnsUdp::readSelfAnswers(QUdpSocket* socket)
{
    const bool v4 = socket == selfClientV4;
    while (socket->hasPendingDatagrams()) {
        QHostAddress from;
        quint16 fromPort = 0;
        QByteArray datagram(static_cast<int>(qBound<qint64>(0, socket->pendingDatagramSize(), 65535)), '\0');
        const qint64 read = socket->readDatagram(datagram.data(), datagram.size(), &from, &fromPort);
        if (read < 0)
            break;
        datagram.truncate(static_cast<int>(read));
        // Only the listener's own answer counts.
        if (fromPort != listenPort || from != (v4 ? loopbackV4 : loopbackV6) ||
            !answersSelfQuery(datagram, selfQueryId))
            continue;
        (v4 ? selfWaitV4 : selfWaitV6) = false;
    }
    if (!selfQueryTimer->isActive() || selfWaitV4 || selfWaitV6)
        return;
    selfQueryTimer->stop();
    selfQueryPending = false;
    selfQueryFailLogged = false;
    qCInfo(snifferdnsudp).noquote() << QStringLiteral("listening on %1%2 port %3 - self-query answered")
                                           .arg(loopbackV4.toString(), socketV6.isOpen()
                                                                           ? " and " + loopbackV6.toString()
                                                                           : QString())
                                           .arg(listenPort);
    emit signalReady();
    ready = true;
    updateStatus();
}

void SnifferDnsUdp::selfQueryTimedOut()
{
    if (++selfQueryTries < selfQueryAttempts) {
        startSelfQuery();
        return;
    }
    selfQueryTries = 0;
    selfQueryPending = false;
    // Once until the listener answers: it may stay silent for long.
    if (!selfQueryFailLogged)
        qCWarning(snifferdnsudp) << "no answer to the self-query through the listener after"
                                 << selfQueryAttempts
                                 << "tries; the interfaces are left alone, trying again every"
                                 << bindRetryMs / 1000.0 << "s";
    selfQueryFailLogged = true;
    retryTimer->start(bindRetryMs);
}

ResolverStatus SnifferDnsUdp::bringUpStatus(ResolverStatus::State state, const QString& detail) const
{
    ResolverStatus status;
    status.state = state;
    switch (UserData::getDnsProtocol()) {
    case UserData::DOH:
        status.chosen = QStringLiteral("DoH");
        break;
    case UserData::DOT:
        status.chosen = QStringLiteral("DoT");
        break;
    case UserData::DNS:
        status.chosen = QStringLiteral("DNS");
        break;
    }
    status.detail = detail;
    return status;
}

void SnifferDnsUdp::publishStatus(const ResolverStatus& status)
{
    ResolverStatus next = status;
    next.sinceMs = lastStatus.sinceMs;
    if (published && next == lastStatus)
        return;
    // "Since" is when the state began: a new detail in the same state keeps it.
    if (!published || status.state != lastStatus.state)
        next.sinceMs = status.sinceMs != 0 ? status.sinceMs : QDateTime::currentMSecsSinceEpoch();
    lastStatus = next;
    published = true;
    emit signalResolverStatus(next);
}

void SnifferDnsUdp::slotReadyReadLocal()
{
    auto* notifier = qobject_cast<QSocketNotifier*>(sender());
    if (!notifier || (notifier != notifierV4 && notifier != notifierV6))
        return;
    const bool isIpV4 = notifier == notifierV4;
    DatagramSocket& socket = isIpV4 ? socketV4 : socketV6;
    // The queries of this batch leave together, per transport.
    if (udpServer)
        udpServer->holdWrites();
    readingBatch = true;
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
            // The listener's own bring-up query is answered here.
            if (Q_UNLIKELY(selfQueryPending) && answerSelfQuery(socket, query, isIpV4))
                continue;
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
    readingBatch = false;
    sendOutbound();
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

    if (controlDns != statusControl || int(configured) != statusProtocol)
        updateStatus();
    // SRV and names of the machine's Windows domain go to the network's own
    // servers whatever happens: they say nothing of the resolver's health.
    bool toResolver = request.type != DnsMessage::typeSrv;
    if (toResolver && !localDomain.isEmpty()) {
        if (request.id.isEmpty())
            DnsMessage::fillTexts(message, request);
        toResolver = !UdpRemoteSocket::isLocalQuery(request, 2, localDomain);
    }
    qint8 path = -1;
    bool toNetwork = false;
    // The resolver's address family the query goes to: the client's, unless
    // only the other one answers.
    bool upstreamV4 = isIpV4;
    if (toResolver) {
        path = static_cast<qint8>(ResolverHealth::path(protocol, protocol != UserData::DNS || isIpV4));
        if (!health.isUp(path)) {
            // The slow path: the chosen path is down.
            if (request.id.isEmpty())
                DnsMessage::fillTexts(message, request);
            const qint64 t = now();
            if (health.probeDue(path, t, true))
                sendProbe(path);
            const int plainPath = ResolverHealth::path(UserData::DNS, isIpV4);
            bool plainOverIpV4 = isIpV4;
            const Rung rung = ladder(protocol, isIpV4, health, UserData::getFailClosed(),
                                     isConnectivityCheck(request.domain), &plainOverIpV4);
            if (rung == Rung::PlainResolver) {
                protocol = UserData::DNS;
                upstreamV4 = plainOverIpV4;
                path = static_cast<qint8>(ResolverHealth::path(UserData::DNS, upstreamV4));
            } else if (rung == Rung::Network || rung == Rung::Fail) {
                if (plainPath != path && health.probeDue(plainPath, t, true))
                    sendProbe(plainPath);
                if (rung == Rung::Fail) {
                    answerFailure(message, DnsMessage::id(message), isIpV4, port);
                    return;
                }
                protocol = UserData::DNS;
                path = -1;
                toNetwork = true;
            }
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
    // Kept for an answer of our own or a send along the fallback.
    requestTable.setQuery(added.upstreamId, message);
    requestTable.setRoute(added.upstreamId, protocol, path, toNetwork);
    request.toNetwork = toNetwork;
    if (tick && !tick->isActive())
        tick->start();

    if (observed)
        emit signalSendReq(protocol, message, request, isIpV4);
    dispatch(protocol, std::move(message), std::move(request), upstreamV4);
}

void SnifferDnsUdp::dispatch(UserData::ETypeOfDnsProtocol protocol, QByteArray&& message,
                             DnsRequest&& request, bool isIpV4)
{
    RemoteDnsServer* server = remoteServers.value(protocol);
    if (!server)
        return;
    if (server->thread() == thread()) {
        server->slotSendReq(protocol, std::move(message), std::move(request), isIpV4);
        return;
    }
    if (readingBatch) {
        auto batch = std::find_if(outbound.begin(), outbound.end(),
                                  [server](const auto& entry) { return entry.first == server; });
        if (batch == outbound.end()) {
            outbound.emplace_back(server, QVector<Outbound>());
            batch = outbound.end() - 1;
        }
        batch->second.append(Outbound{protocol, std::move(message), std::move(request), isIpV4});
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

void SnifferDnsUdp::sendOutbound()
{
    for (auto& entry : outbound) {
        if (entry.second.isEmpty())
            continue;
        RemoteDnsServer* server = entry.first;
        QMetaObject::invokeMethod(
            server,
            [server, batch = std::move(entry.second)] {
                server->holdWrites();
                for (const Outbound& query : batch)
                    server->slotSendReq(query.protocol, query.message, query.request, query.isIpV4);
                server->sendHeld();
            },
            Qt::QueuedConnection);
        entry.second = QVector<Outbound>();
    }
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
    if (client.path >= 0 && !client.toNetwork) {
        const ResolverHealth::Change change = health.answered(client.path, now());
        if (change != ResolverHealth::Change::None)
            noteChange(client.path, change);
    }
    if (client.port == 0)
        return; // a probe of ours
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
    // Answers wait for the end of their transport's read (signalAnswersRead).
    if (held.size() >= DatagramSocket::maxBatch)
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

bool SnifferDnsUdp::isConnectivityCheck(const QString& domain)
{
    static const char* const names[] = {"www.msftconnecttest.com", "ipv6.msftconnecttest.com",
                                        "dns.msftncsi.com", "www.msftncsi.com", "ipv4only.arpa"};
    QString name = domain;
    if (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    for (const char* known : names) {
        if (name.compare(QLatin1String(known), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

SnifferDnsUdp::Rung SnifferDnsUdp::ladder(UserData::ETypeOfDnsProtocol protocol, bool isIpV4,
                                          const ResolverHealth& health, bool failClosed,
                                          bool connectivityCheck, bool* plainOverIpV4)
{
    const bool encrypted = protocol != UserData::DNS;
    if (health.isUp(ResolverHealth::path(protocol, encrypted || isIpV4)))
        return Rung::Chosen;
    // Plain UDP to the resolver, over the client's family or, where only the
    // other one answers (a network without IPv6, say), over that one.
    for (const bool v4 : {isIpV4, !isIpV4}) {
        const int plain = ResolverHealth::path(UserData::DNS, v4);
        if (v4 == isIpV4 ? encrypted && health.isUp(plain) : health.isProven(plain)) {
            if (plainOverIpV4)
                *plainOverIpV4 = v4;
            return Rung::PlainResolver;
        }
    }
    // The captive portal's login page must resolve before the service can.
    if (!failClosed || connectivityCheck)
        return Rung::Network;
    return Rung::Fail;
}

ResolverStatus SnifferDnsUdp::statusFor(UserData::ETypeOfDnsProtocol chosen, const ResolverHealth& health,
                                        bool failClosed)
{
    ResolverStatus result;
    result.chosen = QLatin1String(transportWord(chosen));
    const bool encrypted = chosen != UserData::DNS;
    // Either family's plain path filters every client (see ladder()).
    const int plainV4 = ResolverHealth::path(UserData::DNS, true);
    const int plainV6 = ResolverHealth::path(UserData::DNS, false);
    const bool plainUp = health.isUp(plainV4) || health.isProven(plainV6);
    const bool chosenUp = encrypted ? health.isUp(ResolverHealth::path(chosen, true)) : plainUp;
    if (chosenUp) {
        result.state = ResolverStatus::State::Filtered;
        result.inUse = result.chosen;
    } else if (encrypted && plainUp) {
        result.state = ResolverStatus::State::PlainDns;
        result.inUse = QStringLiteral("DNS");
        result.detail = result.chosen + QStringLiteral(" to the filtering service does not answer");
    } else {
        result.state = failClosed ? ResolverStatus::State::FailClosed : ResolverStatus::State::FailOpen;
        result.inUse = failClosed ? QString() : QStringLiteral("DNS");
        result.detail = QStringLiteral("the filtering service's resolver does not answer");
    }
    return result;
}

void SnifferDnsUdp::slotNetworkChanged()
{
    health.probeNow();
    if (health.anyDown() && tick && !tick->isActive())
        tick->start();
    // The encrypted transports' connections may lead nowhere now.
    for (RemoteDnsServer* server : qAsConst(remoteServers)) {
        if (server->thread() != thread())
            QMetaObject::invokeMethod(server, &RemoteDnsServer::slotNetworkChanged, Qt::QueuedConnection);
    }
}

void SnifferDnsUdp::connectionFailed(UserData::ETypeOfDnsProtocol protocol)
{
    // Only the transport in use: the other one connects at start too, and
    // probing a path nothing is sent on would only cost handshakes.
    if (UserData::getControlDNS() != UserData::ON || UserData::getDnsProtocol() != protocol)
        return;
    const int path = ResolverHealth::path(protocol, true);
    noteChange(path, health.failed(path, now()));
    if (health.anyDown() && tick && !tick->isActive())
        tick->start();
}

void SnifferDnsUdp::slotForgetHealth()
{
    health = ResolverHealth();
    updateStatus();
}

void SnifferDnsUdp::sendOn(const RequestTable::Unanswered& entry)
{
    const RequestTable::Client& client = entry.client;
    if (client.toNetwork || client.path < 0 || entry.query.isEmpty())
        return; // at the bottom of the ladder already
    const bool encrypted = ResolverHealth::protocolOf(client.path) != UserData::DNS;
    const bool sentOverIpV4 = ResolverHealth::isIpV4Path(client.path);
    qint8 path = -1;
    bool toNetwork = false;
    bool upstreamV4 = client.isIpV4;
    // The next plain-UDP path that it has not been sent on yet: the client's
    // family while up, the other one only where it has been answering.
    for (const bool v4 : {client.isIpV4, !client.isIpV4}) {
        const int plainPath = ResolverHealth::path(UserData::DNS, v4);
        const bool usable = v4 == client.isIpV4 ? health.isUp(plainPath) : health.isProven(plainPath);
        if ((encrypted || v4 != sentOverIpV4) && usable) {
            path = static_cast<qint8>(plainPath);
            upstreamV4 = v4;
            break;
        }
    }
    if (path >= 0) {
        // plain UDP to the resolver
    } else if (!UserData::getFailClosed()) {
        toNetwork = true;
    } else {
        return; // answered SERVFAIL when it expires
    }
    requestTable.setRoute(entry.upstreamId, UserData::DNS, path, toNetwork);
    bool wellFormed = false;
    DnsRequest request = DnsMessage::parseNumbers(entry.query, &wellFormed);
    if (!wellFormed)
        return;
    request.toNetwork = toNetwork;
    QByteArray message = entry.query;
    dispatch(UserData::DNS, std::move(message), std::move(request), upstreamV4);
}

void SnifferDnsUdp::answerFailure(const QByteArray& query, quint16 clientId, bool isIpV4, quint16 port)
{
    QByteArray answer = DnsMessage::serverFailure(query);
    const DatagramPeer& loopbackClient = isIpV4 ? clientV4 : clientV6;
    if (answer.isEmpty() || loopbackClient.isNull())
        return;
    DnsMessage::setId(answer, clientId);
    QVector<HeldAnswer>& held = isIpV4 ? heldV4 : heldV6;
    held.append(HeldAnswer{
        answer, {static_cast<char>(clientId >> 8), static_cast<char>(clientId & 0xFF)}, loopbackClient});
    held.last().client.setPort(port);
    sendHeldAnswers(isIpV4 ? socketV4 : socketV6, held);
}

void SnifferDnsUdp::sendProbe(int path)
{
    const qint64 t = now();
    health.probed(path, t);
    const auto protocol = static_cast<UserData::ETypeOfDnsProtocol>(ResolverHealth::protocolOf(path));
    const bool isIpV4 = ResolverHealth::isIpV4Path(path);
    QString name = resolverHost();
    if (name.isEmpty())
        name = UserData::getDomainName();
    QByteArray message = DnsMessage::query(0, name, DnsMessage::typeA);
    if (message.isEmpty())
        return;
    // Port 0: no client of ours; the answer only tells the path is back.
    const RequestTable::Added added = requestTable.add(0, ++probeSerial, isIpV4, t, message, protocol);
    DnsMessage::setId(message, added.upstreamId);
    requestTable.setQuery(added.upstreamId, message);
    requestTable.setRoute(added.upstreamId, protocol, static_cast<qint8>(path), false);
    bool wellFormed = false;
    DnsRequest request = DnsMessage::parseNumbers(message, &wellFormed);
    if (tick && !tick->isActive())
        tick->start();
    dispatch(protocol, std::move(message), std::move(request), isIpV4);
}

void SnifferDnsUdp::onTick()
{
    const qint64 t = now();
    const qint64 offset = QDateTime::currentMSecsSinceEpoch() - t;
    if (clockOffset != 0 && qAbs(offset - clockOffset) > resumeJumpMs) {
        qCInfo(snifferdnsudp) << "clock jumped by" << (offset - clockOffset) << "ms (resume?): probing";
        slotNetworkChanged();
    }
    clockOffset = offset;
    due.clear();
    requestTable.dueForRetry(t, RequestTable::defaultRetryAfterMs, due);
    for (const RequestTable::Unanswered& entry : due) {
        if (entry.client.path >= 0 && !entry.client.toNetwork)
            noteChange(entry.client.path, health.missed(entry.client.path, t, entry.client.time));
        if (entry.client.port != 0)
            sendOn(entry);
    }
    due.clear();
    requestTable.expire(t, &due);
    for (const RequestTable::Unanswered& entry : due) {
        if (entry.client.port != 0)
            answerFailure(entry.query, entry.client.id, entry.client.isIpV4, entry.client.port);
    }
    due.clear();
    for (int path = 0; path < ResolverHealth::pathCount; ++path) {
        if (health.probeDue(path, t))
            sendProbe(path);
    }
    updateStatus();
    if (requestTable.size() == 0 && !health.anyDown())
        tick->stop();
}

void SnifferDnsUdp::noteChange(int path, ResolverHealth::Change change)
{
    if (change == ResolverHealth::Change::None)
        return;
    const char* family = ResolverHealth::isIpV4Path(path) ? "IPv4" : "IPv6";
    const char* transport = transportWord(ResolverHealth::protocolOf(path));
    if (change == ResolverHealth::Change::Down) {
        qCWarning(snifferdnsudp).noquote()
            << QStringLiteral("RESOLVER DOWN %1 %2: no answer, probing every %3 s")
                   .arg(QLatin1String(transport), QLatin1String(family))
                   .arg(ResolverHealth::firstProbeMs / 1000);
    } else {
        qCWarning(snifferdnsudp).noquote()
            << QStringLiteral("RESOLVER UP %1 %2").arg(QLatin1String(transport), QLatin1String(family));
        // One path back says the network likely is: the others are asked now
        // rather than at the end of their grown wait.
        health.probeNow();
    }
    updateStatus();
}

void SnifferDnsUdp::updateStatus()
{
    statusControl = UserData::getControlDNS();
    statusProtocol = int(UserData::getDnsProtocol());
    const auto configured = static_cast<UserData::ETypeOfDnsProtocol>(statusProtocol);
    const UserData::ETypeOfDnsProtocol chosen =
        statusControl == UserData::ON && (configured == UserData::DOT || configured == UserData::DOH)
            ? configured
            : UserData::DNS;
    if (ready)
        publishStatus(statusFor(chosen, health, UserData::getFailClosed()));
}
