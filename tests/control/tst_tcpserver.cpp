#include "ControlTestClient.h"

#include "ControlFrame.h"
#include "MessageNames.h"
#include "TcpServer.h"
#include "UserData.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QtEndian>
#include <QtTest>

#include <QChildEvent>
#include <QLoggingCategory>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

namespace {

// Every command signal of the server with the name that raises it.
struct SignalSpies
{
    explicit SignalSpies(TcpServer* server)
    {
        add(MessageNames::GetVersion, new QSignalSpy(server, &TcpServer::signalGetVersion));
        add(MessageNames::Login, new QSignalSpy(server, &TcpServer::signalLogin));
        add(MessageNames::Logout, new QSignalSpy(server, &TcpServer::signalLogout));
        add(MessageNames::StatusFilteringLocal,
            new QSignalSpy(server, &TcpServer::signalFilteringStatusLocal));
        add(MessageNames::GetProfiles, new QSignalSpy(server, &TcpServer::signalGetProfiles));
        add(MessageNames::GetProfileId, new QSignalSpy(server, &TcpServer::signalGetProfileId));
        add(MessageNames::SetProfileId, new QSignalSpy(server, &TcpServer::signalSetProfileId));
        add(MessageNames::GetSystemInfo, new QSignalSpy(server, &TcpServer::signalGetSystemInfo));
        add(MessageNames::GetDebug, new QSignalSpy(server, &TcpServer::signalGetDebug));
        add(MessageNames::SendDebugInfo, new QSignalSpy(server, &TcpServer::signalSendDebugInfo));
        add(MessageNames::GetSettings, new QSignalSpy(server, &TcpServer::signalGetSettings));
        add(MessageNames::CheckAuth, new QSignalSpy(server, &TcpServer::signalCheckAuth));
        add(MessageNames::CreatePin, new QSignalSpy(server, &TcpServer::signalCreatePin));
        add(MessageNames::CheckPin, new QSignalSpy(server, &TcpServer::signalCheckPin));
        add(MessageNames::AuthData, new QSignalSpy(server, &TcpServer::signalAuthData));
        add(MessageNames::GetCoordGui, new QSignalSpy(server, &TcpServer::signalGetCoord));
        add(MessageNames::SetCoordGui, new QSignalSpy(server, &TcpServer::signalSetCoord));
        add(MessageNames::ChangeStatusLog, new QSignalSpy(server, &TcpServer::signalChangeStatusLog));
        add(MessageNames::ChangeDnsProtocol, new QSignalSpy(server, &TcpServer::signalChangeDnsProtocol));
        add(MessageNames::ChangeNetInterface, new QSignalSpy(server, &TcpServer::signalChangeNetInterface));
        add(MessageNames::HelloGui, new QSignalSpy(server, &TcpServer::signalConnectGui));
        add(MessageNames::HelloSupport, new QSignalSpy(server, &TcpServer::signalConnectSupport));
    }
    void add(const char* name, QSignalSpy* spy) { spies.emplace_back(QString::fromLatin1(name), spy); }
    QSignalSpy& of(const QString& name)
    {
        for (auto& entry : spies) {
            if (entry.first == name)
                return *entry.second;
        }
        qFatal("no spy for %s", qPrintable(name));
    }
    int total() const
    {
        int sum = 0;
        for (const auto& entry : spies)
            sum += entry.second->count();
        return sum;
    }
    std::vector<std::pair<QString, std::unique_ptr<QSignalSpy>>> spies;
};

// The server's socket for a client connection.
QTcpSocket* serverSide(TcpServer& server, const ControlTestClient& client)
{
    const auto sockets = server.findChildren<QTcpSocket*>();
    for (QTcpSocket* socket : sockets) {
        if (socket->peerPort() == client.socket.localPort())
            return socket;
    }
    return nullptr;
}

QByteArray rawFrame(const QByteArray& body)
{
    QByteArray frame(2, '\0');
    qToBigEndian(static_cast<quint16>(body.size()), frame.data());
    return frame + body;
}

// A frame body holding `units` UTF-16 code units, given big-endian.
QByteArray stringBody(const QByteArray& utf16be)
{
    QByteArray body(4, '\0');
    qToBigEndian(static_cast<quint32>(utf16be.size()), body.data());
    return body + utf16be;
}

QByteArray utf16be(const QString& text)
{
    QByteArray bytes;
    for (const QChar c : text) {
        bytes.append(static_cast<char>(c.unicode() >> 8));
        bytes.append(static_cast<char>(c.unicode() & 0xFF));
    }
    return bytes;
}

// Counts the sockets the listening servers create for accepted connections
// and how many of them have been destroyed since.
class SocketLedger : public QObject
{
public:
    explicit SocketLedger(TcpServer& server)
    {
        const auto listeners = server.findChildren<QTcpServer*>();
        for (QTcpServer* listener : listeners)
            listener->installEventFilter(this);
    }
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::ChildAdded) {
            ++created;
            connect(static_cast<QChildEvent*>(event)->child(), &QObject::destroyed, this,
                    [this] { ++destroyed; });
        }
        return QObject::eventFilter(watched, event);
    }
    int created = 0;
    int destroyed = 0;
};

// Counts the log lines with a given text while it exists; every line still
// reaches the test framework (so QTest::ignoreMessage keeps working).
class LogLineCounter
{
public:
    LogLineCounter()
    {
        instance() = this;
        previous = qInstallMessageHandler(&LogLineCounter::handle);
    }
    ~LogLineCounter()
    {
        qInstallMessageHandler(previous);
        instance() = nullptr;
    }
    int count(const QString& text) const { return lines.count(text); }

private:
    static LogLineCounter*& instance()
    {
        static LogLineCounter* current = nullptr;
        return current;
    }
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        LogLineCounter* self = instance();
        if (!self)
            return;
        self->lines.append(message);
        if (self->previous)
            self->previous(type, context, message);
    }
    QtMessageHandler previous = nullptr;
    QStringList lines;
};

} // namespace

class TestTcpServer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void listensOnBothLoopbackAddresses();
    void dispatch_data();
    void dispatch();
    void wrongPinsLockOut();
    void clientsServedWhileCommandWaits();
    void clientLeavesWhileCommandWaits_data();
    void clientLeavesWhileCommandWaits();
    void commandBeforeGreetingIsBadHeader();
    void unknownCommandIsBadHeader();
    void greetingAnsweredToGreetingSocket();
    void repeatedGreetingChangesKind();
    void coalescedFramesHandledInOneRead();
    void splitFrameHandledWhenComplete();
    void nonAsciiNamesArriveUnchanged();
    void replyGoesToLastSender();
    void noConfirmedClientAfterOnlyClientLeft();
    void badFrames_data();
    void badFrames();
    void silentClientIsClosed();
    void unfinishedFrameIsClosed();
    void floodOfCommandsIsServed();
    void oversizedReplyIsShortenedAndValid();
    void fitToFrame_data();
    void fitToFrame();
    void portInUseLeavesServerIdle();
    void manyConnectionsLeaveNothingBehind_data();
    void manyConnectionsLeaveNothingBehind();
    void excessConnectionsAreRefused();
};

