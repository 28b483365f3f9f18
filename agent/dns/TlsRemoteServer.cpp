#include "dns/TlsRemoteServer.h"

#include "dnswire/DnsMessage.h"
#include "logging/LogHex.h"
#include "logging/LogStream.h"
#include "settings/TrustAnchors.h"

#include <QSslSocket>
#include <QThread>
#include <QTimer>

TlsRemoteServer::TlsRemoteServer(UserData::ETypeOfDnsProtocol type, quint16 port, Category category,
                                 QObject* parent)
    : RemoteDnsServer(type, parent), port(port), category(category)
{
    clock.start();
}

TlsRemoteServer::~TlsRemoteServer()
{
    // The socket outlives this part of the object; it must not call back.
    if (socket)
        socket->disconnect(this);
}

QAbstractSocket::SocketState TlsRemoteServer::state() const
{
    return socket ? socket->state() : QAbstractSocket::UnconnectedState;
}

void TlsRemoteServer::disconnectFromHost() const
{
    if (socket)
        socket->disconnectFromHost();
    for (const TlsRemoteServer* other : spares)
        other->disconnectFromHost();
}

void TlsRemoteServer::holdWrites()
{
    holding = true;
    for (TlsRemoteServer* other : spares)
        other->holdWrites();
}

void TlsRemoteServer::sendHeld()
{
    holding = false;
    if (socket && socket->bytesToWrite() > 0)
        socket->flush();
    for (TlsRemoteServer* other : spares)
        other->sendHeld();
}

void TlsRemoteServer::endAnswerBatch()
{
    if (!answersHanded)
        return;
    answersHanded = false;
    // An HTTP/1.1 resolver sends each response in a read of its own: the
    // reads of every connection of the pool that were ready together end one
    // batch, at the next pass of the event loop, so their answers leave the
    // listener in one send instead of one each.
    TlsRemoteServer* pool = spare ? static_cast<TlsRemoteServer*>(parent()) : this;
    if (pool->batchEndPosted)
        return;
    pool->batchEndPosted = true;
    QMetaObject::invokeMethod(
        pool,
        [pool] {
            pool->batchEndPosted = false;
            emit pool->signalAnswersRead();
        },
        Qt::QueuedConnection);
}

bool TlsRemoteServer::ready() const
{
    return encryptedSession && socket && socket->state() == QAbstractSocket::ConnectedState;
}

quint64 TlsRemoteServer::droppedAnswers() const
{
    quint64 total = strayAnswers.total();
    for (const TlsRemoteServer* other : spares)
        total += other->droppedAnswers();
    return total;
}

int TlsRemoteServer::openConnections() const
{
    int open = state() != QAbstractSocket::UnconnectedState ? 1 : 0;
    for (const TlsRemoteServer* other : spares)
        open += other->openConnections();
    return open;
}

TlsRemoteServer* TlsRemoteServer::pickConnection()
{
    // Light traffic stays on the first connection; the resolver's idle
    // timeout closes the spares.
    if (ready() && waiting() < spareAt)
        return this;
    TlsRemoteServer* best = ready() ? this : nullptr;
    bool opening = false;
    for (TlsRemoteServer* other : spares) {
        if (other->ready()) {
            if (!best || other->waiting() < best->waiting())
                best = other;
        } else if (other->state() != QAbstractSocket::UnconnectedState) {
            opening = true;
        }
    }
    // Nothing set up: queries wait for the first connection, as they always
    // have; a spare only takes load off a working connection, one the
    // resolver has answered on (a resolver that drops every connection on
    // its first query must not see a pool of them).
    if (!best)
        return this;
    if (best->waiting() >= spareAt && best->answeredOnConnection && !opening)
        openSpare();
    return best;
}

