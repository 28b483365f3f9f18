#include "TcpServer.h"

#include "ControlFrame.h"
#include "LoggingCategories.h"
#include "MessageNames.h"
#include "UserData.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QPointer>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace {

// A connection may leave at most this much unread in the agent before the
// socket stops reading from the network (TCP then slows the sender down).
// Frames are gathered by the connection's FrameReader, so the socket itself
// only needs room for one read; a larger buffer only raises what a burst of
// clients makes the agent allocate at once, and the allocator keeps that high
// level resident long after the clients have gone.
constexpr qint64 readBufferLimit = 16 * 1024;

// Commands in the order they are tested; each raises either a plain signal
// or one that carries the message's "data" object.
struct Command
{
    const char* name;
    void (TcpServer::*plain)();
    void (TcpServer::*withData)(QJsonObject);
};

const Command commands[] = {
    {MessageNames::GetVersion, &TcpServer::signalGetVersion, nullptr},
    {MessageNames::Login, &TcpServer::signalLogin, nullptr},
    {MessageNames::Logout, &TcpServer::signalLogout, nullptr},
    {MessageNames::StatusFilteringLocal, nullptr, &TcpServer::signalFilteringStatusLocal},
    {MessageNames::GetProfiles, &TcpServer::signalGetProfiles, nullptr},
    {MessageNames::GetProfileId, &TcpServer::signalGetProfileId, nullptr},
    {MessageNames::SetProfileId, nullptr, &TcpServer::signalSetProfileId},
    {MessageNames::GetSystemInfo, &TcpServer::signalGetSystemInfo, nullptr},
    {MessageNames::GetDebug, &TcpServer::signalGetDebug, nullptr},
    {MessageNames::SendDebugInfo, &TcpServer::signalSendDebugInfo, nullptr},
    {MessageNames::GetSettings, &TcpServer::signalGetSettings, nullptr},
    {MessageNames::CheckAuth, nullptr, &TcpServer::signalCheckAuth},
    {MessageNames::CreatePin, nullptr, &TcpServer::signalCreatePin},
    {MessageNames::CheckPin, nullptr, &TcpServer::signalCheckPin},
    {MessageNames::AuthData, &TcpServer::signalAuthData, nullptr},
    {MessageNames::GetCoordGui, &TcpServer::signalGetCoord, nullptr},
    {MessageNames::SetCoordGui, nullptr, &TcpServer::signalSetCoord},
    {MessageNames::ChangeStatusLog, &TcpServer::signalChangeStatusLog, nullptr},
    {MessageNames::ChangeDnsProtocol, nullptr, &TcpServer::signalChangeDnsProtocol},
    {MessageNames::ChangeNetInterface, nullptr, &TcpServer::signalChangeNetInterface},
};

// A text that itself holds a JSON array or object (the debug report does) is
// cut inside, so that what the GUI parses out of it stays valid.
bool holdsJson(const QString& text, QJsonDocument& document)
{
    if (text.isEmpty() || (text.at(0) != QLatin1Char('[') && text.at(0) != QLatin1Char('{')))
        return false;
    QJsonParseError error{};
    document = QJsonDocument::fromJson(text.toUtf8(), &error);
    return error.error == QJsonParseError::NoError && !document.isNull();
}

int longestText(const QJsonValue& value)
{
    int longest = 0;
    if (value.isString()) {
        const QString text = value.toString();
        QJsonDocument inner;
        if (!holdsJson(text, inner))
            return static_cast<int>(text.size());
        return inner.isArray() ? longestText(inner.array()) : longestText(inner.object());
    }
    if (value.isArray()) {
        for (const QJsonValue& item : value.toArray())
            longest = std::max(longest, longestText(item));
    } else if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            longest = std::max(longest, longestText(it.value()));
    }
    return longest;
}

// Replaces the first text of exactly `length` units by its first `keep`
// units followed by the marker.
QJsonValue cutText(const QJsonValue& value, int length, int keep, bool& done)
{
    if (done)
        return value;
    if (value.isString()) {
        const QString text = value.toString();
        QJsonDocument inner;
        if (holdsJson(text, inner)) {
            const QJsonValue changed = inner.isArray() ? cutText(inner.array(), length, keep, done)
                                                       : cutText(inner.object(), length, keep, done);
            if (!done)
                return value;
            const QJsonDocument rebuilt =
                changed.isArray() ? QJsonDocument(changed.toArray()) : QJsonDocument(changed.toObject());
            return QString::fromUtf8(rebuilt.toJson(QJsonDocument::Compact));
        }
        if (text.size() != length)
            return value;
        // Never leave half of a surrogate pair behind.
        if (keep > 0 && text.at(keep - 1).isHighSurrogate())
            --keep;
        done = true;
        return QString(text.left(keep) + TcpServer::shortenedMarker());
    }
    if (value.isArray()) {
        QJsonArray array = value.toArray();
        for (int i = 0; i < array.size() && !done; ++i)
            array[i] = cutText(array.at(i), length, keep, done);
        return array;
    }
    if (value.isObject()) {
        QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end() && !done; ++it)
            it.value() = cutText(it.value(), length, keep, done);
        return object;
    }
    return value;
}

