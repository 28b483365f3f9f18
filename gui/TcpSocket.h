#pragma once

#include "common/FrameReader.h"
#include "common/ListenerOwner.h"

#include <QAbstractSocket>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

// The tray program's end of the control channel: keeps trying to reach the
// agent, greets it, turns each agent message into a signal and sends one
// command per slot.
class TcpSocket : public QObject
{
    Q_OBJECT
public:
    static constexpr int retryIntervalMs = 5000;

    TcpSocket(quint16 port, QObject* parent = nullptr);

    bool isConnected() const { return connected; }
    // Dispatches the text of one frame.
    void analysisReceivedMessage(const QString& message);
    // Frames and writes one message; dropped (and logged) while not connected.
    void sendToServer(const QString& message);
    // The text logged for a socket error.
    static QString errorText(QAbstractSocket::SocketError error, const QString& socketText);
    const QString& getLastError() const { return lastError; }
    bool isRetrying() const { return retryTimer.isActive(); }
    // Who must be listening on the port before a PIN or password is sent
    // (the agent; a stand-in agent in tests).
    void setListenerExpectation(const ListenerOwner::Expectation& expectation)
    {
        listenerExpectation = expectation;
    }

signals:
    void signalSuccessConnection();
    void signalErrorConnection();
    // The program on the control port is not the agent: a PIN or password
    // was not sent, and the connection was dropped.
    void signalListenerRefused(QString reason);
    void signalVersions(QJsonObject data);
    void signalFilteringStatusServer(QJsonObject data);
    void signalFilteringStatusLocal(QJsonObject data);
    void signalUserInfo(QJsonObject data);
    void signalProfiles(QJsonObject data);
    void signalProfileId(QJsonObject data);
    void signalSystemInfo(QJsonObject data);
    void signalDebug(QJsonObject data);
    void signalStatusCheckAuth(QJsonObject data);
    void signalStatusCreatePin(QJsonObject data);
    void signalStatusCheckPin(QJsonObject data);
    void signalStatusAuthData(QJsonObject data);
    void signalCoordGui(QJsonObject data);
    void signalStatusLog(QJsonObject data);
    void signalStatusAd(QJsonObject data);
    void signalDnsProtocol(QJsonObject data);
    void signalNetInterfaces(QJsonObject data);
    void signalStatusResolver(QJsonObject data);

public slots:
    void slotReadyRead();
    void slotError(QAbstractSocket::SocketError error);
    void slotConnected();
    void slotConnectToServer();

    void slotGetVersion();
    void slotLogin();
    void slotLogout();
    void slotFilteringStatusLocal(QJsonObject data);
    void slotGetProfiles();
    void slotGetProfileId();
    void slotSetProfileId(QJsonObject data);
    void slotGetSystemInfo();
    void slotGetDebug();
    void slotSendDebugInfo();
    void slotGetSettings();
    void slotCheckAuth(QJsonObject data);
    void slotCreatePin(QJsonObject data);
    void slotCheckPin(QJsonObject data);
    void slotAuthData();
    void slotSetCoordGui(QJsonObject data);
    void slotGetCoordGui();
    void slotChangeStatusLog();
    void slotChangeDnsProtocol(QJsonObject data);
    void slotChangeNetInterface(QJsonObject data);

private:
    void sendCommand(const char* info);
    void sendCommand(const char* info, const QJsonObject& data);
    // Sends a command that carries a PIN or password, only to the agent.
    void sendSecret(const char* info, const QJsonObject& data);

    QTcpSocket* socket;
    // The frames of the current connection. A bad frame from the agent is
    // dropped and the next one read; a new connection starts afresh.
    FrameReader reader;
    QTimer retryTimer;
    quint16 port;
    bool connected = false;
    QString lastError;
    ListenerOwner::Expectation listenerExpectation;
};