void TestTcpServer::initTestCase()
{
    UserData::resetMemoryState();
}

void TestTcpServer::listensOnBothLoopbackAddresses()
{
    TcpServer server(0);
    QVERIFY(server.isListening());
    QVERIFY(server.serverPort() != 0);
    ControlTestClient v4;
    QVERIFY(v4.connectTo(server.serverPort(), QHostAddress::LocalHost));
    ControlTestClient v6;
    if (!v6.connectTo(server.serverPort(), QHostAddress::LocalHostIPv6))
        QSKIP("no IPv6 loopback here");
    QTRY_COMPARE(server.clientCount(), 2);
    v6.send(QLatin1String(MessageNames::HelloSupport));
    QTRY_COMPARE(v6.infos(), QStringList{QLatin1String(MessageNames::HelloAgent)});
}

void TestTcpServer::dispatch_data()
{
    QTest::addColumn<QString>("info");
    QTest::addColumn<QJsonObject>("data");
    QTest::addColumn<bool>("carriesData");
    // Ignored while sign-in data is stored, unless the PIN was given.
    QTest::addColumn<bool>("guarded");

    const QJsonObject none;
    QTest::newRow("GETVERSION") << QStringLiteral("GETVERSION") << none << false << false;
    QTest::newRow("LOGIN") << QStringLiteral("LOGIN") << none << false << false;
    QTest::newRow("LOGOUT") << QStringLiteral("LOGOUT") << none << false << true;
    QTest::newRow("STATUSFILTERINGLOCAL")
        << QStringLiteral("STATUSFILTERINGLOCAL") << QJsonObject{{"status", 1}} << true << true;
    QTest::newRow("GETPROFILES") << QStringLiteral("GETPROFILES") << none << false << false;
    QTest::newRow("GETPROFILEID") << QStringLiteral("GETPROFILEID") << none << false << false;
    QTest::newRow("SETPROFILEID") << QStringLiteral("SETPROFILEID") << QJsonObject{{"profile_id", 42}} << true
                                  << true;
    QTest::newRow("GETSYSTEMINFO") << QStringLiteral("GETSYSTEMINFO") << none << false << false;
    QTest::newRow("GETDEBUG") << QStringLiteral("GETDEBUG") << none << false << false;
    QTest::newRow("SENDDEBUGINFO") << QStringLiteral("SENDDEBUGINFO") << none << false << false;
    QTest::newRow("GETSETTINGS") << QStringLiteral("GETSETTINGS") << none << false << false;
    QTest::newRow("CHECKAUTH") << QStringLiteral("CHECKAUTH")
                               << QJsonObject{{"login", "anna"}, {"password", "secret"}} << true << true;
    QTest::newRow("CHECKAUTH without data") << QStringLiteral("CHECKAUTH") << none << true << true;
    QTest::newRow("CREATEPIN") << QStringLiteral("CREATEPIN") << QJsonObject{{"pin_code", "1234"}} << true
                               << true;
    QTest::newRow("CHECKPIN") << QStringLiteral("CHECKPIN") << QJsonObject{{"pin_code", "1234"}} << true
                              << false;
    QTest::newRow("AUTHDATA") << QStringLiteral("AUTHDATA") << none << false << false;
    QTest::newRow("GETCOORDGUI") << QStringLiteral("GETCOORDGUI") << none << false << false;
    QTest::newRow("SETCOORDGUI") << QStringLiteral("SETCOORDGUI") << QJsonObject{{"x", "10"}, {"y", "20"}}
                                 << true << false;
    QTest::newRow("CHANGESTATUSLOG") << QStringLiteral("CHANGESTATUSLOG") << none << false << true;
    QTest::newRow("CHANGEDNSPROTOCOL")
        << QStringLiteral("CHANGEDNSPROTOCOL") << QJsonObject{{"dns_protocol", 2}} << true << true;
    QTest::newRow("CHANGENETINTERFACE") << QStringLiteral("CHANGENETINTERFACE")
                                        << QJsonObject{{"guid", "{A}"}, {"status", true}} << true << true;
}

void TestTcpServer::dispatch()
{
    QFETCH(QString, info);
    QFETCH(QJsonObject, data);
    QFETCH(bool, carriesData);
    QFETCH(bool, guarded);

    TcpServer server(0);
    SignalSpies spies(&server);
    ControlTestClient client;
    QVERIFY(client.connectTo(server.serverPort()));
    client.send(QLatin1String(MessageNames::HelloSupport));
    QTRY_COMPARE(spies.of(QLatin1String(MessageNames::HelloSupport)).count(), 1);

    if (carriesData && data.isEmpty())
        client.send(ControlFrame::envelope(info));
    else
        client.send(ControlFrame::envelope(info, data, carriesData));
    QSignalSpy& spy = spies.of(info);
    QTRY_COMPARE(spy.count(), 1);
    // Exactly this command's signal and the greeting's, nothing else.
    QCOMPARE(spies.total(), 2);
    if (carriesData)
        QCOMPARE(spy.at(0).at(0).value<QJsonObject>(), data);
    else
        QVERIFY(spy.at(0).isEmpty());

    // With sign-in data stored, a connection that has not given the PIN gets
    // no effect from the personal area's commands; once it has, it does.
    server.setSignInStoredCheck([] { return true; });
    connect(&server, &TcpServer::signalCheckPin, &server, [&server](const QJsonObject& pin) {
        server.slotStatusCheckPin(QJsonObject{{"status", pin.value("pin_code") == "4711" ? 1 : 0}});
    });
    const auto sendCommand = [&] {
        if (carriesData && data.isEmpty())
            client.send(ControlFrame::envelope(info));
        else
            client.send(ControlFrame::envelope(info, data, carriesData));
    };
    spy.clear();
    if (guarded)
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(QStringLiteral("PIN NOT GIVEN ON THIS CONNECTION, IGNORED ") + info));
    sendCommand();
    // A command of no interest here, answered in order, marks the end.
    const QString marker =
        QLatin1String(info == QLatin1String(MessageNames::GetCoordGui) ? MessageNames::AuthData
                                                                       : MessageNames::GetCoordGui);
    client.send(marker);
    QTRY_COMPARE(spies.of(marker).count(), 1);
    QCOMPARE(spy.count(), guarded ? 0 : 1);
    if (info == QLatin1String(MessageNames::CheckPin))
        return;
    client.send(QLatin1String(MessageNames::CheckPin), QJsonObject{{"pin_code", "4711"}});
    QTRY_COMPARE(client.infos().count(QLatin1String(MessageNames::StatusCheckPin)), 1);
    spy.clear();
    sendCommand();
    QTRY_COMPARE(spy.count(), 1);
}