int textSize(const QJsonObject& envelope)
{
    return static_cast<int>(ControlFrame::toText(envelope).size());
}

} // namespace

TcpServer::TcpServer(quint16 port, QObject* parent)
    : QObject(parent), server(new QTcpServer(this)), serverV6(new QTcpServer(this))
{
    clock.start();
    signInStored = [] { return UserData::checkAuthData(); };
    // slotNewConnection takes every pending connection at once; a larger
    // limit only matters where the listener's notifications arrive late (a
    // command waiting for the backend), and then Qt must not stop taking
    // connections from the system's queue after the second one.
    server->setMaxPendingConnections(maxClients);
    serverV6->setMaxPendingConnections(maxClients);
    // Loopback only: whoever reaches this port may switch filtering off or
    // sign the machine out, so it must not be reachable from the network.
    if (!server->listen(QHostAddress::LocalHost, port)) {
        qCCritical(local_socket).noquote()
            << QStringLiteral("Unable to start server:") + server->errorString();
        server->close();
        serverV6->close();
        return;
    }
    if (serverV6->listen(QHostAddress::LocalHostIPv6, server->serverPort())) {
        connect(serverV6, &QTcpServer::newConnection, this, &TcpServer::slotNewConnection);
    } else {
        qCWarning(local_socket).noquote()
            << QStringLiteral("Unable to listen on ::1:") + serverV6->errorString();
        serverV6->close();
    }
    connect(server, &QTcpServer::newConnection, this, &TcpServer::slotNewConnection);
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
    currentClient = nullptr;
    clients.clear();
}

quint16 TcpServer::serverPort() const
{
    return server->isListening() ? server->serverPort() : 0;
}

bool TcpServer::isListening() const
{
    return server->isListening();
}

QString TcpServer::shortenedMarker()
{
    return QStringLiteral("[shortened]");
}

QJsonObject TcpServer::fitToFrame(const QJsonObject& envelope, bool& shortened)
{
    shortened = false;
    QJsonObject fitted = envelope;
    const int marker = static_cast<int>(shortenedMarker().size());
    // Each pass cuts the longest text, keeping as much of it as still lets
    // the message fit (found by bisection, since escaping makes a character
    // cost one to several units of the frame). When even cutting it to the
    // marker is not enough, the next pass takes the next longest. The bound
    // ends the loop for payloads made of many tiny texts, which then lose
    // their data altogether.
    for (int pass = 0; pass < 1000; ++pass) {
        const int excess = textSize(fitted) - ControlFrame::maxTextUnits;
        if (excess <= 0)
            return fitted;
        shortened = true;
        const QJsonValue data = fitted.value(QStringLiteral("data"));
        const int longest = longestText(data);
        if (longest <= marker)
            break;
        const auto withKeep = [&](int keep) {
            bool done = false;
            QJsonObject candidate = fitted;
            candidate.insert(QStringLiteral("data"), cutText(data, longest, keep, done));
            return candidate;
        };
        int low = 0;
        int high = longest - marker - 1;
        QJsonObject best = withKeep(low);
        if (textSize(best) <= ControlFrame::maxTextUnits) {
            while (low < high) {
                const int middle = low + (high - low + 1) / 2;
                QJsonObject candidate = withKeep(middle);
                if (textSize(candidate) <= ControlFrame::maxTextUnits) {
                    low = middle;
                    best = candidate;
                } else {
                    high = middle - 1;
                }
            }
        }
        fitted = best;
    }
    if (textSize(fitted) > ControlFrame::maxTextUnits && fitted.contains(QStringLiteral("data"))) {
        shortened = true;
        fitted.insert(QStringLiteral("data"), QJsonObject());
    }
    return fitted;
}

