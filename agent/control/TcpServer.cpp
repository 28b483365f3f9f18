#include "control/TcpServer.h"

#include "common/ControlFrame.h"
#include "common/ControlStatus.h"
#include "common/MessageNames.h"
#include "common/PayloadKeys.h"
#include "control/ControlLogging.h"
#include "platform/TcpListener.h"
#include "settings/UserData.h"

#include <QDateTime>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <QTimerEvent>
#include <QtEndian>

#include <algorithm>

namespace {

// A connection may leave at most this much unread in the agent before the
// socket stops reading from the network (TCP then slows the sender down).
// Frames are gathered by the connection's FrameReader, so the socket itself
// only needs room for one read; a larger buffer only raises what a burst of
// clients makes the agent allocate at once, and the allocator keeps that high
// level resident long after the clients have gone.
constexpr qint64 readBufferLimit = 16 * 1024;

// The commands the agent takes, one row each, in the order they are tested:
// the name, the signal it raises (a plain one, or one that carries the
// message's "data" object), and whether the PIN guards it: while sign-in data
// is stored, only a connection that has given the PIN may send a guarded
// command. The guarded ones change the machine's protection or its sign-in,
// or report on the machine and the account. CREATEPIN and CHANGENETINTERFACE
// are guarded as well: a new PIN would open every other command, and an
// interface switched off is filtering switched off for it. The reports hold
// the machine's details and the upload goes out signed with the user's
// credentials. (A PIN may also be created right after a sign-in on the same
// connection: analysisReceivedMessage.)
struct Command
{
    const char* name;
    void (TcpServer::*plain)();
    void (TcpServer::*withData)(QJsonObject);
    bool needsPin;
};

constexpr bool guarded = true;
constexpr bool unguarded = false;

const Command commands[] = {
    {MessageNames::GetVersion, &TcpServer::signalGetVersion, nullptr, unguarded},
    {MessageNames::Login, &TcpServer::signalLogin, nullptr, unguarded},
    {MessageNames::Logout, &TcpServer::signalLogout, nullptr, guarded},
    {MessageNames::StatusFilteringLocal, nullptr, &TcpServer::signalFilteringStatusLocal, guarded},
    {MessageNames::GetProfiles, &TcpServer::signalGetProfiles, nullptr, unguarded},
    {MessageNames::GetProfileId, &TcpServer::signalGetProfileId, nullptr, unguarded},
    {MessageNames::SetProfileId, nullptr, &TcpServer::signalSetProfileId, guarded},
    {MessageNames::GetSystemInfo, &TcpServer::signalGetSystemInfo, nullptr, guarded},
    {MessageNames::GetDebug, &TcpServer::signalGetDebug, nullptr, guarded},
    {MessageNames::SendDebugInfo, &TcpServer::signalSendDebugInfo, nullptr, guarded},
    {MessageNames::GetSettings, &TcpServer::signalGetSettings, nullptr, unguarded},
    {MessageNames::CheckAuth, nullptr, &TcpServer::signalCheckAuth, guarded},
    {MessageNames::CreatePin, nullptr, &TcpServer::signalCreatePin, guarded},
    {MessageNames::CheckPin, nullptr, &TcpServer::signalCheckPin, unguarded},
    {MessageNames::AuthData, &TcpServer::signalAuthData, nullptr, unguarded},
    {MessageNames::GetCoordGui, &TcpServer::signalGetCoord, nullptr, unguarded},
    {MessageNames::SetCoordGui, nullptr, &TcpServer::signalSetCoord, unguarded},
    {MessageNames::ChangeStatusLog, &TcpServer::signalChangeStatusLog, nullptr, guarded},
    {MessageNames::ChangeDnsProtocol, nullptr, &TcpServer::signalChangeDnsProtocol, guarded},
    {MessageNames::ChangeNetInterface, nullptr, &TcpServer::signalChangeNetInterface, guarded},
};

} // namespace

TcpServer::TcpServer(quint16 port, QObject* parent)
    : QObject(parent), server(new TcpListener(this)), serverV6(new TcpListener(this)), wantedPort(port)
{
    clock.start();
    signInStored = [] { return UserData::checkAuthData(); };
    wallClock = [] { return QDateTime::currentMSecsSinceEpoch(); };
    loadGuard = [] {
        PinGuard::State state;
        UserData::getPinLockOut(state.wrongInRow, state.lockOuts, state.lockedUntilMs);
        return state;
    };
    storeGuard = [](const PinGuard::State& state) {
        UserData::setPinLockOut(state.wrongInRow, state.lockOuts, state.lockedUntilMs);
    };
    loadPinGuard();
    // slotNewConnection takes every pending connection at once; a larger
    // limit only matters where the listener's notifications arrive late (a
    // command waiting for the backend), and then Qt must not stop taking
    // connections from the system's queue after the second one.
    server->setMaxPendingConnections(maxClients);
    serverV6->setMaxPendingConnections(maxClients);
    connect(server, &TcpListener::signalNewConnection, this, &TcpServer::slotNewConnection);
    connect(serverV6, &TcpListener::signalNewConnection, this, &TcpServer::slotNewConnection);
    tryBind();
    qCInfo(local_socket) << "CREATE";
}