void TlsRemoteServer::openSpare()
{
    // An idle spare the resolver closed comes back first.
    for (TlsRemoteServer* other : spares) {
        if (other->state() == QAbstractSocket::UnconnectedState && !other->reconnect->isActive()) {
            other->sessionTicket = sessionTicket;
            other->sessionPeer = sessionPeer;
            other->ensureConnecting();
            return;
        }
    }
    if (static_cast<int>(spares.size()) + 1 >= maxConnections)
        return;
    TlsRemoteServer* other = createSpare();
    if (!other)
        return;
    other->setParent(this);
    other->spare = true;
    other->maxConnections = 1;
    other->handshakeTimeout = handshakeTimeout;
    // Nothing to keep warm: the next burst opens it again.
    other->warmWindow = 0;
    other->sessionTicket = sessionTicket;
    other->sessionPeer = sessionPeer;
    connect(other, &RemoteDnsServer::signalReadyRead, this, &RemoteDnsServer::signalReadyRead);
    other->holding = holding;
    spares.push_back(other);
    qCInfo(log()) << "every connection is busy, opening connection" << spares.size() + 1;
    other->slotStart();
}

void TlsRemoteServer::refreshPeer()
{
    const QString name = UserData::getDnsHost();
    if (name == configuredName && !peer.isEmpty())
        return;
    configuredName = name;
    const QString host = resolverHost(name);
    if (host == peer)
        return;
    const bool wasOpen = socket && socket->state() != QAbstractSocket::UnconnectedState;
    peer = host;
    // Failures of the old resolver say nothing about the new one.
    backoffMs = initialBackoffMs;
    if (reconnect)
        reconnect->stop();
    if (wasOpen) {
        // The resolver's name changed: queries in flight on the old
        // connection go again to the new one.
        qCInfo(log()) << "resolver name changed to" << peer << ", reconnecting";
        droppedByUs = true;
        socket->abort();
    }
}

void TlsRemoteServer::slotStart()
{
    socket = new QSslSocket(this);
    deadline = new QTimer(this);
    deadline->setSingleShot(true);
    reconnect = new QTimer(this);
    reconnect->setSingleShot(true);
    connect(deadline, &QTimer::timeout, this, &TlsRemoteServer::onDeadline);
    connect(reconnect, &QTimer::timeout, this, &TlsRemoteServer::onBackoffOver);
    connect(socket, &QSslSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
        qCInfo(log()) << "State:" << state;
        onStateChanged(state);
    });
    connect(socket, &QSslSocket::connected, this,
            [this] { socket->setSocketOption(QAbstractSocket::LowDelayOption, 1); });
    connect(socket, &QSslSocket::encrypted, this, &TlsRemoteServer::onEncrypted);
    // TLS 1.3 hands its tickets over after the handshake.
    connect(socket, &QSslSocket::newSessionTicketReceived, this, &TlsRemoteServer::keepSession);
    connect(socket, &QSslSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError error) { qCInfo(log()) << "Socket error:" << error; });
    // A resolver that cannot prove to be the service's would see every name
    // the machine asks for and answer it: its connection fails like a
    // handshake that did not complete, and queries wait for the next one.
    connect(socket, QOverload<const QList<QSslError>&>::of(&QSslSocket::sslErrors), this,
            [this](const QList<QSslError>& errors) {
                qCWarning(log()) << "Ssl errors:" << errors << "from" << peer;
                // Qt drops the connection once this returns; the abort, out of
                // the socket's own signal, makes sure it ends at once.
                const quint64 rejected = attempts;
                QTimer::singleShot(0, this, [this, rejected] {
                    if (rejected == attempts && !encryptedSession &&
                        socket->state() != QAbstractSocket::UnconnectedState)
                        socket->abort();
                });
            });
    connect(socket, &QSslSocket::readyRead, this, &TlsRemoteServer::slotReadyReadRemote);
    refreshPeer();
    ensureConnecting();
    if (!spare)
        qCInfo(log()) << "START NEW THREAD" << QThread::currentThread();
}