void TcpServer::slotNewConnection()
{
    auto* listener = qobject_cast<QTcpServer*>(sender());
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
        qCInfo(local_socket) << "CLIENT CONNECTION";
        socket->setReadBufferSize(readBufferLimit);
        auto client = std::make_unique<Clients>();
        client->socket = socket;
        client->deadline = new QTimer(socket);
        client->deadline->setSingleShot(true);
        connect(client->deadline, &QTimer::timeout, this, [this, socket] { closeSilent(socket); });
        connect(socket, &QTcpSocket::disconnected, this, &TcpServer::slotDisconnection);
        connect(socket, &QTcpSocket::readyRead, this, &TcpServer::slotReadClient);
        clients.push_back(std::move(client));
        armDeadline(clients.back().get());
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

void TcpServer::forget(QTcpSocket* socket)
{
    const auto it = std::find_if(clients.begin(), clients.end(),
                                 [socket](const std::unique_ptr<Clients>& c) { return c->socket == socket; });
    if (it == clients.end())
        return;
    if (currentClient == it->get())
        currentClient = nullptr;
    socket->disconnect(this);
    clients.erase(it);
    socket->deleteLater();
    if (refusedWhileFull > 0 && clientCount() < maxClients) {
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
    const Clients* client = findClient(socket);
    if (!client) {
        socket->deleteLater();
        return;
    }
    if (client->type == 1)
        qCInfo(local_socket) << "BYE GUI";
    else if (client->type == 2)
        qCInfo(local_socket) << "BYE SUPPORT";
    forget(socket);
}

void TcpServer::slotReadClient()
{
    auto* socket = qobject_cast<QTcpSocket*>(sender());
    if (!socket)
        return;
    QPointer<QTcpSocket> alive(socket);
    // A handler may wait for the backend in a nested event loop; bytes that
    // arrive meanwhile stay in the socket and are taken up by this loop.
    while (alive && socket->bytesAvailable() > 0) {
        Clients* client = findClient(socket);
        if (!client) {
            socket->readAll();
            return;
        }
        const int droppedBefore = client->reader.droppedFrames();
        const QVector<QString> messages = client->reader.feed(socket->read(readBufferLimit));
        const int dropped = client->reader.droppedFrames() - droppedBefore;
        if (dropped > 0)
            qCWarning(local_socket).noquote() << "BAD FRAME, dropped:" << dropped;
        for (const QString& message : messages) {
            // The connection may have closed while a handler waited.
            if (!alive || !findClient(socket))
                return;
            analysisReceivedMessage(message, socket);
        }
    }
    if (!alive)
        return;
    Clients* client = findClient(socket);
    if (!client)
        return;
    // Nothing half-read: give the reader's buffer back instead of keeping its
    // largest size for the life of the connection.
    if (client->reader.pendingBytes() == 0)
        client->reader.clear();
    armDeadline(client);
}

void TcpServer::analysisReceivedMessage(const QString& message, QTcpSocket* socket)
{
    Clients* client = findClient(socket);
    if (!client)
        return;
    const QJsonObject object = ControlFrame::parse(message);
    const QString info = object.value(QStringLiteral("info")).toString();
    currentClient = client;
    // A command may wait for the backend in a nested event loop, during which
    // other connections are taken and answered. Their handling makes them
    // current; once it is over, the waiting command's connection is current
    // again, so that its own answer reaches it and not the last newcomer.
    const QPointer<QTcpSocket> outer = handling;
    handling = socket;
    const auto restore = qScopeGuard([this, outer] {
        handling = outer;
        if (Clients* waiting = outer ? findClient(outer) : nullptr)
            currentClient = waiting;
    });

    if (info == QLatin1String(MessageNames::HelloGui)) {
        qCInfo(local_socket_get) << "HELLO GUI";
        client->type = 1;
        slotHello(socket);
        emit signalConnectGui();
        return;
    }
    if (info == QLatin1String(MessageNames::HelloSupport)) {
        qCInfo(local_socket_get) << "HELLO SUPPORT";
        client->type = 2;
        slotHello(socket);
        emit signalConnectSupport();
        return;
    }
    if (client->type == 0) {
        qCWarning(local_socket).noquote() << "BAD HEADER" << info;
        return;
    }
    for (const Command& command : commands) {
        if (info != QLatin1String(command.name))
            continue;
        qCInfo(local_socket_get).noquote() << info;
        if (PinGuard::needsPin(info) && !client->pinConfirmed && signInStored()) {
            qCWarning(local_socket).noquote() << "PIN NOT GIVEN ON THIS CONNECTION, IGNORED" << info;
            return;
        }
        if (info == QLatin1String(MessageNames::CheckPin)) {
            const qint64 now = clock.elapsed();
            if (guard.isLockedOut(now)) {
                qCWarning(local_socket).noquote()
                    << "PIN LOCKED OUT, NOT CHECKED; seconds left:" << (guard.remainingMs(now) + 999) / 1000;
                sendReply(MessageNames::StatusCheckPin, QJsonObject{{QStringLiteral("status"), 0}});
                return;
            }
        }
        // The answer comes back through slotStatusCheckPin / slotStatusCreatePin
        // while the signal is handled. A right PIN waits for the backend, and
        // another connection's check may run inside that wait: each check
        // keeps its own asker and puts the outer one back.
        const bool pinCommand =
            info == QLatin1String(MessageNames::CheckPin) || info == QLatin1String(MessageNames::CreatePin);
        QPointer<QTcpSocket>& asker = info == QLatin1String(MessageNames::CheckPin) ? pinAsker : pinCreator;
        const QPointer<QTcpSocket> outer = asker;
        if (pinCommand)
            asker = socket;
        if (command.withData) {
            const QJsonValue data = object.value(QStringLiteral("data"));
            emit(this->*command.withData)(data.isObject() ? data.toObject() : QJsonObject());
        } else {
            emit(this->*command.plain)();
        }
        if (pinCommand)
            asker = outer;
        return;
    }
    qCWarning(local_socket).noquote() << "BAD HEADER" << info;
}

void TcpServer::slotHello(QTcpSocket* client)
{
    Clients* entry = findClient(client);
    if (!entry)
        return;
    sendToClient(ControlFrame::envelope(QLatin1String(MessageNames::HelloAgent)), entry);
}

void TcpServer::sendToClient(const QJsonObject& envelope, Clients* client)
{
    if (!client) {
        qCWarning(local_socket_send) << "NO CONFIRMED CLIENT";
        return;
    }
    const QString info = envelope.value(QStringLiteral("info")).toString();
    bool shortened = false;
    const QJsonObject fitted = fitToFrame(envelope, shortened);
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
    QTcpSocket* socket = client->socket;
    if (!socket || !socket->isOpen() || socket->state() != QAbstractSocket::ConnectedState) {
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

void TcpServer::sendReply(const char* info, const QJsonObject& data)
{
    sendToClient(ControlFrame::envelope(QLatin1String(info), data), currentClient);
}

TcpServer::Clients* TcpServer::findClient(const QTcpSocket* socket) const
{
    for (const auto& client : clients) {
        if (client->socket == socket)
            return client.get();
    }
    return nullptr;
}

void TcpServer::armDeadline(Clients* client)
{
    // Waiting for a greeting or for the rest of a frame has a deadline; a
    // greeted client with nothing pending may stay idle as long as it likes.
    const bool waiting = client->type == 0 || client->reader.pendingBytes() > 0;
    if (!waiting) {
        client->deadline->stop();
        return;
    }
    if (!client->deadline->isActive())
        client->deadline->start(silenceTimeoutMs);
}

void TcpServer::closeSilent(QTcpSocket* socket)
{
    Clients* client = findClient(socket);
    if (!client)
        return;
    qCWarning(local_socket).noquote()
        << (client->type == 0 ? "CLIENT DID NOT GREET, CLOSING" : "FRAME NOT COMPLETED, CLOSING");
    socket->abort();
    // abort() reports the disconnection itself when the socket was connected;
    // make sure the entry goes in any case.
    forget(socket);
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
    sendReply(MessageNames::StatusCheckAuth, data);
}

void TcpServer::slotStatusCreatePin(const QJsonObject& data)
{
    Clients* creator = pinCreator ? findClient(pinCreator) : nullptr;
    if (creator && data.value(QLatin1String("status")).toInt() == 1)
        creator->pinConfirmed = true;
    sendReply(MessageNames::StatusCreatePin, data);
}

void TcpServer::slotStatusCheckPin(const QJsonObject& data)
{
    // Only a check asked for on this port counts towards the limit.
    if (pinAsker) {
        Clients* asker = findClient(pinAsker);
        const int status = data.value(QLatin1String("status")).toInt();
        if (status == 0 || status == 2) {
            guard.wrongPin(clock.elapsed());
            qCWarning(local_socket) << "WRONG PIN, in a row:" << guard.wrongInRow();
        } else {
            // 3 and 4 follow a right PIN too (the service refused the machine
            // or could not be reached); the GUI answers 3 with a logout, so
            // the connection has proven the PIN all the same.
            guard.rightPin();
            if (asker)
                asker->pinConfirmed = true;
        }
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
