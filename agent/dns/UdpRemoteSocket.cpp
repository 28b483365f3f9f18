#include "dns/UdpRemoteSocket.h"

#include "dns/DnsLogging.h"
#include "dnswire/DnsMessage.h"
#include "logging/LogHex.h"
#include "logging/LogStream.h"

#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

namespace {

// Room for bursts of answers while the thread is busy.
constexpr int receiveBufferBytes = 1 << 20;
// Largest UDP payload, so that no answer is ever cut.
constexpr int largestDatagram = 65536;

} // namespace

UdpRemoteSocket::Upstream::~Upstream()
{
    // The notifier goes before its descriptor is closed.
    delete notifier;
}

UdpRemoteSocket::UdpRemoteSocket(QObject* parent, quint16 port)
    : RemoteDnsServer(UserData::DNS, parent), port(port)
{
    clock.start();
}

UdpRemoteSocket::~UdpRemoteSocket() = default;

QAbstractSocket::SocketState UdpRemoteSocket::state() const
{
    return active.empty() ? QAbstractSocket::UnconnectedState : QAbstractSocket::BoundState;
}

void UdpRemoteSocket::setPoolLimits(int size, int afterQueries, qint64 minAgeMs, qint64 maxAgeMs)
{
    poolSize = qBound(1, size, 64);
    rotateAfterQueries = qMax(1, afterQueries);
    rotateMinAgeMs = qMax<qint64>(0, minAgeMs);
    rotateMaxAgeMs = qMax<qint64>(1, maxAgeMs);
}

std::unique_ptr<UdpRemoteSocket::Upstream> UdpRemoteSocket::open()
{
    auto upstream = std::make_unique<Upstream>();
    // Port 0: the system picks a free port at random (Linux and Windows
    // both randomise it); never a fixed one.
    if (!upstream->socket.bind(QHostAddress(QHostAddress::Any), 0)) {
        // Out of descriptors, most likely: the sockets we have go on serving.
        if (openFailures.count(now()))
            qCWarning(udp_remotesocket) << "upstream socket not opened:" << upstream->socket.errorString()
                                        << "failures so far:" << openFailures.total();
        openFailedAt = now();
        return nullptr;
    }
    openFailedAt = -1;
    upstream->socket.setReceiveBufferSize(receiveBufferBytes);
    upstream->serial = nextSerial++;
    if (nextSerial == 0)
        nextSerial = 1;
    upstream->openedAt = now();
    Upstream* raw = upstream.get();
    upstream->notifier = new QSocketNotifier(upstream->socket.descriptor(), QSocketNotifier::Read, this);
    connect(upstream->notifier, &QSocketNotifier::activated, this, [this, raw] { readAnswers(raw); });
    return upstream;
}

void UdpRemoteSocket::fillPool()
{
    while (static_cast<int>(active.size()) < poolSize) {
        std::unique_ptr<Upstream> upstream = open();
        if (!upstream)
            return;
        if (active.empty() || upstream->socket.addressFamily() != family) {
            // Peers are in the socket's address family: made again for this one.
            family = upstream->socket.addressFamily();
            resolverTextV4.clear();
            resolverTextV6.clear();
            resolverV4 = DatagramPeer();
            resolverV6 = DatagramPeer();
            if (!active.empty())
                continue; // a pool is of one family; cannot happen short of a system change
        }
        active.push_back(std::move(upstream));
    }
}

void UdpRemoteSocket::slotStart()
{
    // Sockets of an earlier run of the thread lost their notifiers with its
    // event loop: all are made anew.
    heldMessages.clear();
    heldPeers.clear();
    heldSockets.clear();
    holding = false;
    current = nullptr;
    active.clear();
    draining.clear();
    delete maintenance;
    maintenance = new QTimer(this);
    connect(maintenance, &QTimer::timeout, this, &UdpRemoteSocket::slotMaintenance);
    maintenance->start(1000);
    if (!sentById)
        sentById.reset(new Sent[65536]);
    else
        for (int i = 0; i < 65536; ++i)
            sentById[i].serial = 0;
    if (!receiveBuffer) {
        receiveBuffer.reset(new char[static_cast<size_t>(receiveSlots) * largestDatagram]);
        for (int i = 0; i < receiveSlots; ++i) {
            received[static_cast<size_t>(i)].data =
                receiveBuffer.get() + static_cast<size_t>(i) * largestDatagram;
            received[static_cast<size_t>(i)].capacity = largestDatagram;
        }
    }
    fillPool();
    if (active.empty())
        qCWarning(udp_remotesocket) << "no upstream socket, queries wait for one";
    // The machine's domain membership is detected once per process; reading
    // it here keeps the per-query path free of it.
    const QPair<int, QString> mode = ConstData::getWorkingMode();
    workingMode = mode.first;
    adDomain = mode.second.toLower();
    qCInfo(udp_remotesocket) << "START NEW THREAD" << QThread::currentThread();
}

