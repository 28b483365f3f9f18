#pragma once

#include "common/FrameReader.h"
#include "common/ResolverStatus.h"
#include "control/PinGuard.h"

#include <QBasicTimer>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

class QHostAddress;
class TcpListener;
class QTcpSocket;
class QTimer;

// The agent's side of the local control channel. Accepts connections on the
// loopback addresses only, tells GUI and support clients apart by their
// greeting, turns each recognised command into a signal and frames the replies
// handed to its slots.
//
// A command's handler may wait for the backend in a nested event loop, during
// which the client may leave and other clients are served. So a socket's
// readyRead only reads and checks frames and queues the commands of its
// connection; the server dispatches the queues later (a queued call), one
// command per connection at a time, and a connection's entry outlives its
// socket for as long as one of its handlers is on the stack. The replies of a
// command go to the connection that sent it (dropped when it has left);
// messages that no command asked for go to the client that spoke last.
class TcpServer : public QObject
{
    Q_OBJECT
public:
    // One connection.
    struct Clients
    {
        quint64 id = 0;
        int type = 0;                // 0 = not greeted yet, 1 = GUI, 2 = support client
        QPointer<QTcpSocket> socket; // null once the connection is over
        FrameReader reader;          // the frame being read on this connection
        QPointer<QTimer> deadline;   // owned by the socket
        int deadlineKind = 0;        // what the running deadline waits for
        bool greetingRead = false;   // the first frame (a greeting) has been read
        // The PIN was given on this connection ("CHECKPIN" answered 1) or
        // created on it in this session.
        bool pinConfirmed = false;
        // The last sign-in ("CHECKAUTH") on this connection was answered 1 and
        // no PIN was created since: the connection may create the PIN.
        bool signedInHere = false;
        std::deque<QJsonObject> queue; // commands read, not yet dispatched
        int busy = 0;                  // handlers of this connection on the stack
        qint64 connectedAtMs = 0;      // monotonic
        qint64 lastCommandMs = 0;      // monotonic
    };

    // A connection that leaves a frame unfinished for this long is closed.
    static constexpr int defaultSilenceTimeoutMs = 30000;
    // The first frame must be a greeting and arrive within this time.
    static constexpr int defaultGreetingTimeoutMs = 5000;
    // A support client that sends no command for this long is closed (longer
    // than the minute "corvanectl listen 60" waits for messages).
    static constexpr int defaultIdleTimeoutMs = 90000;
    // A control port that cannot be bound is tried again at this interval.
    static constexpr int defaultBindRetryMs = 2000;
    // Connections per class. Together they make the most the server holds; the
    // tray program's slots cannot be taken by support clients or by
    // connections that have not greeted.
    static constexpr int maxGuiClients = 4;
    static constexpr int maxSupportClients = 44;
    static constexpr int maxUngreetedClients = 16;
    static constexpr int maxClients = maxGuiClients + maxSupportClients + maxUngreetedClients;
    // Largest frame body a client may send (commands are small); the greeting
    // must be shorter still.
    static constexpr int maxClientFrameBytes = 16 * 1024;
    static constexpr int maxGreetingFrameBytes = 256;
    // Commands read and not yet dispatched, per connection; beyond it the
    // socket is not read (TCP then slows the sender down).
    static constexpr int maxQueuedCommands = 64;
    // What of a client's message name goes into a log line.
    static constexpr int maxLoggedNameLength = 64;
    // Replies are dropped while a client leaves this much unread.
    static constexpr qint64 maxUnsentBytes = 4 * 1024 * 1024;

    explicit TcpServer(quint16 port, QObject* parent = nullptr);
    ~TcpServer() override;

    // The port actually bound (useful when constructed with port 0); 0 while
    // the server could not start.
    quint16 serverPort() const;
    bool isListening() const;
    // Open connections (not those that have left while a command of theirs waits).
    int clientCount() const;
    int clientCount(int type) const;
    // Connections refused or closed because their class was full, since construction.
    qint64 refusedCount() const { return refusedTotal; }
    void setSilenceTimeoutMs(int timeoutMs) { silenceTimeoutMs = timeoutMs; }
    void setGreetingTimeoutMs(int timeoutMs) { greetingTimeoutMs = timeoutMs; }
    void setIdleTimeoutMs(int timeoutMs) { idleTimeoutMs = timeoutMs; }
    void setBindRetryMs(int intervalMs);
    // Whether sign-in data is stored (the PIN then guards the personal area's
    // commands); UserData::checkAuthData unless a test replaces it.
    void setSignInStoredCheck(std::function<bool()> check) { signInStored = std::move(check); }
    // Where the PIN guard's state is kept (the settings store unless a test
    // replaces it); the state is loaded at once.
    void setPinGuardStore(std::function<PinGuard::State()> load,
                          std::function<void(const PinGuard::State&)> store);
    // The wall clock of the PIN guard (ms since the epoch).
    void setWallClock(std::function<qint64()> clock);
    const PinGuard& pinGuard() const { return guard; }
    // The connection whose command is running (0: none), for an answer that
    // is only ready later.
    quint64 askingClient() const { return handlingId; }
    // Calls `reply` with the reply slots aimed at connection `id`, as if its
    // command were still running; a connection that has gone gets nothing.
    void replyTo(quint64 id, const std::function<void()>& reply);