void TestTcpServer::wrongPinsLockOut()
{
    // The arithmetic: three wrong PINs lock for 10 s; each wrong PIN after a
    // lock-out doubles the next one, up to 10 minutes; a right PIN resets.
    PinGuard guard;
    qint64 now = 1000;
    guard.wrongPin(now);
    guard.wrongPin(now);
    QVERIFY(!guard.isLockedOut(now));
    guard.wrongPin(now);
    QCOMPARE(guard.remainingMs(now), 10000);
    QVERIFY(guard.isLockedOut(now + 9999));
    QVERIFY(!guard.isLockedOut(now + 10000));
    QList<qint64> lengths;
    for (int i = 0; i < 8; ++i) {
        now += guard.remainingMs(now);
        guard.wrongPin(now);
        lengths.append(guard.remainingMs(now));
    }
    QCOMPARE(lengths, (QList<qint64>{20000, 40000, 80000, 160000, 320000, 600000, 600000, 600000}));
    now += guard.remainingMs(now);
    guard.rightPin();
    guard.wrongPin(now);
    guard.wrongPin(now);
    QVERIFY(!guard.isLockedOut(now));

    // Across connections: after three wrong PINs a new connection's right PIN
    // is answered 0 without being checked.
    TcpServer server(0);
    SignalSpies spies(&server);
    connect(&server, &TcpServer::signalCheckPin, &server, [&server](const QJsonObject& pin) {
        server.slotStatusCheckPin(QJsonObject{{"status", pin.value("pin_code") == "4711" ? 1 : 0}});
    });
    for (int i = 0; i < PinGuard::wrongBeforeLockOut; ++i) {
        ControlTestClient guesser;
        QVERIFY(guesser.connectTo(server.serverPort()));
        guesser.send(QLatin1String(MessageNames::HelloSupport));
        if (i == PinGuard::wrongBeforeLockOut - 1)
            QTest::ignoreMessage(QtWarningMsg, "WRONG PIN, in a row: 3");
        guesser.send(QLatin1String(MessageNames::CheckPin), QJsonObject{{"pin_code", "0000"}});
        QTRY_COMPARE(guesser.infos().count(QLatin1String(MessageNames::StatusCheckPin)), 1);
        QCOMPARE(guesser.messages.last().value("data").toObject().value("status").toInt(-1), 0);
    }
    QCOMPARE(server.pinGuard().wrongInRow(), PinGuard::wrongBeforeLockOut);
    ControlTestClient owner;
    QVERIFY(owner.connectTo(server.serverPort()));
    owner.send(QLatin1String(MessageNames::HelloGui));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^PIN LOCKED OUT, NOT CHECKED")));
    owner.send(QLatin1String(MessageNames::CheckPin), QJsonObject{{"pin_code", "4711"}});
    QTRY_COMPARE(owner.infos().count(QLatin1String(MessageNames::StatusCheckPin)), 1);
    QCOMPARE(owner.messages.last().value("data").toObject().value("status").toInt(-1), 0);
    QCOMPARE(spies.of(QLatin1String(MessageNames::CheckPin)).count(), PinGuard::wrongBeforeLockOut);
}

void TestTcpServer::clientsServedWhileCommandWaits()
{
    TcpServer server(0);
    connect(&server, &TcpServer::signalAuthData, &server, [&server] {
        server.slotStatusAuthData(QJsonObject{{"status", false}});
    });
    std::vector<std::unique_ptr<ControlTestClient>> newcomers;
    int answeredDuringWait = 0;
    // A sign-in that waits 1.5 s for the backend in a nested event loop, as
    // the backend layer does; four clients arrive meanwhile.
    connect(&server, &TcpServer::signalCheckAuth, &server, [&] {
        for (int i = 0; i < 4; ++i) {
            newcomers.push_back(std::make_unique<ControlTestClient>());
            ControlTestClient* newcomer = newcomers.back().get();
            connect(&newcomer->socket, &QTcpSocket::connected, newcomer, [newcomer] {
                newcomer->send(QLatin1String(MessageNames::HelloSupport));
                newcomer->send(QLatin1String(MessageNames::AuthData));
            });
            newcomer->socket.connectToHost(QHostAddress::LocalHost, server.serverPort());
        }
        QEventLoop wait;
        QTimer::singleShot(1500, &wait, &QEventLoop::quit);
        wait.exec();
        for (const auto& newcomer : newcomers)
            answeredDuringWait +=
                newcomer->infos().contains(QLatin1String(MessageNames::StatusAuthData)) ? 1 : 0;
        server.slotStatusCheckAuth(QJsonObject{{"status", 1}});
    });
    ControlTestClient gui;
    QVERIFY(gui.connectTo(server.serverPort()));
    gui.send(QLatin1String(MessageNames::HelloGui));
    gui.send(QLatin1String(MessageNames::CheckAuth), QJsonObject{{"login", "demo"}, {"password", "x"}});
    QTRY_VERIFY(gui.infos().contains(QLatin1String(MessageNames::StatusCheckAuth)));
    QCOMPARE(answeredDuringWait, 4);
    // The sign-in's answer reached the client that asked, and only it.
    for (const auto& newcomer : newcomers)
        QVERIFY(!newcomer->infos().contains(QLatin1String(MessageNames::StatusCheckAuth)));
}

void TestTcpServer::clientLeavesWhileCommandWaits_data()
{
    QTest::addColumn<QString>("info");
    QTest::addColumn<bool>("abortive");
    // Commands whose handlers wait for the backend (or an external program)
    // in a nested event loop, as the backend layer does.
    QTest::newRow("GETPROFILES, closed") << QStringLiteral("GETPROFILES") << false;
    QTest::newRow("GETPROFILES, reset") << QStringLiteral("GETPROFILES") << true;
    QTest::newRow("SENDDEBUGINFO, closed") << QStringLiteral("SENDDEBUGINFO") << false;
    QTest::newRow("CHECKPIN, closed") << QStringLiteral("CHECKPIN") << false;
    QTest::newRow("CHECKAUTH, reset") << QStringLiteral("CHECKAUTH") << true;
}