TcpServer::~TcpServer()
{
    // The sockets die with the listening servers below; they must not call
    // back into this half-destroyed object when they close.
    for (const auto& client : clients) {
        if (client->socket)
            client->socket->disconnect(this);
    }
    currentId = 0;
    clients.clear();
}

bool TcpServer::listenOn(TcpListener* listener, const QHostAddress& address, quint16 port)
{
    if (listener->isListening())
        return true;
    if (listener->listen(address, port))
        return true;
    listener->close();
    return false;
}

void TcpServer::tryBind()
{
    // Loopback only: whoever reaches this port may switch filtering off or
    // sign the machine out, so it must not be reachable from the network.
    // A port that another program holds is not given up: whoever holds it
    // would receive the PINs and passwords meant for the agent, so the agent
    // keeps trying until the port is its own, and says so once each way.
    ++bindAttempts;
    const bool wasListening = server->isListening();
    if (!listenOn(server, QHostAddress::LocalHost, wantedPort)) {
        if (bindAttempts == 1) {
            qCCritical(local_socket).noquote()
                << QStringLiteral("Unable to start server:") + server->errorString();
            qCCritical(local_socket).noquote()
                << QStringLiteral("CONTROL PORT %1 TAKEN, RETRYING EVERY %2 MS")
                       .arg(wantedPort)
                       .arg(bindRetryMs);
        }
        if (!bindRetry.isActive())
            bindRetry.start(bindRetryMs, this);
        return;
    }
    if (!wasListening && bindAttempts > 1) {
        qCWarning(local_socket).noquote() << QStringLiteral("CONTROL PORT %1 BOUND AFTER %2 ATTEMPTS")
                                                 .arg(server->serverPort())
                                                 .arg(bindAttempts);
    }
    bool retryV6 = false;
    if (!serverV6->isListening() && !listenOn(serverV6, QHostAddress::LocalHostIPv6, server->serverPort())) {
        // No IPv6 loopback is no reason to retry; a taken ::1 port is.
        retryV6 = serverV6->serverError() == QAbstractSocket::AddressInUseError;
        if (!wasListening)
            qCWarning(local_socket).noquote()
                << QStringLiteral("Unable to listen on ::1:") + serverV6->errorString();
    }
    if (retryV6) {
        if (!bindRetry.isActive())
            bindRetry.start(bindRetryMs, this);
        return;
    }
    bindRetry.stop();
}

void TcpServer::setBindRetryMs(int intervalMs)
{
    bindRetryMs = intervalMs;
    if (bindRetry.isActive())
        bindRetry.start(bindRetryMs, this);
}

void TcpServer::timerEvent(QTimerEvent* event)
{
    if (event->timerId() == bindRetry.timerId()) {
        tryBind();
        return;
    }
    QObject::timerEvent(event);
}

void TcpServer::setPinGuardStore(std::function<PinGuard::State()> load,
                                 std::function<void(const PinGuard::State&)> store)
{
    loadGuard = std::move(load);
    storeGuard = std::move(store);
    loadPinGuard();
}

void TcpServer::loadPinGuard()
{
    const PinGuard::State stored = loadGuard();
    guard = PinGuard(stored, wallClock());
    // Written back only when it had to be repaired.
    if (guard.state() != stored)
        saveGuard();
}

void TcpServer::setWallClock(std::function<qint64()> clockMs)
{
    wallClock = std::move(clockMs);
}

void TcpServer::saveGuard()
{
    if (storeGuard)
        storeGuard(guard.state());
}

quint16 TcpServer::serverPort() const
{
    return server->isListening() ? server->serverPort() : 0;
}

bool TcpServer::isListening() const
{
    return server->isListening();
}

int TcpServer::clientCount() const
{
    return static_cast<int>(
        std::count_if(clients.begin(), clients.end(),
                      [](const std::unique_ptr<Clients>& c) { return !c->socket.isNull(); }));
}