void UdpRemoteSocket::slotMaintenance()
{
    closeDrained();
    if (!holding) {
        rotateDue();
        fillPool();
    }
}

void UdpRemoteSocket::closeDrained()
{
    const qint64 t = now();
    while (!draining.empty() && draining.front()->closeAt <= t)
        draining.pop_front();
}

void UdpRemoteSocket::rotateDue()
{
    const qint64 t = now();
    // After a failed open, a second before the next try: a system out of
    // descriptors is not asked again for every query.
    if (openFailedAt >= 0 && t - openFailedAt < 1000)
        return;
    for (auto& upstream : active) {
        const qint64 age = t - upstream->openedAt;
        const bool due =
            age >= rotateMaxAgeMs || (upstream->sent >= rotateAfterQueries && age >= rotateMinAgeMs);
        if (!due)
            continue;
        std::unique_ptr<Upstream> fresh = open();
        if (!fresh)
            return; // the old one keeps serving
        upstream->closeAt = t + drainMs;
        if (current == upstream.get())
            current = nullptr;
        draining.push_back(std::move(upstream));
        upstream = std::move(fresh);
        if (static_cast<int>(draining.size()) > maxDraining)
            draining.pop_front();
    }
}

UdpRemoteSocket::Upstream* UdpRemoteSocket::findOpen(quint32 serial) const
{
    for (const auto& upstream : active) {
        if (upstream->serial == serial)
            return upstream.get();
    }
    for (const auto& upstream : draining) {
        if (upstream->serial == serial)
            return upstream.get();
    }
    return nullptr;
}

UdpRemoteSocket::Upstream* UdpRemoteSocket::pick(quint16 upstreamId, bool local, const DatagramPeer& peer)
{
    const Sent& sent = sentById[upstreamId];
    // The listener resends a client's repeated query under the same ID: it
    // leaves from the socket the first copy left from, so that the answer to
    // either is taken.
    if (sent.serial != 0 && sent.local == local && (local || sent.peer.sameEndpoint(peer))) {
        if (Upstream* earlier = findOpen(sent.serial))
            return earlier;
    }
    // Queries leave from one socket for a short while, then from another
    // picked at random: under load their answers then come in on one socket
    // at a time and are read, and sent on to the clients, many per call.
    const qint64 t = now();
    if (!current || t >= currentUntil) {
        current = active.at(random.bounded(static_cast<quint32>(active.size()))).get();
        currentUntil = t + currentForMs;
    }
    return current;
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
        cached = reference()->peer(QHostAddress(text), port);
    }
    return cached;
}

void UdpRemoteSocket::send(const QByteArray& message, const DatagramPeer& peer, Upstream* from)
{
    ++from->sent;
    if (holding) {
        heldMessages.append(message);
        heldPeers.append(peer);
        heldSockets.append(from);
        if (heldMessages.size() >= DatagramSocket::maxBatch) {
            sendHeld();
            holding = true;
        }
        return;
    }
    DatagramSocket::Outgoing one;
    one.body = message.constData();
    one.bodySize = message.size();
    one.peer = &peer;
    from->socket.send(&one, 1);
    rotateDue();
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
    // One call per run of queries from the same socket: a batch is one run,
    // unless a resent query went from its first copy's socket.
    int first = 0;
    for (int i = 1; i <= heldSockets.size(); ++i) {
        if (i == heldSockets.size() || heldSockets.at(i) != heldSockets.at(first)) {
            heldSockets.at(first)->socket.send(outgoing.constData() + first, i - first);
            first = i;
        }
    }
    heldMessages.clear();
    heldPeers.clear();
    heldSockets.clear();
    rotateDue();
}

void UdpRemoteSocket::forget(quint16 upstreamId)
{
    if (sentById)
        sentById[upstreamId].serial = 0;
}

