#pragma once

#include "FrameReader.h"
#include "PinGuard.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class QTcpServer;
class QTcpSocket;
class QTimer;

// The agent's side of the local control channel. Accepts connections on the
// loopback addresses only, tells GUI and support clients apart by their
// greeting, turns each recognised command into a signal and frames the replies
// handed to its slots. Replies go to the client that spoke last.
class TcpServer : public QObject
{
    Q_OBJECT
public:
    // One open connection.
    struct Clients
    {
        int type = 0; // 0 = not greeted yet, 1 = GUI, 2 = support client
        QTcpSocket* socket = nullptr;
        FrameReader reader;         // the frame being read on this connection
        QTimer* deadline = nullptr; // owned by the socket
        // The PIN was given on this connection ("CHECKPIN" answered 1) or
        // created on it in this session.
        bool pinConfirmed = false;
    };

    // A connection that has not greeted, or that leaves a frame unfinished,
    // for this long is closed.
    static constexpr int defaultSilenceTimeoutMs = 30000;
    // Connections beyond this number are refused at once.
    static constexpr int maxClients = 64;
    // Replies are dropped while a client leaves this much unread.
    static constexpr qint64 maxUnsentBytes = 4 * 1024 * 1024;

    explicit TcpServer(quint16 port, QObject* parent = nullptr);
    ~TcpServer() override;

    // The port actually bound (useful when constructed with port 0); 0 when
    // the server could not start.
    quint16 serverPort() const;
    bool isListening() const;
    int clientCount() const { return static_cast<int>(clients.size()); }
    // Connections refused because maxClients were open, since construction.
    qint64 refusedCount() const { return refusedTotal; }
    void setSilenceTimeoutMs(int timeoutMs) { silenceTimeoutMs = timeoutMs; }
    // Whether sign-in data is stored (the PIN then guards the personal area's
    // commands); UserData::checkAuthData unless a test replaces it.
    void setSignInStoredCheck(std::function<bool()> check) { signInStored = std::move(check); }
    const PinGuard& pinGuard() const { return guard; }

    // Makes `envelope` fit one frame: while its text is too long for the
    // 16-bit length field, the longest text inside "data" is cut (texts that
    // hold JSON are cut inside, so they stay valid JSON). `shortened` tells
    // whether anything was cut.
    static QJsonObject fitToFrame(const QJsonObject& envelope, bool& shortened);
    // What is appended to a text that had to be cut.
    static QString shortenedMarker();

signals:
    void signalConnectGui();
    void signalConnectSupport();
    void signalGetVersion();
    void signalLogin();
    void signalLogout();
    void signalFilteringStatusLocal(QJsonObject data);
    void signalGetProfiles();
    void signalGetProfileId();
    void signalSetProfileId(QJsonObject data);
    void signalGetSystemInfo();
    void signalGetDebug();
    void signalSendDebugInfo();
    void signalGetSettings();
    void signalCheckAuth(QJsonObject data);
    void signalCreatePin(QJsonObject data);
    void signalCheckPin(QJsonObject data);
    void signalAuthData();
    void signalGetCoord();
    void signalSetCoord(QJsonObject data);
    void signalChangeStatusLog();
    void signalChangeDnsProtocol(QJsonObject data);
    void signalChangeNetInterface(QJsonObject data);

public slots:
    void slotNewConnection();
    void slotDisconnection();
    void slotReadClient();
    void slotHello(QTcpSocket* client);
    void slotVersions(const QJsonObject& data);
    void slotFilteringStatusServer(const QJsonObject& data);
    void slotFilteringStatusLocal(const QJsonObject& data);
    void slotUserInfo(const QJsonObject& data);
    void slotProfiles(const QJsonObject& data);
    void slotProfileId(const QJsonObject& data);
    void slotSystemInfo(const QJsonObject& data);
    void slotDebug(const QJsonObject& data);
    void slotStatusCheckAuth(const QJsonObject& data);
    void slotStatusCreatePin(const QJsonObject& data);
    void slotStatusCheckPin(const QJsonObject& data);
    void slotStatusAuthData(const QJsonObject& data);
    void slotCoordGui(const QJsonObject& data);
    void slotStatusLog(const QJsonObject& data);
    void slotStatusAd(const QJsonObject& data);
    void slotDnsProtocol(const QJsonObject& data);
    void slotNetworkInterfaces(const QJsonObject& data);

private:
    void listenOn(QTcpServer* listener);
    void analysisReceivedMessage(const QString& message, QTcpSocket* socket);
    void sendToClient(const QJsonObject& envelope, Clients* client);
    void sendReply(const char* info, const QJsonObject& data);
    Clients* findClient(const QTcpSocket* socket) const;
    void armDeadline(Clients* client);
    void closeSilent(QTcpSocket* socket);
    void refuse(QTcpSocket* socket);
    // Drops the entry of a closed connection and schedules its socket's deletion.
    void forget(QTcpSocket* socket);

    QTcpServer* server = nullptr;   // 127.0.0.1
    QTcpServer* serverV6 = nullptr; // ::1, on the same port
    std::vector<std::unique_ptr<Clients>> clients;
    Clients* currentClient = nullptr;
    int silenceTimeoutMs = defaultSilenceTimeoutMs;
    qint64 refusedWhileFull = 0; // since the limit was last reached
    qint64 refusedTotal = 0;
    std::function<bool()> signInStored;
    PinGuard guard;
    QElapsedTimer clock;
    // The connections whose "CHECKPIN" / "CREATEPIN" is being answered.
    QPointer<QTcpSocket> pinAsker;
    QPointer<QTcpSocket> pinCreator;
    // The connection whose command is being handled (innermost), if any.
    QPointer<QTcpSocket> handling;
};