    // A client's text as it may appear in a log line: at most `limit`
    // characters, control characters and line breaks replaced.
    static QString loggable(const QString& text, int limit = maxLoggedNameLength);
    // What the first bytes of a connection say: 0 = not enough yet to tell,
    // 1 = plausibly a greeting frame, 2 = an HTTP request, 3 = not a greeting.
    static int classifyFirstBytes(const QByteArray& bytes);

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
    // Sends {"info":"HELLOAGENT"} to that socket directly, whatever the current client is.
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
    // Whether queries are filtered: kept, sent to every greeted client when
    // it changes, and to each client right after its greeting. It holds no
    // account data, so no PIN is asked for it.
    void slotStatusResolver(const ResolverStatus& status);

private:
    enum DeadlineKind
    {
        NoDeadline,
        GreetingDeadline,
        FrameDeadline,
        IdleDeadline
    };

    bool listenOn(TcpListener* listener, const QHostAddress& address, quint16 port);
    void tryBind();
    void timerEvent(QTimerEvent* event) override;
    void readFrom(Clients* client);
    void scheduleDispatch();
    void dispatchPending();
    void runCommand(Clients* client, const QJsonObject& object);
    void greet(Clients* client, int type);
    bool admit(Clients* client, int type);
    void analysisReceivedMessage(Clients* client, const QJsonObject& object);
    void sendToClient(const QJsonObject& envelope, Clients* client);
    void sendReply(const char* info, const QJsonObject& data);
    void sendDirect(Clients* client, const char* info, const QJsonObject& data);
    bool maySeeAccount(const Clients* client) const;
    Clients* findClient(const QTcpSocket* socket) const;
    Clients* findClient(quint64 id) const;
    Clients* replyTarget() const;
    void armDeadline(Clients* client, bool commandDone = false);
    void onDeadline(quint64 id);
    // Ends a connection (logging `why` when given) and forgets it once no
    // handler of it is on the stack.
    void drop(Clients* client, const char* why);
    void release(quint64 id);
    void refuse(QTcpSocket* socket);
    void loadPinGuard();
    void saveGuard();
    qint64 monotonicMs() const { return clock.elapsed(); }

    TcpListener* server = nullptr;   // 127.0.0.1
    TcpListener* serverV6 = nullptr; // ::1, on the same port
    quint16 wantedPort = 0;
    QBasicTimer bindRetry;
    int bindRetryMs = defaultBindRetryMs;
    int bindAttempts = 0;
    std::vector<std::unique_ptr<Clients>> clients;
    quint64 nextId = 1;
    quint64 currentId = 0;  // the client that spoke last
    quint64 handlingId = 0; // the client whose command is being handled (innermost)
    bool dispatchScheduled = false;
    int silenceTimeoutMs = defaultSilenceTimeoutMs;
    int greetingTimeoutMs = defaultGreetingTimeoutMs;
    int idleTimeoutMs = defaultIdleTimeoutMs;
    qint64 refusedWhileFull = 0; // since the limit was last reached
    qint64 refusedTotal = 0;
    bool evicting = false;
    std::function<bool()> signInStored;
    std::function<PinGuard::State()> loadGuard;
    std::function<void(const PinGuard::State&)> storeGuard;
    std::function<qint64()> wallClock;
    PinGuard guard;
    QElapsedTimer clock;
    // The connections whose "CHECKAUTH" / "CHECKPIN" / "CREATEPIN" is being answered.
    quint64 authAsker = 0;
    quint64 pinAsker = 0;
    quint64 pinCreator = 0;
    // The connection whose sign-in was the last one answered 1, while no
    // sign-in was started since and no PIN created: only it may create the PIN.
    quint64 signInHolder = 0;
    // The resolver's state as last reported (none until the DNS server says).
    ResolverStatus resolverStatus;
    bool resolverStatusKnown = false;
};