void UdpRemoteSocket::write(QByteArray message, DnsRequest& request, bool isIpV4)
{
    if (active.empty()) {
        // Out of descriptors at the last try: asked again once a second at most.
        if (openFailedAt < 0 || now() - openFailedAt >= 1000)
            fillPool();
        if (active.empty())
            return; // no socket to be had (out of descriptors): the client asks again
    }
    const bool logging = debugOn(udp_remotesocket());
    const quint16 upstreamId = DnsMessage::id(message);
    // The listener hands plain-UDP queries over with the numbers only; the
    // texts are made here when a log line or the domain check needs them,
    // from the message as it arrived (before marking).
    if (request.id.isEmpty() && (logging || workingMode == 2))
        DnsMessage::fillTexts(message, request);
    DatagramSocket& sock = *reference();
    if (request.toNetwork || isLocalQuery(request, workingMode, adDomain)) {
        const QStringList servers =
            localServers(isIpV4 ? UserData::getSavedIpV4Dns() : UserData::getSavedIpV6Dns(),
                         isIpV4 ? ConstData::getLocalHostV4() : ConstData::getLocalHostV6());
        Upstream* from = nullptr;
        for (const QString& server : servers) {
            if (logging) {
                LOG_DEBUG(udp_remotesocket).noquote()
                    << "sendToRemote() send to Local (" + server + ")" << describe(request);
            }
            const DatagramPeer peer = sock.peer(QHostAddress(server), port);
            if (peer.isNull()) {
                qCWarning(udp_remotesocket) << "saved DNS server is not an address:" << server;
                continue;
            }
            // Every copy from one socket: any of the servers may answer.
            if (!from) {
                from = pick(upstreamId, true, peer);
                Sent& sent = sentById[upstreamId];
                sent.serial = from->serial;
                sent.local = true;
            }
            send(message, peer, from);
        }
    } else {
        const DatagramPeer& resolver = resolverPeer(isIpV4);
        if (logging) {
            LOG_DEBUG(udp_remotesocket).noquote()
                << "sendToRemote() send to Proxy (" + (isIpV4 ? resolverTextV4 : resolverTextV6) + ")"
                << describe(request);
        }
        markForResolver(message, udp_remotesocket());
        if (resolver.isNull()) {
            qCWarning(udp_remotesocket)
                << "resolver address is not an address:" << (isIpV4 ? resolverTextV4 : resolverTextV6);
        } else {
            Upstream* from = pick(upstreamId, false, resolver);
            Sent& sent = sentById[upstreamId];
            sent.serial = from->serial;
            sent.local = false;
            sent.peer = resolver;
            send(message, resolver, from);
        }
    }
    if (logging)
        LOG_DEBUG(udp_remotesocket) << "writeDatagram" << LogHex(message);
}

bool UdpRemoteSocket::fromExpectedPeer(const Sent& sent, const DatagramPeer& source) const
{
    if (!sent.local)
        return source.sameEndpoint(sent.peer);
    // A local query went to every saved server of its family; the lists are
    // read again (rare: SRV and names of the machine's domain).
    const DatagramSocket* sock = reference();
    if (!sock)
        return false;
    for (const bool v4 : {true, false}) {
        const QStringList servers =
            localServers(v4 ? UserData::getSavedIpV4Dns() : UserData::getSavedIpV6Dns(),
                         v4 ? ConstData::getLocalHostV4() : ConstData::getLocalHostV6());
        for (const QString& server : servers) {
            if (source.sameEndpoint(sock->peer(QHostAddress(server), port)))
                return true;
        }
    }
    return false;
}

void UdpRemoteSocket::slotReadyReadRemote()
{
    for (const auto& upstream : active)
        readAnswers(upstream.get());
    for (const auto& upstream : draining)
        readAnswers(upstream.get());
}

void UdpRemoteSocket::readAnswers(Upstream* from)
{
    // Each call reads every answer waiting, up to receiveSlots; one that
    // returns fewer found the socket drained, so no further call is made to
    // learn that it is empty (the notifier fires again for later answers).
    const bool logging = debugOn(udp_remotesocket());
    for (int total = 0; total < readBatch;) {
        const int read = from->socket.receive(received.data(), receiveSlots);
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
            const auto* bytes = reinterpret_cast<const uchar*>(message.data);
            // Only a response to a query of ours that left from this socket,
            // from where that query went, is handed on; the listener then
            // checks the question. Forged or stray datagrams are counted,
            // and logged (without their content) at most a few times a second.
            if ((bytes[2] & 0x80) == 0) {
                if (notAnswers.count(now()) && logging)
                    LOG_DEBUG(udp_remotesocket)
                        << "answer dropped, not a response, FROM:" << message.peer.address()
                        << "not logged:" << notAnswers.takeUnlogged();
                continue;
            }
            const quint16 id = static_cast<quint16>((bytes[0] << 8) | bytes[1]);
            const Sent& sent = sentById[id];
            if (sent.serial != from->serial) {
                if (wrongSocket.count(now()) && logging)
                    LOG_DEBUG(udp_remotesocket)
                        << "answer dropped, no query with its ID left from this port, FROM:"
                        << message.peer.address() << message.peer.port()
                        << "not logged:" << wrongSocket.takeUnlogged();
                continue;
            }
            if (!fromExpectedPeer(sent, message.peer)) {
                if (wrongSource.count(now()) && logging)
                    LOG_DEBUG(udp_remotesocket)
                        << "answer dropped, not from where its query went, FROM:" << message.peer.address()
                        << message.peer.port() << "not logged:" << wrongSource.takeUnlogged();
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
                const QHostAddress source = message.peer.address();
                if (printedPeerText.isEmpty() || source != printedPeer) {
                    printedPeer = source;
                    printedPeerText.clear();
                    QDebug(&printedPeerText).nospace() << source;
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