void TestTcpServer::clientLeavesWhileCommandWaits()
{
    QFETCH(QString, info);
    QFETCH(bool, abortive);

    TcpServer server(0);
    server.setSignInStoredCheck([] { return false; });
    int waits = 0;
    bool sawLeave = false;
    // The client leaves while the handler waits in its nested loop.
    std::function<void()> leave;
    // The handler waits until the server has seen the client go (and
    // deferred deletions have run inside the wait), then answers.
    const auto waitThenAnswer = [&](const std::function<void()>& answer) {
        ++waits;
        QEventLoop wait;
        QTimer poll;
        connect(&poll, &QTimer::timeout, &wait, [&] {
            if (!leave || server.clientCount() == 0) {
                sawLeave = sawLeave || leave;
                QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
                wait.quit();
            }
        });
        poll.start(5);
        if (leave)
            QTimer::singleShot(0, &wait, leave);
        QTimer::singleShot(10000, &wait, &QEventLoop::quit);
        wait.exec();
        leave = nullptr;
        answer();
    };
    connect(&server, &TcpServer::signalGetProfiles, &server,
            [&] { waitThenAnswer([&] { server.slotProfiles(QJsonObject{{"profiles", QJsonArray()}}); }); });
    connect(&server, &TcpServer::signalSendDebugInfo, &server, [&] { waitThenAnswer([] {}); });
    connect(&server, &TcpServer::signalCheckPin, &server, [&](const QJsonObject&) {
        waitThenAnswer([&] { server.slotStatusCheckPin(QJsonObject{{"status", 1}}); });
    });
    connect(&server, &TcpServer::signalCheckAuth, &server, [&](const QJsonObject&) {
        waitThenAnswer([&] { server.slotStatusCheckAuth(QJsonObject{{"status", 1}}); });
    });
    auto leaving = std::make_unique<ControlTestClient>();
    QVERIFY(leaving->connectTo(server.serverPort()));
    leaving->send(QLatin1String(MessageNames::HelloSupport));
    QTRY_COMPARE(leaving->messages.size(), 1);
    leave = [&] {
        if (abortive)
            leaving->socket.abort();
        else
            leaving->socket.disconnectFromHost();
    };
    leaving->send(info, QJsonObject{{"pin_code", "1234"}, {"login", "a"}, {"password", "b"}});
    QTRY_COMPARE(waits, 1);
    QTRY_VERIFY(sawLeave);
    QTRY_COMPARE(server.clientCount(), 0);
    // The late answer went nowhere, and the next client is served.
    ControlTestClient next;
    QVERIFY(next.connectTo(server.serverPort()));
    next.send(QLatin1String(MessageNames::HelloSupport));
    next.send(QLatin1String(MessageNames::GetProfiles));
    QTRY_COMPARE(waits, 2);
    QTRY_COMPARE(next.infos(), (QStringList{QLatin1String(MessageNames::HelloAgent),
                                            QLatin1String(MessageNames::Profiles)}));
}

void TestTcpServer::commandBeforeGreetingIsBadHeader()
{
    TcpServer server(0);
    SignalSpies spies(&server);
    ControlTestClient client;
    QVERIFY(client.connectTo(server.serverPort()));

    QTest::ignoreMessage(QtWarningMsg, "BAD HEADER GETVERSION");
    client.send(QLatin1String(MessageNames::GetVersion));
    client.send(QLatin1String(MessageNames::HelloGui));
    client.send(QLatin1String(MessageNames::GetVersion));
    QTRY_COMPARE(spies.of(QLatin1String(MessageNames::GetVersion)).count(), 1);
    QCOMPARE(spies.of(QLatin1String(MessageNames::HelloGui)).count(), 1);
    // The command before the greeting got no answer: the greeting's is the first.
    QTRY_COMPARE(client.infos(), QStringList{QLatin1String(MessageNames::HelloAgent)});
}

void TestTcpServer::unknownCommandIsBadHeader()
{
    TcpServer server(0);
    SignalSpies spies(&server);
    ControlTestClient client;
    QVERIFY(client.connectTo(server.serverPort()));
    client.send(QLatin1String(MessageNames::HelloGui));
    QTest::ignoreMessage(QtWarningMsg, "BAD HEADER GETWEATHER");
    QTest::ignoreMessage(QtWarningMsg, "BAD HEADER getversion");
    client.send(QStringLiteral("GETWEATHER"));
    client.send(QStringLiteral("getversion"));
    client.send(QLatin1String(MessageNames::AuthData));
    QTRY_COMPARE(spies.of(QLatin1String(MessageNames::AuthData)).count(), 1);
    QCOMPARE(spies.total(), 2);
}

void TestTcpServer::greetingAnsweredToGreetingSocket()
{
    TcpServer server(0);
    ControlTestClient first;
    ControlTestClient second;
    QVERIFY(first.connectTo(server.serverPort()));
    QVERIFY(second.connectTo(server.serverPort()));
    QTRY_COMPARE(server.clientCount(), 2);

    first.send(QLatin1String(MessageNames::HelloGui));
    QTRY_COMPARE(first.texts, QStringList{QStringLiteral("{\"info\":\"HELLOAGENT\"}")});

    // The first client is current; a greeting for the second still goes to it.
    QTcpSocket* secondSocket = serverSide(server, second);
    QVERIFY(secondSocket);
    server.slotHello(secondSocket);
    QTRY_COMPARE(second.texts, QStringList{QStringLiteral("{\"info\":\"HELLOAGENT\"}")});

    // And an ordinary reply still goes to the current (first) client, after
    // nothing else: the greeting did not leak to it.
    server.slotStatusAuthData(QJsonObject{{"status", false}});
    QTRY_COMPARE(first.messages.size(), 2);
    QCOMPARE(first.infos().at(1), QLatin1String(MessageNames::StatusAuthData));
    QCOMPARE(second.messages.size(), 1);
}

void TestTcpServer::repeatedGreetingChangesKind()
{
    TcpServer server(0);
    SignalSpies spies(&server);
    ControlTestClient client;
    QVERIFY(client.connectTo(server.serverPort()));
    client.send(QLatin1String(MessageNames::HelloGui));
    client.send(QLatin1String(MessageNames::HelloSupport));
    client.send(QLatin1String(MessageNames::HelloGui));
    QTRY_COMPARE(client.messages.size(), 3);
    QCOMPARE(spies.of(QLatin1String(MessageNames::HelloGui)).count(), 2);
    QCOMPARE(spies.of(QLatin1String(MessageNames::HelloSupport)).count(), 1);
    // Closing logs the kind of the last greeting.
    QTest::ignoreMessage(QtInfoMsg, "BYE GUI");
    client.socket.disconnectFromHost();
    QTRY_COMPARE(server.clientCount(), 0);
}