int TcpServer::clientCount(int type) const
{
    return static_cast<int>(
        std::count_if(clients.begin(), clients.end(), [type](const std::unique_ptr<Clients>& c) {
            return !c->socket.isNull() && c->type == type;
        }));
}

QString TcpServer::loggable(const QString& text, int limit)
{
    QString shown = text.left(limit);
    // Never half of a surrogate pair at the cut.
    if (!shown.isEmpty() && shown.at(shown.size() - 1).isHighSurrogate())
        shown.chop(1);
    for (QChar& c : shown) {
        const QChar::Category category = c.category();
        if (c.unicode() < 0x20 || c.unicode() == 0x7F || category == QChar::Other_Control ||
            category == QChar::Separator_Line || category == QChar::Separator_Paragraph ||
            category == QChar::Other_Format)
            c = QLatin1Char('?');
    }
    if (text.size() > shown.size())
        shown += QStringLiteral("...");
    return shown;
}

int TcpServer::classifyFirstBytes(const QByteArray& bytes)
{
    // What a browser sends first: a page's fetch or form reaches this port as
    // an HTTP request, whose method reads as a huge frame length.
    static const char* const methods[] = {"GET ", "POST", "PUT ", "OPTI", "HEAD",
                                          "DELE", "PATC", "CONN", "TRAC"};
    if (bytes.size() >= 4) {
        for (const char* method : methods) {
            if (bytes.startsWith(method))
                return 2;
        }
    }
    if (bytes.size() < 2)
        return 0;
    const quint16 length = qFromBigEndian<quint16>(bytes.constData());
    // A greeting is a short string: its 4-byte count and a few dozen UTF-16 units.
    if (length < 4 + 2 * 8 || length > maxGreetingFrameBytes)
        return 3;
    return 1;
}

void TcpServer::slotNewConnection()
{
    auto* listener = qobject_cast<TcpListener*>(sender());
    if (!listener)
        return;
    while (listener->hasPendingConnections()) {
        QTcpSocket* socket = listener->nextPendingConnection();
        if (!socket)
            return;
        if (clientCount() >= maxClients) {
            refuse(socket);
            continue;
        }
        // Connections that have not greeted have a class of their own: a
        // burst of them closes the oldest of them, never a greeted client, and
        // a newcomer (the tray program greets at once) still gets in.
        if (clientCount(0) >= maxUngreetedClients) {
            Clients* oldest = nullptr;
            for (const auto& c : clients) {
                if (c->socket && c->type == 0 && (!oldest || c->connectedAtMs < oldest->connectedAtMs))
                    oldest = c.get();
            }
            if (refusedWhileFull == 0)
                qCWarning(local_socket) << "TOO MANY CLIENTS NOT GREETED, OLDEST CLOSED";
            ++refusedWhileFull;
            ++refusedTotal;
            // Making room is not the pressure ending: no count line for it.
            evicting = true;
            if (oldest)
                drop(oldest, nullptr);
            evicting = false;
        }
        qCInfo(local_socket) << "CLIENT CONNECTION";
        socket->setReadBufferSize(readBufferLimit);
        auto client = std::make_unique<Clients>();
        client->id = nextId++;
        client->socket = socket;
        client->connectedAtMs = monotonicMs();
        client->reader.setMaxFrameBytes(maxClientFrameBytes);
        auto* deadline = new QTimer(socket);
        deadline->setSingleShot(true);
        client->deadline = deadline;
        const quint64 id = client->id;
        connect(deadline, &QTimer::timeout, this, [this, id] { onDeadline(id); });
        connect(socket, &QTcpSocket::disconnected, this, &TcpServer::slotDisconnection);
        connect(socket, &QTcpSocket::readyRead, this, &TcpServer::slotReadClient);
        clients.push_back(std::move(client));
        Clients* added = clients.back().get();
        added->deadlineKind = GreetingDeadline;
        deadline->start(greetingTimeoutMs);
    }
}

void TcpServer::refuse(QTcpSocket* socket)
{
    // One line when the limit is reached and one with the count once there is
    // room again: a process that opens thousands of connections must not
    // flood the log as well.
    if (refusedWhileFull == 0)
        qCWarning(local_socket) << "TOO MANY CLIENTS, CONNECTION REFUSED";
    ++refusedWhileFull;
    ++refusedTotal;
    // Closed at once, so the excess never holds a descriptor; nothing is
    // connected to the socket yet, so it can go right away as well.
    socket->abort();
    delete socket;
}

