#include "gui/TcpSocket.h"

#include "common/ControlFrame.h"
#include "common/MessageNames.h"
#include "common/PayloadKeys.h"
#include "gui/GuiLoggingCategories.h"

#include <QJsonValue>

#include <utility>

TcpSocket::TcpSocket(quint16 agentPort, QObject* parent)
    : QObject(parent), socket(new QTcpSocket(this)), port(agentPort)
{
    reader.setOnBadFrame(FrameReader::OnBadFrame::SkipFrame);
    retryTimer.setInterval(retryIntervalMs);
    retryTimer.setSingleShot(false);
    connect(socket, &QAbstractSocket::errorOccurred, this, &TcpSocket::slotError);
    connect(socket, &QAbstractSocket::connected, this, &TcpSocket::slotConnected);
    connect(socket, &QIODevice::readyRead, this, &TcpSocket::slotReadyRead);
    connect(&retryTimer, &QTimer::timeout, this, &TcpSocket::slotConnectToServer);
    qCDebug(GuiLog::socket) << "CREATE";
}

void TcpSocket::slotConnectToServer()
{
    if (connected)
        return;
    switch (socket->state()) {
    case QAbstractSocket::HostLookupState:
    case QAbstractSocket::ConnectingState:
        // An attempt is still under way; its outcome decides.
        return;
    case QAbstractSocket::UnconnectedState:
        break;
    default:
        // Reached but the greeting went unanswered for a whole retry
        // interval: start over on a fresh connection.
        socket->abort();
        break;
    }
    reader.reset();
    socket->connectToHost(QStringLiteral("127.0.0.1"), port, QIODevice::ReadWrite,
                          QAbstractSocket::AnyIPProtocol);
}

void TcpSocket::slotConnected()
{
    qCDebug(GuiLog::socket) << "CONNECTED";
    reader.reset();
    sendCommand(MessageNames::HelloGui);
}

QString TcpSocket::errorText(QAbstractSocket::SocketError error, const QString& socketText)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("The connection was refused.");
    case QAbstractSocket::RemoteHostClosedError:
        return QStringLiteral("The server is closed.");
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("The server was not found.");
    default:
        return socketText;
    }
}

void TcpSocket::slotError(QAbstractSocket::SocketError error)
{
    retryTimer.start();
    // Cleared before the signal so that a window asking isConnected() from
    // its reaction already sees the link as down.
    connected = false;
    // Bytes of the lost connection must not be taken for the start of a
    // frame on the next one.
    reader.reset();
    emit signalErrorConnection();
    const QString text = errorText(error, socket->errorString());
    if (text != lastError) {
        lastError = text;
        qCCritical(GuiLog::socket).noquote() << text;
    }
}

void TcpSocket::slotReadyRead()
{
    reader.append(socket->readAll());
    // A handler may drop the connection (a secret not sent): the reader is
    // reset then, and nothing more of the old connection is handled.
    FrameReader::Frame frame;
    while (reader.next(frame)) {
        if (frame.error == FrameReader::NoError) {
            analysisReceivedMessage(frame.text);
        } else if (frame.bodyBytes == 0) {
            qCInfo(GuiLog::socketGet) << "Empty frame dropped";
        } else {
            qCInfo(GuiLog::socketGet) << "Malformed frame of" << frame.bodyBytes << "bytes dropped";
        }
    }
}

void TcpSocket::analysisReceivedMessage(const QString& message)
{
    const QJsonObject envelope = ControlFrame::parse(message);
    const QString info = envelope.value(PayloadKeys::Info).toString();

    if (info == QLatin1String(MessageNames::HelloAgent)) {
        qCDebug(GuiLog::socketGet) << "HELLO AGENT";
        retryTimer.stop();
        // Set before the signal: its reactions (an activation waiting to
        // raise the window) ask isConnected() and must see the link up.
        connected = true;
        emit signalSuccessConnection();
        return;
    }

    using Signal = void (TcpSocket::*)(QJsonObject);
    // One row per message; no count to keep in step when one is added.
    static const std::pair<const char*, Signal> table[] = {
        {MessageNames::Versions, &TcpSocket::signalVersions},
        {MessageNames::StatusFilteringServer, &TcpSocket::signalFilteringStatusServer},
        {MessageNames::StatusFilteringLocal, &TcpSocket::signalFilteringStatusLocal},
        {MessageNames::UserInfo, &TcpSocket::signalUserInfo},
        {MessageNames::Profiles, &TcpSocket::signalProfiles},
        {MessageNames::ProfileId, &TcpSocket::signalProfileId},
        {MessageNames::SystemInfo, &TcpSocket::signalSystemInfo},
        {MessageNames::Debug, &TcpSocket::signalDebug},
        {MessageNames::StatusCheckAuth, &TcpSocket::signalStatusCheckAuth},
        {MessageNames::StatusCreatePin, &TcpSocket::signalStatusCreatePin},
        {MessageNames::StatusCheckPin, &TcpSocket::signalStatusCheckPin},
        {MessageNames::StatusAuthData, &TcpSocket::signalStatusAuthData},
        {MessageNames::CoordGui, &TcpSocket::signalCoordGui},
        {MessageNames::StatusLog, &TcpSocket::signalStatusLog},
        {MessageNames::StatusAd, &TcpSocket::signalStatusAd},
        {MessageNames::DnsProtocol, &TcpSocket::signalDnsProtocol},
        {MessageNames::NetworkInterfaces, &TcpSocket::signalNetInterfaces},
        {MessageNames::StatusResolver, &TcpSocket::signalStatusResolver},
    };

    for (const auto& [name, signal] : table) {
        if (info != QLatin1String(name))
            continue;
        const QJsonValue data = envelope.value(PayloadKeys::Data);
        if (!data.isUndefined() && !data.isNull() && !data.isObject()) {
            // A payload the windows cannot read: drop the message rather
            // than hand them an empty object they would take for an answer.
            qCInfo(GuiLog::socketGet).noquote() << "BAD DATA" << info;
            return;
        }
        qCDebug(GuiLog::socketGet).noquote() << info;
        emit(this->*signal)(data.toObject());
        return;
    }
    qCInfo(GuiLog::socketGet).noquote() << "BAD HEADER" << info;
}