void TestTcpServer::coalescedFramesHandledInOneRead()
{
    TcpServer server(0);
    SignalSpies spies(&server);
    ControlTestClient client;
    QVERIFY(client.connectTo(server.serverPort()));
    QTRY_COMPARE(server.clientCount(), 1);
    QTcpSocket* socket = serverSide(server, client);
    QVERIFY(socket);
    QSignalSpy readyRead(socket, &QTcpSocket::readyRead);

    const QByteArray both =
        ControlFrame::encode(ControlFrame::envelope(QLatin1String(MessageNames::HelloGui))) +
        ControlFrame::encode(ControlFrame::envelope(QLatin1String(MessageNames::Login)));
    client.sendRaw(both);
    QVERIFY(readyRead.wait());
    // The server's slot ran before the spy saw the signal: both frames are done.
    QCOMPARE(spies.of(QLatin1String(MessageNames::HelloGui)).count(), 1);
    QCOMPARE(spies.of(QLatin1String(MessageNames::Login)).count(), 1);
}

void TestTcpServer::splitFrameHandledWhenComplete()
{
    TcpServer server(0);
    SignalSpies spies(&server);
    ControlTestClient client;
    QVERIFY(client.connectTo(server.serverPort()));
    client.send(QLatin1String(MessageNames::HelloGui));
    QTRY_COMPARE(client.messages.size(), 1);
    QTcpSocket* socket = serverSide(server, client);
    QVERIFY(socket);
    QSignalSpy readyRead(socket, &QTcpSocket::readyRead);

    const QByteArray frame = ControlFrame::encode(
        ControlFrame::envelope(QLatin1String(MessageNames::CheckAuth), QJsonObject{{"login", "a"}}));
    // Cut inside the length field first, then inside the string.
    const QList<int> cuts{1, 9, frame.size()};
    int from = 0;
    for (int cut : cuts) {
        QCOMPARE(spies.of(QLatin1String(MessageNames::CheckAuth)).count(), 0);
        client.sendRaw(frame.mid(from, cut - from));
        from = cut;
        QVERIFY(readyRead.wait());
    }
    QCOMPARE(spies.of(QLatin1String(MessageNames::CheckAuth)).count(), 1);
    QCOMPARE(spies.of(QLatin1String(MessageNames::CheckAuth)).at(0).at(0).value<QJsonObject>(),
             (QJsonObject{{"login", "a"}}));
}

void TestTcpServer::nonAsciiNamesArriveUnchanged()
{
    TcpServer server(0);
    ControlTestClient client;
    QVERIFY(client.connectTo(server.serverPort()));
    client.send(QLatin1String(MessageNames::HelloGui));
    QTRY_COMPARE(client.messages.size(), 1);

    const QString name = QStringLiteral("Детский профиль — Ünïcödé 日本 😀");
    const QJsonObject profiles{{"profiles", QJsonArray{QJsonObject{{"id", "3"}, {"name", name}}}}};
    server.slotProfiles(profiles);
    const QJsonObject interfaces{
        {"interfaces",
         QJsonArray{
             QJsonObject{{"guid", "{G}"}, {"name", QStringLiteral("Беспроводная сеть")}, {"status", true}}}}};
    server.slotNetworkInterfaces(interfaces);
    QTRY_COMPARE(client.messages.size(), 3);
    QCOMPARE(client.messages.at(1), ControlFrame::envelope(QLatin1String(MessageNames::Profiles), profiles));
    QCOMPARE(client.messages.at(1)
                 .value("data")
                 .toObject()
                 .value("profiles")
                 .toArray()
                 .at(0)
                 .toObject()
                 .value("name")
                 .toString(),
             name);
    QCOMPARE(client.messages.at(2),
             ControlFrame::envelope(QLatin1String(MessageNames::NetworkInterfaces), interfaces));
}

void TestTcpServer::replyGoesToLastSender()
{
    TcpServer server(0);
    SignalSpies spies(&server);
    ControlTestClient gui;
    ControlTestClient support;
    QVERIFY(gui.connectTo(server.serverPort()));
    QVERIFY(support.connectTo(server.serverPort()));
    gui.send(QLatin1String(MessageNames::HelloGui));
    QTRY_COMPARE(gui.messages.size(), 1);
    support.send(QLatin1String(MessageNames::HelloSupport));
    QTRY_COMPARE(support.messages.size(), 1);

    // The GUI asks, then the support client speaks before the answer is ready:
    // the answer goes to whoever spoke last.
    gui.send(QLatin1String(MessageNames::GetProfileId));
    QTRY_COMPARE(spies.of(QLatin1String(MessageNames::GetProfileId)).count(), 1);
    support.send(QLatin1String(MessageNames::AuthData));
    QTRY_COMPARE(spies.of(QLatin1String(MessageNames::AuthData)).count(), 1);
    server.slotProfileId(QJsonObject{{"profile_id", 5}});
    QTRY_COMPARE(support.messages.size(), 2);
    QCOMPARE(support.infos().at(1), QLatin1String(MessageNames::ProfileId));

    // The GUI speaks again and gets the next reply as its second message, so
    // the one before did not reach it.
    gui.send(QLatin1String(MessageNames::GetCoordGui));
    QTRY_COMPARE(spies.of(QLatin1String(MessageNames::GetCoordGui)).count(), 1);
    server.slotCoordGui(QJsonObject{{"x", "null"}, {"y", "null"}});
    QTRY_COMPARE(gui.messages.size(), 2);
    QCOMPARE(gui.infos().at(1), QLatin1String(MessageNames::CoordGui));
    QCOMPARE(support.messages.size(), 2);
}