void TcpServer::drop(Clients* client, const char* why)
{
    if (why)
        qCWarning(local_socket) << why;
    client->queue.clear();
    if (currentId == client->id)
        currentId = 0;
    if (signInHolder == client->id)
        signInHolder = 0;
    if (QTcpSocket* socket = client->socket) {
        client->socket = nullptr;
        socket->disconnect(this);
        // Called from the socket's own signals too: its deletion waits for
        // the event loop.
        socket->abort();
        socket->deleteLater();
    }
    if (client->busy == 0)
        release(client->id);
}

void TcpServer::release(quint64 id)
{
    const auto it = std::find_if(clients.begin(), clients.end(),
                                 [id](const std::unique_ptr<Clients>& c) { return c->id == id; });
    if (it == clients.end() || (*it)->busy > 0)
        return;
    clients.erase(it);
    if (!evicting && refusedWhileFull > 0 && clientCount(0) < maxUngreetedClients &&
        clientCount() < maxClients) {
        qCWarning(local_socket).noquote()
            << QStringLiteral("CONNECTIONS REFUSED WHILE FULL: %1").arg(refusedWhileFull);
        refusedWhileFull = 0;
    }
}

void TcpServer::slotDisconnection()
{
    qCInfo(local_socket) << "CLIENT DISCONNECTION";
    auto* socket = qobject_cast<QTcpSocket*>(sender());
    if (!socket)
        return;
    Clients* client = findClient(socket);
    if (!client) {
        socket->deleteLater();
        return;
    }
    if (client->type == 1)
        qCInfo(local_socket) << "BYE GUI";
    else if (client->type == 2)
        qCInfo(local_socket) << "BYE SUPPORT";
    // A client leaving in the middle of its command is normal: the entry stays
    // until the handler returns, and the late answer is dropped.
    drop(client, nullptr);
}

void TcpServer::slotReadClient()
{
    auto* socket = qobject_cast<QTcpSocket*>(sender());
    if (!socket)
        return;
    Clients* client = findClient(socket);
    if (!client) {
        socket->readAll();
        return;
    }
    readFrom(client);
}

void TcpServer::readFrom(Clients* client)
{
    // Runs inside the socket's readyRead (or from the dispatcher): it only
    // reads, checks and queues, and never calls out of this class, so nothing
    // here can wait in a nested event loop with the socket's signal below.
    QTcpSocket* socket = client->socket;
    while (socket && socket->bytesAvailable() > 0 &&
           static_cast<int>(client->queue.size()) < maxQueuedCommands) {
        if (!client->greetingRead && client->reader.pendingBytes() == 0) {
            const QByteArray head = socket->peek(4);
            const int kind = classifyFirstBytes(head);
            if (kind == 2) {
                drop(client, "HTTP REQUEST ON THE CONTROL PORT, CLOSING");
                return;
            }
            if (kind == 3) {
                drop(client, "NOT A GREETING, CLOSING");
                return;
            }
            if (kind == 0 && socket->bytesAvailable() < 4)
                break;
        }
        // Never more than one frame's worth of bytes ahead of the queue.
        const QVector<QString> texts = client->reader.feed(socket->read(readBufferLimit));
        for (const QString& text : texts) {
            QJsonParseError error{};
            const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
            const QJsonValue info = document.object().value(PayloadKeys::Info);
            if (error.error != QJsonParseError::NoError || !document.isObject() || !info.isString()) {
                drop(client, "BAD FRAME, CLOSING: not a JSON object with a name");
                return;
            }
            const QString name = info.toString();
            const bool greeting = name == QLatin1String(MessageNames::HelloGui) ||
                                  name == QLatin1String(MessageNames::HelloSupport);
            if (!client->greetingRead) {
                if (!greeting) {
                    qCWarning(local_socket).noquote() << "BAD HEADER" << loggable(name);
                    drop(client, "NOT GREETED, CLOSING");
                    return;
                }
                client->greetingRead = true;
            }
            client->queue.push_back(document.object());
        }
        if (client->reader.hasError()) {
            drop(client, client->reader.error() == FrameReader::FrameTooLarge ? "FRAME TOO LARGE, CLOSING"
                                                                              : "BAD FRAME, CLOSING");
            return;
        }
    }
    if (!client->socket)
        return;
    // Nothing half-read: give the reader's buffer back instead of keeping its
    // largest size for the life of the connection.
    if (client->reader.pendingBytes() == 0)
        client->reader.clear();
    armDeadline(client);
    if (!client->queue.empty())
        scheduleDispatch();
}