void TlsRemoteServer::ensureConnecting()
{
    if (!socket || socket->state() != QAbstractSocket::UnconnectedState)
        return;
    // A pause after a failed connection, or an attempt already scheduled:
    // queued queries leave when it is over. An early reopen of an idle
    // connection is no such pause: a query does not wait for it.
    if (reconnect->isActive() && !reopenWarm)
        return;
    reconnect->stop();
    reopenWarm = false;
    // A reopen with no query behind it must not go to a resolver the
    // settings have left meanwhile.
    refreshPeer();
    if (peer.isEmpty()) {
        qCWarning(log()) << "no resolver name configured";
        return;
    }
    resetStream();
    wroteOnConnection = false;
    answeredOnConnection = false;
    droppedByUs = false;
    attemptStartedAt = now();
    ++attempts;
    // Read for every connection: trust anchors added meanwhile count.
    QSslConfiguration configuration = TrustAnchors::clientConfiguration();
    // Resuming the last session saves the certificate exchange (and a round
    // trip under TLS 1.2); the server decides whether it still takes it.
    configuration.setSslOption(QSsl::SslOptionDisableSessionPersistence, false);
    if (!sessionTicket.isEmpty() && sessionPeer == peer)
        configuration.setSessionTicket(sessionTicket);
    socket->setSslConfiguration(configuration);
    socket->connectToHostEncrypted(peer, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    armDeadline();
}

void TlsRemoteServer::armDeadline()
{
    if (!deadline)
        return;
    const bool handshaking = socket->state() != QAbstractSocket::UnconnectedState && !encryptedSession;
    qint64 due = -1;
    if (handshaking)
        due = attemptStartedAt + handshakeTimeout;
    const qint64 stall = stallDue();
    if (stall >= 0)
        due = due < 0 ? stall : qMin(due, stall);
    if (!queue.empty()) {
        const qint64 oldest = queue.begin()->second.queuedAt + queueLimit();
        due = due < 0 ? oldest : qMin(due, oldest);
    }
    if (due < 0) {
        deadline->stop();
        return;
    }
    deadline->start(static_cast<int>(qMax<qint64>(0, due - now())));
}

void TlsRemoteServer::onDeadline()
{
    const qint64 t = now();
    int dropped = 0;
    while (!queue.empty() && t - queue.begin()->second.queuedAt >= queueLimit()) {
        queue.erase(queue.begin());
        ++dropped;
    }
    if (dropped > 0)
        qCInfo(log()) << "no connection to the resolver within" << queueLimit() << "ms," << dropped
                      << "queries dropped";
    const bool handshaking = socket->state() != QAbstractSocket::UnconnectedState && !encryptedSession;
    if (handshaking && t - attemptStartedAt >= handshakeTimeout) {
        qCWarning(log()) << "handshake did not complete within" << handshakeTimeout << "ms";
        socket->abort(); // queries still queued start a new attempt (onStateChanged)
    }
    const qint64 stall = stallDue();
    if (stall >= 0 && t >= stall) {
        qCInfo(log()) << "connection stalled: nothing read for" << stallTimeoutMs << "ms while"
                      << inFlight.size() << "queries wait, reconnecting";
        socket->abort(); // the queries in flight go again on the next connection
    }
    armDeadline();
}

qint64 TlsRemoteServer::stallDue() const
{
    if (!encryptedSession || socket->state() != QAbstractSocket::ConnectedState)
        return -1;
    // Only queries sent since the connection last delivered anything: one
    // the resolver chose not to answer while it answers others is no stall.
    qint64 due = -1;
    for (auto it = inFlight.rbegin(); it != inFlight.rend() && it->second.readsBefore == reads; ++it)
        due = due < 0 ? it->second.sentAt : qMin(due, it->second.sentAt);
    return due < 0 ? -1 : due + stallTimeoutMs;
}

void TlsRemoteServer::slotNetworkChanged()
{
    if (!socket)
        return;
    // A new network: past failures say nothing about it.
    backoffMs = initialBackoffMs;
    reconnect->stop();
    if (socket->state() != QAbstractSocket::UnconnectedState) {
        qCInfo(log()) << "network changed, reconnecting";
        droppedByUs = true;
        socket->abort(); // the queries in flight go again on the next connection
    }
    for (TlsRemoteServer* other : spares)
        other->slotNetworkChanged();
    // Open again at once, idle or not: the first query should not wait for
    // a handshake that could have happened now. A spare waits for the next
    // burst, unless queries of its own wait.
    if (spare && queue.empty())
        return;
    ensureConnecting();
}

void TlsRemoteServer::onEncrypted()
{
    qCInfo(log()) << "Encrypted!";
    encryptedSession = true;
    encryptedAt = now();
    keepSession();
    flushQueue();
    armDeadline();
}

void TlsRemoteServer::keepSession()
{
    const QByteArray ticket = socket->sslConfiguration().sessionTicket();
    if (ticket.isEmpty())
        return;
    sessionTicket = ticket;
    sessionPeer = peer;
}

void TlsRemoteServer::onStateChanged(QAbstractSocket::SocketState state)
{
    if (state != QAbstractSocket::UnconnectedState)
        return;
    connectionClosed();
    endAnswerBatch();
    resetStream();
    const bool wasEncrypted = encryptedSession;
    encryptedSession = false;
    // Queries the resolver did not answer before the connection ended go
    // once more on the next connection.
    int resent = 0;
    int lost = 0;
    const qint64 t = now();
    for (auto& entry : inFlight) {
        Pending& pending = entry.second;
        if (pending.resent || t - pending.queuedAt >= inFlightLifetimeMs) {
            ++lost;
            continue;
        }
        pending.resent = true;
        queue.emplace(entry.first, std::move(pending));
        ++resent;
    }
    inFlight.clear();
    inFlightById.clear();
    if (resent > 0 || lost > 0)
        qCInfo(log()) << "connection closed with" << resent + lost << "queries unanswered," << resent
                      << "sent again";
    // Not set up, or ended by the resolver before it answered anything
    // written on it: the next attempt waits. A connection that answered, or
    // that was closed while idle (the resolver's idle timeout), is no sign
    // of trouble.
    const bool failed = !droppedByUs && (!wasEncrypted || (wroteOnConnection && !answeredOnConnection));
    const bool notSetUp = !droppedByUs && !wasEncrypted;
    droppedByUs = false;
    if (notSetUp)
        emit signalConnectionFailed();
    if (failed) {
        startBackoff();
    } else if (!queue.empty() && !reconnect->isActive()) {
        reconnect->start(0); // out of the socket's signal
    } else if (wasEncrypted && queue.empty() && lastAnswerAt >= 0 && t - lastAnswerAt < warmWindow) {
        // The resolver's idle timeout ended a connection of a recent burst:
        // the next one finds a connection ready instead of paying for a
        // handshake. Never sooner than minWarmLifetimeMs after the last one
        // was set up, so a resolver that closes at once is not hammered.
        const qint64 lived = t - encryptedAt;
        qCInfo(log()) << "idle connection closed" << t - lastAnswerAt << "ms after an answer, opened again";
        reopenWarm = true;
        if (!reconnect->isActive())
            reconnect->start(static_cast<int>(qMax<qint64>(0, minWarmLifetimeMs - lived)));
    }
    armDeadline();
}

void TlsRemoteServer::startBackoff()
{
    const int pause = backoffMs;
    backoffMs = qMin(backoffMs * 2, maxBackoffMs);
    qCInfo(log()) << "no answer from this connection, next attempt in" << pause << "ms";
    reconnect->start(pause);
}

void TlsRemoteServer::onBackoffOver()
{
    const bool warm = reopenWarm;
    reopenWarm = false;
    if (!queue.empty() || warm)
        ensureConnecting();
}

void TlsRemoteServer::write(QByteArray message, DnsRequest& request, bool isIpV4)
{
    if (!socket)
        return;
    refreshPeer();
    if (maxConnections > 1) {
        TlsRemoteServer* target = pickConnection();
        if (target != this) {
            target->write(std::move(message), request, isIpV4);
            return;
        }
    }
    const bool logging = debugOn(log());
    if (logging)
        LOG_DEBUG(log()).noquote() << "write() send to Proxy (https://" + peer + ")" << describe(request);
    markForResolver(message, log());
    Pending pending;
    pending.id = DnsMessage::id(message);
    pending.frame = buildRequest(message);
    pending.queuedAt = now();
    if (pending.frame.isEmpty()) {
        qCWarning(log()) << "query cannot be framed, dropped, size:" << message.size();
        return;
    }
    if (logging)
        LOG_DEBUG(log()) << "write" << message.size() << LogHex(pending.frame);
    if (encryptedSession && socket->state() == QAbstractSocket::ConnectedState) {
        send(std::move(pending));
        return;
    }
    enqueue(std::move(pending));
    ensureConnecting();
}

void TlsRemoteServer::enqueue(Pending pending)
{
    if (static_cast<int>(queue.size()) >= maxQueued) {
        queue.erase(queue.begin());
        qCWarning(log()) << "too many queries wait for the connection, the oldest is dropped";
    }
    queue.emplace(nextSeq++, std::move(pending));
    armDeadline();
}

void TlsRemoteServer::send(Pending pending)
{
    writeTracked(nextSeq++, std::move(pending));
}

void TlsRemoteServer::writeTracked(qint64 seq, Pending pending)
{
    const QByteArray frame = pending.frame;
    pending.sentAt = now();
    pending.readsBefore = reads;
    track(seq, std::move(pending));
    wroteOnConnection = true;
    // One write per query, pushed out at once, or with the last of a batch
    // the listener hands over: a query split over two writes, or held back
    // by the socket, waits for the peer's delayed ACK. The flush may deliver
    // answers (and even a close) before it returns, which is why the query
    // is tracked first.
    socket->write(frame);
    if (!holding)
        socket->flush();
    // An earlier deadline already covers this query's stall.
    if (!deadline->isActive())
        armDeadline();
}

void TlsRemoteServer::track(qint64 seq, Pending pending)
{
    const auto old = inFlightById.constFind(pending.id);
    if (old != inFlightById.constEnd())
        inFlight.erase(old.value());
    inFlightById.insert(pending.id, seq);
    inFlight.emplace(seq, std::move(pending));
    trimInFlight();
}

void TlsRemoteServer::flushQueue()
{
    // The queries that waited for the connection leave with one flush.
    const bool held = holding;
    holding = true;
    while (!queue.empty()) {
        if (!encryptedSession || socket->state() != QAbstractSocket::ConnectedState)
            break; // the connection went away meanwhile; the rest waits for the next one
        auto first = queue.begin();
        const qint64 seq = first->first;
        Pending pending = std::move(first->second);
        queue.erase(first);
        if (now() - pending.queuedAt >= queueLimit())
            continue;
        writeTracked(seq, std::move(pending));
    }
    holding = held;
    if (!holding && socket->bytesToWrite() > 0)
        socket->flush();
}

void TlsRemoteServer::trimInFlight()
{
    const qint64 t = now();
    while (!inFlight.empty() && (static_cast<int>(inFlight.size()) > maxInFlight ||
                                 t - inFlight.begin()->second.queuedAt >= inFlightLifetimeMs)) {
        inFlightById.remove(inFlight.begin()->second.id);
        inFlight.erase(inFlight.begin());
    }
}

void TlsRemoteServer::answerArrived(const QByteArray& answer)
{
    if (answer.size() < DnsMessage::headerSize) {
        qCWarning(log()) << "answer too short, dropped:" << answer.toHex();
        return;
    }
    // Only an answer to a query in flight on this connection is handed on
    // (the listener then checks its question); a second answer to one query,
    // or one to nothing we asked, is dropped.
    const auto found = inFlightById.find(DnsMessage::id(answer));
    if (found == inFlightById.end() || !DnsMessage::isResponse(answer)) {
        if (strayAnswers.count(now()) && debugOn(log()))
            LOG_DEBUG(log()) << "answer dropped, no such query in flight or not a response, ID:"
                             << DnsMessage::idText(DnsMessage::id(answer))
                             << "not logged:" << strayAnswers.takeUnlogged();
        return;
    }
    // The resolver works: a later failure starts again from the shortest pause.
    answeredOnConnection = true;
    lastAnswerAt = now();
    backoffMs = initialBackoffMs;
    // An answer over a spare proves the resolver works for the whole pool:
    // the pool's own connection, if it failed meanwhile, starts again from
    // the shortest pause as well.
    if (spare)
        static_cast<TlsRemoteServer*>(parent())->backoffMs = initialBackoffMs;
    inFlight.erase(found.value());
    inFlightById.erase(found);
    answersHanded = true;
    emit signalReadyRead(answer);
}

void TlsRemoteServer::responseWithoutAnswer()
{
    if (inFlight.empty())
        return;
    inFlightById.remove(inFlight.begin()->second.id);
    inFlight.erase(inFlight.begin());
}

void TlsRemoteServer::abortConnection(const QString& reason)
{
    qCWarning(log()) << "resolver stream broken, connection dropped:" << reason;
    socket->abort();
}

void TlsRemoteServer::slotReadyReadRemote()
{
    const QByteArray bytes = socket->readAll();
    if (bytes.isEmpty())
        return;
    ++reads;
    readStream(bytes);
    endAnswerBatch();
}