void TestTcpServer::noConfirmedClientAfterOnlyClientLeft()
{
    TcpServer server(0);
    QTest::ignoreMessage(QtWarningMsg, "NO CONFIRMED CLIENT");
    server.slotFilteringStatusServer(QJsonObject{{"filtering_status", true}});

    {
        ControlTestClient client;
        QVERIFY(client.connectTo(server.serverPort()));
        client.send(QLatin1String(MessageNames::HelloGui));
        QTRY_COMPARE(client.messages.size(), 1);
        server.slotFilteringStatusServer(QJsonObject{{"filtering_status", true}});
        QTRY_COMPARE(client.messages.size(), 2);
        QTest::ignoreMessage(QtInfoMsg, "BYE GUI");
        client.socket.disconnectFromHost();
        QTRY_COMPARE(server.clientCount(), 0);
    }
    QTest::ignoreMessage(QtWarningMsg, "NO CONFIRMED CLIENT");
    server.slotFilteringStatusServer(QJsonObject{{"filtering_status", true}});

    // A client that has connected but said nothing does not become current.
    ControlTestClient quiet;
    QVERIFY(quiet.connectTo(server.serverPort()));
    QTRY_COMPARE(server.clientCount(), 1);
    QTest::ignoreMessage(QtWarningMsg, "NO CONFIRMED CLIENT");
    server.slotFilteringStatusServer(QJsonObject{{"filtering_status", true}});
}

void TestTcpServer::badFrames_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("warning");

    QTest::newRow("zero-length frame") << rawFrame(QByteArray()) << QStringLiteral("BAD FRAME, dropped: 1");
    QTest::newRow("string count larger than the frame")
        << rawFrame(QByteArray::fromHex("00000010") + utf16be(QStringLiteral("{}")))
        << QStringLiteral("BAD FRAME, dropped: 1");
    QTest::newRow("odd string count") << rawFrame(QByteArray::fromHex("00000003") + QByteArray("abc"))
                                      << QStringLiteral("BAD FRAME, dropped: 1");
    QTest::newRow("null string") << rawFrame(QByteArray::fromHex("ffffffff"))
                                 << QStringLiteral("BAD HEADER ");
    QTest::newRow("lone surrogate in the name")
        << rawFrame(stringBody(utf16be(QStringLiteral("{\"info\":\"GETDEBUG")) + QByteArray::fromHex("d800") +
                               utf16be(QStringLiteral("\"}"))))
        << QStringLiteral("BAD HEADER GETDEBUG");
    QTest::newRow("not JSON") << rawFrame(stringBody(utf16be(QStringLiteral("hello agent"))))
                              << QStringLiteral("BAD HEADER ");
    QTest::newRow("JSON array") << rawFrame(stringBody(utf16be(QStringLiteral("[\"GETDEBUG\"]"))))
                                << QStringLiteral("BAD HEADER ");
    QTest::newRow("info not a string")
        << rawFrame(stringBody(utf16be(QStringLiteral("{\"info\":7}")))) << QStringLiteral("BAD HEADER ");
    QTest::newRow("binary garbage") << rawFrame(QByteArray::fromHex("0001020304fffefd"))
                                    << QStringLiteral("BAD FRAME, dropped: 1");
}

void TestTcpServer::badFrames()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, warning);

    TcpServer server(0);
    SignalSpies spies(&server);
    ControlTestClient client;
    QVERIFY(client.connectTo(server.serverPort()));
    client.send(QLatin1String(MessageNames::HelloGui));
    QTRY_COMPARE(client.messages.size(), 1);

    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(warning)));
    client.sendRaw(bytes);
    // The connection stays usable: the next command is handled normally.
    client.send(QLatin1String(MessageNames::ChangeStatusLog));
    QTRY_COMPARE(spies.of(QLatin1String(MessageNames::ChangeStatusLog)).count(), 1);
    QCOMPARE(spies.total(), 2);
    QCOMPARE(server.clientCount(), 1);
}