void TcpServer::scheduleDispatch()
{
    if (dispatchScheduled)
        return;
    dispatchScheduled = true;
    QMetaObject::invokeMethod(this, &TcpServer::dispatchPending, Qt::QueuedConnection);
}

void TcpServer::dispatchPending()
{
    dispatchScheduled = false;
    // Round by round, one command of each connection that is not in the
    // middle of one; a bounded number per call, so that one client's flood
    // does not hold the agent thread.
    constexpr int budget = 256;
    int done = 0;
    bool progress = true;
    while (progress && done < budget) {
        progress = false;
        std::vector<quint64> ids;
        ids.reserve(clients.size());
        for (const auto& c : clients)
            ids.push_back(c->id);
        for (const quint64 id : ids) {
            Clients* client = findClient(id);
            if (!client || !client->socket || client->busy > 0 || client->queue.empty())
                continue;
            const QJsonObject command = std::move(client->queue.front());
            client->queue.pop_front();
            runCommand(client, command);
            progress = true;
            ++done;
            client = findClient(id);
            if (!client)
                continue;
            if (!client->socket) {
                release(id);
                continue;
            }
            // Bytes left in the socket while the queue was full.
            if (client->busy == 0 && client->socket->bytesAvailable() > 0)
                readFrom(client);
            if ((client = findClient(id)) && client->socket)
                armDeadline(client, true);
        }
    }
    for (const auto& c : clients) {
        if (c->socket && c->busy == 0 && !c->queue.empty()) {
            scheduleDispatch();
            break;
        }
    }
}

void TcpServer::runCommand(Clients* client, const QJsonObject& object)
{
    const quint64 id = client->id;
    ++client->busy;
    client->lastCommandMs = monotonicMs();
    currentId = id;
    // A command may wait for the backend in a nested event loop, during which
    // other connections are served. Their handling makes them current; once
    // it is over, the waiting command's connection is current again (if it is
    // still there), and its own answer reaches it and not the last newcomer.
    const quint64 outer = handlingId;
    handlingId = id;
    if (client->deadline)
        client->deadline->stop();
    analysisReceivedMessage(client, object);
    handlingId = outer;
    if (Clients* waiting = outer ? findClient(outer) : nullptr) {
        if (waiting->socket)
            currentId = outer;
    }
    if (Clients* self = findClient(id))
        --self->busy;
}

bool TcpServer::admit(Clients* client, int type)
{
    // The tray program has slots of its own, which support clients and
    // connections that have not greeted cannot take. Anyone may greet as the
    // tray program, though, so its slots are bounded too: when they are all
    // taken, a new GUI greeting replaces the oldest GUI connection on which
    // the PIN has not been given (the tray program reconnects by itself when
    // it was the one replaced), and is closed when every GUI connection has
    // given the PIN. A connection that proved the PIN is never displaced.
    // Support clients (corvanectl, scripts) are short-lived: when their slots
    // are taken, a new one replaces the one idle longest that is not in the
    // middle of a command; idle ones are closed after a while anyway.
    if (client->type == type)
        return true;
    const int limit = type == 1 ? maxGuiClients : maxSupportClients;
    if (clientCount(type) < limit)
        return true;
    Clients* victim = nullptr;
    for (const auto& c : clients) {
        if (!c->socket || c->type != type || c.get() == client)
            continue;
        if (type == 1) {
            if (c->pinConfirmed)
                continue;
            if (!victim || c->connectedAtMs < victim->connectedAtMs)
                victim = c.get();
        } else {
            if (c->busy > 0 || !c->queue.empty())
                continue;
            if (!victim || c->lastCommandMs < victim->lastCommandMs)
                victim = c.get();
        }
    }
    ++refusedTotal;
    if (!victim) {
        drop(client, type == 1 ? "GUI SLOTS TAKEN, CLOSING" : "SUPPORT SLOTS TAKEN, CLOSING");
        return false;
    }
    drop(victim, type == 1 ? "GUI SLOTS TAKEN, OLDEST GUI WITHOUT PIN CLOSED"
                           : "SUPPORT SLOTS TAKEN, LONGEST IDLE CLOSED");
    return true;
}

void TcpServer::greet(Clients* client, int type)
{
    if (!admit(client, type))
        return;
    client->type = type;
    slotHello(client->socket);
    // Before the on-connect handlers, which may wait for the backend: the
    // tray program shows at once whether the machine is filtered.
    if (resolverStatusKnown)
        sendDirect(client, MessageNames::StatusResolver, resolverStatus.toJson());
    if (type == 1)
        emit signalConnectGui();
    else
        emit signalConnectSupport();
}