void TcpSocket::sendToServer(const QString& message)
{
    // Only a connection that is up takes data: a socket that is still
    // connecting would hold the bytes and send them later.
    if (socket->state() != QAbstractSocket::ConnectedState) {
        qCDebug(GuiLog::socket) << "Server unavailable.";
        return;
    }
    const QByteArray frame = ControlFrame::encodeText(message);
    if (frame.isEmpty()) {
        qCWarning(GuiLog::socket) << "Message too long for one frame, dropped:" << message.size()
                                  << "characters";
        return;
    }
    socket->write(frame);
}

void TcpSocket::sendCommand(const char* info)
{
    sendToServer(ControlFrame::toText(ControlFrame::envelope(QLatin1String(info))));
}

void TcpSocket::sendCommand(const char* info, const QJsonObject& data)
{
    sendToServer(ControlFrame::toText(ControlFrame::envelope(QLatin1String(info), data)));
}

void TcpSocket::sendSecret(const char* info, const QJsonObject& data)
{
    if (socket->state() == QAbstractSocket::ConnectedState) {
        // Whatever holds the port would get the secret: a program that took
        // it while the agent restarted must not.
        const ListenerOwner::Verdict owner =
            ListenerOwner::check(socket->peerAddress(), socket->peerPort(), listenerExpectation);
        if (!owner.trusted) {
            qCCritical(GuiLog::socket).noquote()
                << "The program on the control port is not the agent," << info << "not sent:" << owner.reason;
            // Not this connection again: a new one, after the retry interval,
            // may reach the agent once it holds its port.
            connected = false;
            reader.reset();
            socket->abort();
            retryTimer.start();
            emit signalListenerRefused(owner.reason);
            return;
        }
        qCDebug(GuiLog::socket).noquote() << "Listener checked:" << owner.reason;
    }
    sendCommand(info, data);
}

void TcpSocket::slotGetVersion()
{
    sendCommand(MessageNames::GetVersion);
}

void TcpSocket::slotLogin()
{
    sendCommand(MessageNames::Login);
}

void TcpSocket::slotLogout()
{
    sendCommand(MessageNames::Logout);
}

void TcpSocket::slotFilteringStatusLocal(QJsonObject data)
{
    sendCommand(MessageNames::StatusFilteringLocal, data);
}

void TcpSocket::slotGetProfiles()
{
    sendCommand(MessageNames::GetProfiles);
}

void TcpSocket::slotGetProfileId()
{
    sendCommand(MessageNames::GetProfileId);
}

void TcpSocket::slotSetProfileId(QJsonObject data)
{
    sendCommand(MessageNames::SetProfileId, data);
}

void TcpSocket::slotGetSystemInfo()
{
    sendCommand(MessageNames::GetSystemInfo);
}

void TcpSocket::slotGetDebug()
{
    sendCommand(MessageNames::GetDebug);
}

void TcpSocket::slotSendDebugInfo()
{
    sendCommand(MessageNames::SendDebugInfo);
}

void TcpSocket::slotGetSettings()
{
    sendCommand(MessageNames::GetSettings);
}

void TcpSocket::slotCheckAuth(QJsonObject data)
{
    sendSecret(MessageNames::CheckAuth, data);
}

void TcpSocket::slotCreatePin(QJsonObject data)
{
    sendSecret(MessageNames::CreatePin, data);
}

void TcpSocket::slotCheckPin(QJsonObject data)
{
    sendSecret(MessageNames::CheckPin, data);
}

void TcpSocket::slotAuthData()
{
    sendCommand(MessageNames::AuthData);
}

void TcpSocket::slotSetCoordGui(QJsonObject data)
{
    sendCommand(MessageNames::SetCoordGui, data);
}

void TcpSocket::slotGetCoordGui()
{
    sendCommand(MessageNames::GetCoordGui);
}

void TcpSocket::slotChangeStatusLog()
{
    sendCommand(MessageNames::ChangeStatusLog);
}

void TcpSocket::slotChangeDnsProtocol(QJsonObject data)
{
    sendCommand(MessageNames::ChangeDnsProtocol, data);
}

void TcpSocket::slotChangeNetInterface(QJsonObject data)
{
    sendCommand(MessageNames::ChangeNetInterface, data);
}