void TestTcpServer::silentClientIsClosed()
{
    TcpServer server(0);
    server.setSilenceTimeoutMs(100);
    ControlTestClient silent;
    QVERIFY(silent.connectTo(server.serverPort()));
    QTRY_COMPARE(server.clientCount(), 1);
    QTest::ignoreMessage(QtWarningMsg, "CLIENT DID NOT GREET, CLOSING");
    QTRY_COMPARE(server.clientCount(), 0);
    QTRY_COMPARE(silent.socket.state(), QAbstractSocket::UnconnectedState);

    // A greeted client may stay idle as long as it likes: a second silent
    // client, connected after it, is closed first, so the greeted one's
    // deadline would have passed too.
    ControlTestClient gui;
    QVERIFY(gui.connectTo(server.serverPort()));
    gui.send(QLatin1String(MessageNames::HelloGui));
    QTRY_COMPARE(gui.messages.size(), 1);
    ControlTestClient later;
    QVERIFY(later.connectTo(server.serverPort()));
    QTRY_COMPARE(server.clientCount(), 2);
    QTest::ignoreMessage(QtWarningMsg, "CLIENT DID NOT GREET, CLOSING");
    QTRY_COMPARE(later.socket.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(server.clientCount(), 1);
    QCOMPARE(gui.socket.state(), QAbstractSocket::ConnectedState);
}

void TestTcpServer::unfinishedFrameIsClosed()
{
    TcpServer server(0);
    server.setSilenceTimeoutMs(100);
    ControlTestClient client;
    QVERIFY(client.connectTo(server.serverPort()));
    client.send(QLatin1String(MessageNames::HelloGui));
    QTRY_COMPARE(client.messages.size(), 1);
    // A length that promises more than ever comes.
    QTest::ignoreMessage(QtWarningMsg, "FRAME NOT COMPLETED, CLOSING");
    client.sendRaw(QByteArray::fromHex("fff0000000"));
    QTRY_COMPARE(server.clientCount(), 0);
    QTRY_COMPARE(client.socket.state(), QAbstractSocket::UnconnectedState);
}

void TestTcpServer::floodOfCommandsIsServed()
{
    TcpServer server(0);
    SignalSpies spies(&server);
    int answered = 0;
    connect(&server, &TcpServer::signalGetProfileId, &server, [&server, &answered] {
        server.slotProfileId(QJsonObject{{"profile_id", ++answered}});
    });
    ControlTestClient client;
    QVERIFY(client.connectTo(server.serverPort()));
    client.send(QLatin1String(MessageNames::HelloSupport));
    QByteArray flood;
    const QByteArray one =
        ControlFrame::encode(ControlFrame::envelope(QLatin1String(MessageNames::GetProfileId)));
    constexpr int count = 5000;
    for (int i = 0; i < count; ++i)
        flood.append(one);
    client.sendRaw(flood);
    QTRY_COMPARE_WITH_TIMEOUT(client.messages.size(), count + 1, 30000);
    QCOMPARE(client.messages.last().value("data").toObject().value("profile_id").toInt(), count);
    // Another client is still served.
    ControlTestClient other;
    QVERIFY(other.connectTo(server.serverPort()));
    other.send(QLatin1String(MessageNames::HelloGui));
    QTRY_COMPARE(other.messages.size(), 1);
}

void TestTcpServer::oversizedReplyIsShortenedAndValid()
{
    TcpServer server(0);
    ControlTestClient client;
    QVERIFY(client.connectTo(server.serverPort()));
    client.send(QLatin1String(MessageNames::HelloGui));
    QTRY_COMPARE(client.messages.size(), 1);

    QJsonArray entries;
    for (int i = 0; i < 40; ++i) {
        entries.append(QJsonObject{{"log_name", QStringLiteral("log %1").arg(i)},
                                   {"log_message", QString(3000, QLatin1Char('"'))}});
    }
    const QString debug = QString::fromUtf8(QJsonDocument(entries).toJson(QJsonDocument::Compact));
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^MESSAGE SHORTENED DEBUG from \\d+")));
    server.slotDebug(QJsonObject{{"debug", debug}});
    QTRY_COMPARE(client.messages.size(), 2);
    const QJsonObject received = client.messages.at(1);
    QCOMPARE(received.value("info").toString(), QLatin1String(MessageNames::Debug));
    QJsonParseError error{};
    const QJsonDocument inner =
        QJsonDocument::fromJson(received.value("data").toObject().value("debug").toString().toUtf8(), &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QVERIFY(inner.isArray());
    QCOMPARE(inner.array().size(), 40);
    QVERIFY(client.texts.at(1).size() <= ControlFrame::maxTextUnits);
    // What could stay, stayed: only as much as needed was cut.
    QVERIFY(client.texts.at(1).size() > ControlFrame::maxTextUnits - 64);
}

void TestTcpServer::fitToFrame_data()
{
    QTest::addColumn<QJsonObject>("envelope");
    QTest::addColumn<bool>("expectShortened");

    const auto env = [](const char* info, const QJsonObject& data) {
        return ControlFrame::envelope(QLatin1String(info), data);
    };
    QTest::newRow("small reply unchanged")
        << env(MessageNames::SystemInfo, QJsonObject{{"system_info", "OS: 10"}}) << false;
    QTest::newRow("long system report")
        << env(MessageNames::SystemInfo, QJsonObject{{"system_info", QString(70000, QLatin1Char('x'))}})
        << true;
    QTest::newRow("long report of escaped characters")
        << env(MessageNames::SystemInfo, QJsonObject{{"system_info", QString(20000, QLatin1Char('\n'))}})
        << true;
    QTest::newRow("long report of non-BMP characters")
        << env(MessageNames::SystemInfo,
               QJsonObject{{"system_info", QString(QString(20000, QLatin1Char('a')) +
                                                   QString::fromUtf8("😀").repeated(10000))}})
        << true;
    // {"data":{"system_info":"..."},"info":"SYSTEMINFO"} has 47 characters around the text.
    QTest::newRow("exactly fits") << env(MessageNames::SystemInfo,
                                         QJsonObject{
                                             {"system_info", QString(ControlFrame::maxTextUnits - 47, 'y')}})
                                  << false;
    QTest::newRow("one character too many")
        << env(MessageNames::SystemInfo,
               QJsonObject{{"system_info", QString(ControlFrame::maxTextUnits - 46, 'y')}})
        << true;
    QJsonArray many;
    for (int i = 0; i < 9000; ++i)
        many.append(QJsonObject{{"guid", QString::number(i)}});
    QTest::newRow("many tiny texts") << env(MessageNames::NetworkInterfaces,
                                            QJsonObject{{"interfaces", many}})
                                     << true;
}

void TestTcpServer::fitToFrame()
{
    QFETCH(QJsonObject, envelope);
    QFETCH(bool, expectShortened);

    bool shortened = true;
    const QJsonObject fitted = TcpServer::fitToFrame(envelope, shortened);
    QCOMPARE(shortened, expectShortened);
    const QString text = ControlFrame::toText(fitted);
    QVERIFY(text.size() <= ControlFrame::maxTextUnits);
    QVERIFY(!ControlFrame::encode(fitted).isEmpty());
    QCOMPARE(fitted.value("info"), envelope.value("info"));
    if (expectShortened && fitted.value("data").toObject().contains("system_info"))
        QVERIFY(text.size() > ControlFrame::maxTextUnits - 16);
    if (!expectShortened) {
        QCOMPARE(fitted, envelope);
        return;
    }
    // Valid JSON that parses back to what was sent, with no broken surrogates.
    QCOMPARE(ControlFrame::parse(text), fitted);
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i).isHighSurrogate()) {
            QVERIFY(i + 1 < text.size() && text.at(i + 1).isLowSurrogate());
            ++i;
        } else {
            QVERIFY(!text.at(i).isLowSurrogate());
        }
    }
    const QString report = fitted.value("data").toObject().value("system_info").toString();
    if (!report.isEmpty())
        QVERIFY(report.endsWith(TcpServer::shortenedMarker()));
}

void TestTcpServer::portInUseLeavesServerIdle()
{
    TcpServer first(0);
    QVERIFY(first.isListening());
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^Unable to start server:\\S")));
    TcpServer second(first.serverPort());
    QVERIFY(!second.isListening());
    QCOMPARE(second.serverPort(), quint16(0));
}

void TestTcpServer::manyConnectionsLeaveNothingBehind_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("waitForAnswer");
    QTest::addColumn<bool>("serverCloses");
    QTest::addColumn<int>("cycles");
    QTest::addColumn<int>("commandsEach");

    const QByteArray hello =
        ControlFrame::encode(ControlFrame::envelope(QLatin1String(MessageNames::HelloSupport)));
    const QByteArray command =
        ControlFrame::encode(ControlFrame::envelope(QLatin1String(MessageNames::GetProfileId)));
    // A frame that announces far more than is ever sent.
    const QByteArray unfinished = QByteArray::fromHex("fff0") + QByteArray(8192, 'x');
    QTest::newRow("greeted, a command, client closes") << hello + command << true << false << 600 << 1;
    QTest::newRow("8 KiB of an unfinished frame, client closes") << unfinished << false << false << 600 << 0;
    QTest::newRow("half a frame, client closes") << hello + command.left(5) << true << false << 600 << 0;
    QTest::newRow("nothing, client closes") << QByteArray() << false << false << 600 << 0;
    QTest::newRow("nothing, closed at the greeting deadline") << QByteArray() << false << true << 60 << 0;
    QTest::newRow("half a frame, closed at the frame deadline")
        << hello + command.left(5) << true << true << 60 << 0;
}