void TcpServer::analysisReceivedMessage(Clients* client, const QJsonObject& object)
{
    const QString info = object.value(PayloadKeys::Info).toString();
    const quint64 id = client->id;

    if (info == QLatin1String(MessageNames::HelloGui)) {
        qCInfo(local_socket_get) << "HELLO GUI";
        greet(client, 1);
        return;
    }
    if (info == QLatin1String(MessageNames::HelloSupport)) {
        qCInfo(local_socket_get) << "HELLO SUPPORT";
        greet(client, 2);
        return;
    }
    const Command* command =
        std::find_if(std::begin(commands), std::end(commands),
                     [&info](const Command& c) { return info == QLatin1String(c.name); });
    if (command == std::end(commands)) {
        // A peer that sends what no client of ours sends is not one of ours,
        // and the next line it would make us write must not be written.
        qCWarning(local_socket).noquote() << "BAD HEADER" << loggable(info);
        drop(client, "UNKNOWN COMMAND, CLOSING");
        return;
    }
    qCInfo(local_socket_get).noquote() << info;
    const bool isCheckAuth = info == QLatin1String(MessageNames::CheckAuth);
    const bool isCreatePin = info == QLatin1String(MessageNames::CreatePin);
    const bool isCheckPin = info == QLatin1String(MessageNames::CheckPin);
    // A PIN may be created right after a sign-in on the same connection
    // (nobody else has started one since), or, for a PIN change, by a
    // connection that gave the PIN while sign-in data is stored.
    // Whether sign-in data is stored is read from the settings store: only
    // where it matters.
    const auto stored = [this] { return signInStored(); };
    if (isCreatePin && !(client->signedInHere && signInHolder == id) && !(client->pinConfirmed && stored())) {
        qCWarning(local_socket) << "CREATEPIN REFUSED: NO SIGN-IN ON THIS CONNECTION";
        sendDirect(client, MessageNames::StatusCreatePin,
                   QJsonObject{{PayloadKeys::Status, ControlStatus::createPinRefused}});
        return;
    }
    if (command->needsPin && !isCreatePin && !client->pinConfirmed && stored()) {
        qCWarning(local_socket).noquote() << "PIN NOT GIVEN ON THIS CONNECTION, IGNORED" << info;
        // A sign-in is answered all the same, so that nobody waits for it.
        if (isCheckAuth)
            sendDirect(client, MessageNames::StatusCheckAuth,
                       QJsonObject{{PayloadKeys::Status, ControlStatus::checkAuthRefused}});
        return;
    }
    if (isCheckPin) {
        const qint64 now = wallClock();
        if (guard.settle(now))
            saveGuard();
        if (guard.isLockedOut(now)) {
            qCWarning(local_socket).noquote()
                << "PIN LOCKED OUT, NOT CHECKED; seconds left:" << (guard.remainingMs(now) + 999) / 1000;
            sendDirect(client, MessageNames::StatusCheckPin,
                       QJsonObject{{PayloadKeys::Status, ControlStatus::checkPinWrong}});
            return;
        }
    }
    if (isCheckAuth) {
        // A sign-in forgets the previous one at once, whoever started it.
        client->signedInHere = false;
        signInHolder = 0;
    }
    if (info == QLatin1String(MessageNames::Logout))
        signInHolder = 0;
    // The answer comes back through the status slots while the signal is
    // handled. A sign-in or a right PIN waits for the backend, and another
    // connection's command may run inside that wait: each keeps its own asker
    // and puts the outer one back.
    quint64* asker = isCheckAuth ? &authAsker : isCheckPin ? &pinAsker : isCreatePin ? &pinCreator : nullptr;
    const quint64 outerAsker = asker ? *asker : 0;
    if (asker)
        *asker = id;
    if (command->withData) {
        const QJsonValue data = object.value(PayloadKeys::Data);
        emit(this->*command->withData)(data.isObject() ? data.toObject() : QJsonObject());
    } else {
        emit(this->*command->plain)();
    }
    if (asker)
        *asker = outerAsker;
}

void TcpServer::slotHello(QTcpSocket* client)
{
    Clients* entry = findClient(client);
    if (!entry)
        return;
    sendToClient(ControlFrame::envelope(QLatin1String(MessageNames::HelloAgent)), entry);
}

bool TcpServer::maySeeAccount(const Clients* client) const
{
    return client->pinConfirmed || !signInStored();
}

