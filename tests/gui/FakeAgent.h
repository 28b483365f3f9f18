#pragma once

#include "common/FrameReader.h"

#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

// A stand-in for the agent's control server: accepts the tray program's
// connection, answers its greeting (optionally with the agent's start-up
// messages) and records every message it receives.
class FakeAgent : public QObject
{
    Q_OBJECT
public:
    explicit FakeAgent(QObject* parent = nullptr);

    // Port 0 picks a free one.
    bool listen(quint16 port = 0);
    void close();
    quint16 port() const { return server.serverPort(); }
    bool hasClient() const { return client && client->state() == QAbstractSocket::ConnectedState; }

    // Answer "HELLOGUI" with "HELLOAGENT" (default true) and then with
    // "STATUSLOG", "STATUSAD" and "DNSPROTOCOL" (default false).
    void setAnswerHello(bool answer) { answerHello = answer; }
    void setSendStartupStatus(bool send) { sendStartupStatus = send; }
    // Answer "AUTHDATA" with this status and "GETCOORDGUI" with "null" (default true).
    void setAnswerWindowRequests(bool answer) { answerWindowRequests = answer; }
    // The "status" of the answer to "AUTHDATA" (default false: no sign-in data stored).
    void setAuthDataStored(bool stored) { authDataStored = stored; }

    void send(const QString& info, const QJsonObject& data);
    void send(const QString& info);
    void sendRaw(const QByteArray& bytes);
    // Closes the connection from the agent's side.
    void dropClient();

    const QList<QJsonObject>& received() const { return messages; }
    QStringList receivedNames() const;
    int count(const QString& info) const;
    QJsonObject last(const QString& info) const;
    void clearReceived() { messages.clear(); }

signals:
    void messageReceived(const QJsonObject& envelope);

private:
    void onNewConnection();
    void onReadyRead();

    QTcpServer server;
    QPointer<QTcpSocket> client;
    FrameReader reader;
    QList<QJsonObject> messages;
    bool answerHello = true;
    bool sendStartupStatus = false;
    bool answerWindowRequests = true;
    bool authDataStored = false;
};