void TestTcpServer::manyConnectionsLeaveNothingBehind()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, waitForAnswer);
    QFETCH(bool, serverCloses);
    QFETCH(int, cycles);
    QFETCH(int, commandsEach);

    // Thousands of connection lines would only bury the test's own output.
    QLoggingCategory::setFilterRules(
        QStringLiteral("SOCKET.info=false\nSOCKET_GET.info=false\nSOCKET_SEND.info=false"));
    const auto restoreLogging = qScopeGuard([] { QLoggingCategory::setFilterRules(QString()); });
    TcpServer server(0);
    server.setSilenceTimeoutMs(serverCloses ? 50 : 60000);
    SocketLedger ledger(server);
    int answered = 0;
    connect(&server, &TcpServer::signalGetProfileId, &server, [&server, &answered] {
        server.slotProfileId(QJsonObject{{"profile_id", ++answered}});
    });
    const int objectsBefore = static_cast<int>(server.findChildren<QObject*>().size());

    // Waves of clients that are open at the same time, each well below the
    // server's limit.
    constexpr int wave = 20;
    for (int done = 0; done < cycles; done += wave) {
        // Each client the server closes is reported once.
        for (int i = 0; serverCloses && i < wave; ++i)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(", CLOSING$")));
        std::vector<std::unique_ptr<ControlTestClient>> clients;
        for (int i = 0; i < wave; ++i) {
            clients.push_back(std::make_unique<ControlTestClient>());
            QVERIFY(clients.back()->connectTo(server.serverPort()));
            if (!bytes.isEmpty())
                clients.back()->sendRaw(bytes);
        }
        // All of them reach the server before they go.
        if (!serverCloses)
            QTRY_COMPARE(server.clientCount(), wave);
        if (waitForAnswer) {
            for (const auto& client : clients)
                QTRY_VERIFY(!client->messages.isEmpty());
        }
        if (serverCloses) {
            for (const auto& client : clients)
                QTRY_COMPARE(client->socket.state(), QAbstractSocket::UnconnectedState);
        } else {
            for (const auto& client : clients)
                client->socket.disconnectFromHost();
        }
        QTRY_COMPARE(server.clientCount(), 0);
    }

    QCOMPARE(ledger.created, cycles);
    // Every socket is deleted once its connection is over, with its deadline
    // timer, and nothing else was left on the server.
    QTRY_COMPARE(ledger.destroyed, ledger.created);
    QVERIFY(server.findChildren<QTcpSocket*>().isEmpty());
    QVERIFY(server.findChildren<QTimer*>().isEmpty());
    QCOMPARE(static_cast<int>(server.findChildren<QObject*>().size()), objectsBefore);
    QCOMPARE(server.refusedCount(), 0);
    QCOMPARE(answered, cycles * commandsEach);

    // And the server still serves the next client.
    ControlTestClient next;
    QVERIFY(next.connectTo(server.serverPort()));
    next.send(QLatin1String(MessageNames::HelloGui));
    QTRY_COMPARE(next.infos(), QStringList{QLatin1String(MessageNames::HelloAgent)});
}

void TestTcpServer::excessConnectionsAreRefused()
{
    TcpServer server(0);
    SocketLedger ledger(server);
    LogLineCounter log;
    std::vector<std::unique_ptr<ControlTestClient>> admitted;
    // One at a time, so that the system's queue of connections not yet taken
    // by the server never overflows.
    for (int i = 0; i < TcpServer::maxClients; ++i) {
        admitted.push_back(std::make_unique<ControlTestClient>());
        QVERIFY(admitted.back()->connectTo(server.serverPort()));
        QTRY_COMPARE(server.clientCount(), i + 1);
    }

    // The excess is accepted by the system and closed by the server at once.
    constexpr int excess = 40;
    QTest::ignoreMessage(QtWarningMsg, "TOO MANY CLIENTS, CONNECTION REFUSED");
    std::vector<std::unique_ptr<ControlTestClient>> refused;
    for (int i = 0; i < excess; ++i) {
        refused.push_back(std::make_unique<ControlTestClient>());
        QVERIFY(refused.back()->connectTo(server.serverPort()));
        QTRY_COMPARE(server.refusedCount(), qint64(i + 1));
    }
    for (const auto& client : refused)
        QTRY_COMPARE(client->socket.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(server.clientCount(), TcpServer::maxClients);
    // Their sockets are gone, not parked on the server.
    QTRY_COMPARE(ledger.destroyed, excess);
    QCOMPARE(static_cast<int>(server.findChildren<QTcpSocket*>().size()), TcpServer::maxClients);
    // One line for the whole burst, not one per refused connection.
    QCOMPARE(log.count(QStringLiteral("TOO MANY CLIENTS, CONNECTION REFUSED")), 1);
    QCOMPARE(log.count(QStringLiteral("CLIENT CONNECTION")), TcpServer::maxClients);

    // The connections inside the limit are served as before.
    admitted.front()->send(QLatin1String(MessageNames::HelloGui));
    QTRY_COMPARE(admitted.front()->infos(), QStringList{QLatin1String(MessageNames::HelloAgent)});
    admitted.back()->send(QLatin1String(MessageNames::HelloSupport));
    QTRY_COMPARE(admitted.back()->infos(), QStringList{QLatin1String(MessageNames::HelloAgent)});

    // When one leaves, the refusals are counted in the log and there is room
    // for a new client again.
    QTest::ignoreMessage(QtInfoMsg, "BYE GUI");
    const QByteArray refusals = QStringLiteral("CONNECTIONS REFUSED WHILE FULL: %1").arg(excess).toUtf8();
    QTest::ignoreMessage(QtWarningMsg, refusals.constData());
    admitted.front()->socket.disconnectFromHost();
    QTRY_COMPARE(server.clientCount(), TcpServer::maxClients - 1);
    ControlTestClient late;
    QVERIFY(late.connectTo(server.serverPort()));
    late.send(QLatin1String(MessageNames::HelloSupport));
    QTRY_COMPARE(late.infos(), QStringList{QLatin1String(MessageNames::HelloAgent)});
    QCOMPARE(server.clientCount(), TcpServer::maxClients);
    QCOMPARE(server.refusedCount(), qint64(excess));

    // A new burst beyond the limit is reported again.
    QTest::ignoreMessage(QtWarningMsg, "TOO MANY CLIENTS, CONNECTION REFUSED");
    ControlTestClient another;
    QVERIFY(another.connectTo(server.serverPort()));
    QTRY_COMPARE(server.refusedCount(), qint64(excess + 1));
    QTRY_COMPARE(another.socket.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(log.count(QStringLiteral("TOO MANY CLIENTS, CONNECTION REFUSED")), 2);
}

QTEST_GUILESS_MAIN(TestTcpServer)
#include "tst_tcpserver.moc"