void TcpServer::sendToClient(const QJsonObject& envelope, Clients* client)
{
    if (!client) {
        qCWarning(local_socket_send) << "NO CONFIRMED CLIENT";
        return;
    }
    const QString info = envelope.value(PayloadKeys::Info).toString();
    QTcpSocket* socket = client->socket;
    if (!socket) {
        // Left while its command waited: nobody is there to read the answer.
        qCInfo(local_socket_send).noquote() << "CLIENT GONE, DROPPED" << info;
        return;
    }
    if (PinGuard::showsAccount(info) && !maySeeAccount(client)) {
        qCDebug(local_socket_send).noquote() << "PIN NOT GIVEN ON THIS CONNECTION, NOT SENT" << info;
        return;
    }
    bool shortened = false;
    const QJsonObject fitted = ControlFrame::fitToFrame(envelope, shortened);
    const QByteArray frame = ControlFrame::encode(fitted);
    if (shortened) {
        qCWarning(local_socket_send).noquote()
            << "MESSAGE SHORTENED" << info << "from" << ControlFrame::toText(envelope).size() << "to"
            << ControlFrame::toText(fitted).size() << "characters";
    }
    if (frame.isEmpty()) {
        qCCritical(local_socket_send).noquote() << "MESSAGE TOO LARGE, DROPPED" << info;
        return;
    }
    if (!socket->isOpen() || socket->state() != QAbstractSocket::ConnectedState) {
        qCCritical(local_socket_send) << "CLIENT UNAVAILABLE";
        return;
    }
    // A client that sends commands but never reads the answers must not make
    // the agent hold an ever-growing output buffer.
    if (socket->bytesToWrite() > maxUnsentBytes) {
        qCWarning(local_socket_send).noquote() << "CLIENT NOT READING, DROPPED" << info;
        return;
    }
    if (!UserData::getStatusLog())
        qCInfo(local_socket_send).noquote() << info;
    socket->write(frame);
}

TcpServer::Clients* TcpServer::replyTarget() const
{
    return findClient(handlingId ? handlingId : currentId);
}

void TcpServer::replyTo(quint64 id, const std::function<void()>& reply)
{
    Clients* client = id ? findClient(id) : nullptr;
    if (!client || !client->socket) {
        qCInfo(local_socket_send) << "CLIENT GONE, LATE ANSWER DROPPED";
        return;
    }
    const quint64 outer = handlingId;
    handlingId = id;
    reply();
    handlingId = outer;
}

void TcpServer::sendReply(const char* info, const QJsonObject& data)
{
    sendToClient(ControlFrame::envelope(QLatin1String(info), data), replyTarget());
}

void TcpServer::sendDirect(Clients* client, const char* info, const QJsonObject& data)
{
    sendToClient(ControlFrame::envelope(QLatin1String(info), data), client);
}

TcpServer::Clients* TcpServer::findClient(const QTcpSocket* socket) const
{
    if (!socket)
        return nullptr;
    for (const auto& client : clients) {
        if (client->socket == socket)
            return client.get();
    }
    return nullptr;
}

TcpServer::Clients* TcpServer::findClient(quint64 id) const
{
    if (id == 0)
        return nullptr;
    for (const auto& client : clients) {
        if (client->id == id)
            return client.get();
    }
    return nullptr;
}

void TcpServer::armDeadline(Clients* client, bool commandDone)
{
    QTimer* deadline = client->deadline;
    if (!deadline)
        return;
    // The greeting deadline runs from the connection's start and is not
    // moved by bytes that are no greeting.
    if (!client->greetingRead)
        return;
    int kind = NoDeadline;
    int timeout = 0;
    if (client->busy > 0 || !client->queue.empty()) {
        kind = NoDeadline;
    } else if (client->reader.pendingBytes() > 0) {
        kind = FrameDeadline;
        timeout = silenceTimeoutMs;
    } else if (client->type == 2 || client->type == 0) {
        // A support client is idle from its last command (a greeting counts);
        // bytes that complete no command do not keep it.
        kind = IdleDeadline;
        timeout = idleTimeoutMs;
    }
    if (kind == NoDeadline) {
        deadline->stop();
        client->deadlineKind = NoDeadline;
        return;
    }
    if (deadline->isActive() && client->deadlineKind == kind && !(commandDone && kind == IdleDeadline))
        return;
    client->deadlineKind = kind;
    deadline->start(timeout);
}

void TcpServer::onDeadline(quint64 id)
{
    Clients* client = findClient(id);
    if (!client || !client->socket || client->busy > 0)
        return;
    switch (client->deadlineKind) {
    case GreetingDeadline:
        drop(client, "CLIENT DID NOT GREET, CLOSING");
        break;
    case FrameDeadline:
        drop(client, "FRAME NOT COMPLETED, CLOSING");
        break;
    case IdleDeadline:
        if (client->type == 1)
            return;
        drop(client, "SUPPORT CLIENT IDLE, CLOSING");
        break;
    default:
        break;
    }
}

void TcpServer::slotVersions(const QJsonObject& data)
{
    sendReply(MessageNames::Versions, data);
}

void TcpServer::slotFilteringStatusServer(const QJsonObject& data)
{
    sendReply(MessageNames::StatusFilteringServer, data);
}

void TcpServer::slotFilteringStatusLocal(const QJsonObject& data)
{
    sendReply(MessageNames::StatusFilteringLocal, data);
}

void TcpServer::slotUserInfo(const QJsonObject& data)
{
    sendReply(MessageNames::UserInfo, data);
}

void TcpServer::slotProfiles(const QJsonObject& data)
{
    sendReply(MessageNames::Profiles, data);
}

void TcpServer::slotProfileId(const QJsonObject& data)
{
    sendReply(MessageNames::ProfileId, data);
}

void TcpServer::slotSystemInfo(const QJsonObject& data)
{
    sendReply(MessageNames::SystemInfo, data);
}

void TcpServer::slotDebug(const QJsonObject& data)
{
    sendReply(MessageNames::Debug, data);
}

void TcpServer::slotStatusCheckAuth(const QJsonObject& data)
{
    // Only a sign-in asked for on this port makes a connection the one that
    // may create the PIN (the command-line sign-in answers here too).
    if (Clients* asker = findClient(authAsker)) {
        const bool signedIn = data.value(PayloadKeys::Status).toInt() == ControlStatus::checkAuthOk;
        asker->signedInHere = signedIn;
        signInHolder = signedIn && asker->socket ? asker->id : 0;
        sendDirect(asker, MessageNames::StatusCheckAuth, data);
        return;
    }
    sendReply(MessageNames::StatusCheckAuth, data);
}

void TcpServer::slotStatusCreatePin(const QJsonObject& data)
{
    if (Clients* creator = findClient(pinCreator)) {
        if (data.value(PayloadKeys::Status).toInt() == ControlStatus::createPinOk) {
            creator->pinConfirmed = true;
            creator->signedInHere = false;
            signInHolder = 0;
        }
        sendDirect(creator, MessageNames::StatusCreatePin, data);
        return;
    }
    sendReply(MessageNames::StatusCreatePin, data);
}

void TcpServer::slotStatusCheckPin(const QJsonObject& data)
{
    // Only a check asked for on this port counts towards the limit; one whose
    // client left while it waited counts all the same.
    if (Clients* asker = findClient(pinAsker)) {
        const int status = data.value(PayloadKeys::Status).toInt();
        if (status == ControlStatus::checkPinWrong || status == ControlStatus::checkPinWrongLength) {
            guard.wrongPin(wallClock());
            qCWarning(local_socket) << "WRONG PIN, in a row:" << guard.wrongInRow();
        } else {
            // 3 and 4 follow a right PIN too (the service refused the machine
            // or could not be reached); the GUI answers 3 with a logout, so
            // the connection has proven the PIN all the same.
            guard.rightPin();
            asker->pinConfirmed = true;
        }
        saveGuard();
        sendDirect(asker, MessageNames::StatusCheckPin, data);
        return;
    }
    sendReply(MessageNames::StatusCheckPin, data);
}

void TcpServer::slotStatusAuthData(const QJsonObject& data)
{
    sendReply(MessageNames::StatusAuthData, data);
}

void TcpServer::slotCoordGui(const QJsonObject& data)
{
    sendReply(MessageNames::CoordGui, data);
}

void TcpServer::slotStatusLog(const QJsonObject& data)
{
    sendReply(MessageNames::StatusLog, data);
}

void TcpServer::slotStatusAd(const QJsonObject& data)
{
    sendReply(MessageNames::StatusAd, data);
}

void TcpServer::slotDnsProtocol(const QJsonObject& data)
{
    sendReply(MessageNames::DnsProtocol, data);
}

void TcpServer::slotNetworkInterfaces(const QJsonObject& data)
{
    sendReply(MessageNames::NetworkInterfaces, data);
}

void TcpServer::slotStatusResolver(const ResolverStatus& status)
{
    if (resolverStatusKnown && status == resolverStatus)
        return;
    resolverStatus = status;
    resolverStatusKnown = true;
    const QJsonObject data = status.toJson();
    for (const auto& client : clients) {
        if (client->socket && client->type != 0)
            sendDirect(client.get(), MessageNames::StatusResolver, data);
    }
}
