#include "tests/control/ControlTestClient.h"

#include "common/ControlFrame.h"
#include "common/MessageNames.h"
#include "control/TcpServer.h"
#include "platform/TcpListener.h"
#include "settings/UserData.h"
#include "tests/testlib/LogCapture.h"

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

#include <algorithm>
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
        const auto listeners = server.findChildren<TcpListener*>();
        for (TcpListener* listener : listeners)
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

} // namespace

class TestTcpServer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void listensOnBothLoopbackAddresses();
    void dispatch_data();
    void dispatch();
    void wrongPinsLockOut();
    void pinGuardState_data();
    void pinGuardState();
    void lockOutSurvivesRestart();
    void createPinNeedsSignInOnSameConnection_data();
    void createPinNeedsSignInOnSameConnection();
    void strangerSignInIsAnswered();
    void accountMessagesNeedPin_data();
    void accountMessagesNeedPin();
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
    void portInUseIsRetried_data();
    void portInUseIsRetried();
    void manyConnectionsLeaveNothingBehind_data();
    void manyConnectionsLeaveNothingBehind();
    void excessConnectionsAreRefused();
    void supportClientsIdleOut();
    void guiSlots();
    void resolverStatusOnChangeAndGreeting_data();
    void resolverStatusOnChangeAndGreeting();
};

void TestTcpServer::initTestCase()
{
    UserData::resetMemoryState();
}

void TestTcpServer::init()
{
    // The PIN guard's state outlives a server (that is the point): each test
    // starts without wrong PINs.
    UserData::setPinLockOut(0, 0, 0);
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
    QTest::newRow("GETSYSTEMINFO") << QStringLiteral("GETSYSTEMINFO") << none << false << true;
    QTest::newRow("GETDEBUG") << QStringLiteral("GETDEBUG") << none << false << true;
    QTest::newRow("SENDDEBUGINFO") << QStringLiteral("SENDDEBUGINFO") << none << false << true;
    QTest::newRow("GETSETTINGS") << QStringLiteral("GETSETTINGS") << none << false << false;
    QTest::newRow("CHECKAUTH") << QStringLiteral("CHECKAUTH")
                               << QJsonObject{{"login", "anna"}, {"password", "secret"}} << true << true;
    QTest::newRow("CHECKAUTH without data") << QStringLiteral("CHECKAUTH") << none << true << true;
    // CREATEPIN: createPinNeedsSignInOnSameConnection.
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

void TestTcpServer::pinGuardState_data()
{
    QTest::addColumn<int>("wrongInRow");
    QTest::addColumn<int>("lockOuts");
    QTest::addColumn<qint64>("endFromNow"); // stored end minus the clock at load
    QTest::addColumn<qint64>("remaining");  // what is left right after loading
    QTest::addColumn<qint64>("nextLength");

    const qint64 minute = 60 * 1000;
    QTest::newRow("nothing stored") << 0 << 0 << qint64(0) << qint64(0) << qint64(0);
    QTest::newRow("two wrong PINs") << 2 << 0 << qint64(0) << qint64(0) << PinGuard::firstLockOutMs;
    QTest::newRow("first lock-out, 4 s left") << 3 << 1 << qint64(4000) << qint64(4000) << qint64(20000);
    QTest::newRow("lock-out over") << 3 << 1 << qint64(-5000) << qint64(0) << qint64(20000);
    // The clock went back an hour after the lock-out began: no longer than
    // the lock-out's own length from now.
    QTest::newRow("clock set back") << 4 << 2 << qint64(60 * minute) << qint64(20000) << qint64(40000);
    // Changed in the store: a year ahead and a lock-out count no run reaches.
    QTest::newRow("end far in the future") << 9 << 1000000 << qint64(365LL * 24 * 60 * minute)
                                           << PinGuard::maxLockOutMs << PinGuard::maxLockOutMs;
    QTest::newRow("negative counts") << -5 << -1 << qint64(10 * minute) << qint64(0) << qint64(0);
}

void TestTcpServer::pinGuardState()
{
    QFETCH(int, wrongInRow);
    QFETCH(int, lockOuts);
    QFETCH(qint64, endFromNow);
    QFETCH(qint64, remaining);
    QFETCH(qint64, nextLength);

    const qint64 now = 1765000000000;
    PinGuard guard(PinGuard::State{wrongInRow, lockOuts, now + endFromNow}, now);
    QCOMPARE(guard.remainingMs(now), remaining);
    QCOMPARE(guard.isLockedOut(now), remaining > 0);
    QCOMPARE(guard.nextLockOutMs(), nextLength);
    // Time going on ends it at the pulled-in end; a later jump back does not
    // bring it back beyond its length.
    QVERIFY(!guard.isLockedOut(now + remaining));
    guard.settle(now - 3600 * 1000);
    QVERIFY(guard.remainingMs(now - 3600 * 1000) <= guard.currentLockOutMs());
    QVERIFY(guard.state().lockedUntilMs <= now - 3600 * 1000 + PinGuard::maxLockOutMs);
}

void TestTcpServer::lockOutSurvivesRestart()
{
    PinGuard::State stored;
    qint64 now = 1765000000000;
    const auto makeServer = [&] {
        auto server = std::make_unique<TcpServer>(0);
        server->setWallClock([&now] { return now; });
        server->setPinGuardStore([&stored] { return stored; },
                                 [&stored](const PinGuard::State& state) { stored = state; });
        connect(server.get(), &TcpServer::signalCheckPin, server.get(),
                [s = server.get()](const QJsonObject& pin) {
                    s->slotStatusCheckPin(QJsonObject{{"status", pin.value("pin_code") == "4711" ? 1 : 0}});
                });
        return server;
    };
    const auto checkPin = [](TcpServer& server, const QString& pin) {
        ControlTestClient guesser;
        if (!guesser.connectTo(server.serverPort()))
            return -1;
        guesser.send(QLatin1String(MessageNames::HelloSupport));
        guesser.send(QLatin1String(MessageNames::CheckPin), QJsonObject{{"pin_code", pin}});
        if (!QTest::qWaitFor([&] { return guesser.messages.size() == 2; }, 5000))
            return -1;
        return guesser.messages.last().value("data").toObject().value("status").toInt(-1);
    };
    auto server = makeServer();
    QTest::ignoreMessage(QtWarningMsg, "WRONG PIN, in a row: 1");
    QTest::ignoreMessage(QtWarningMsg, "WRONG PIN, in a row: 2");
    QTest::ignoreMessage(QtWarningMsg, "WRONG PIN, in a row: 3");
    for (int i = 0; i < PinGuard::wrongBeforeLockOut; ++i)
        QCOMPARE(checkPin(*server, QStringLiteral("0000")), 0);
    QCOMPARE(stored.wrongInRow, 3);
    QCOMPARE(stored.lockedUntilMs, now + PinGuard::firstLockOutMs);

    // The agent restarts (a crash, the service's restart): still locked.
    server = makeServer();
    now += 4000;
    QTest::ignoreMessage(QtWarningMsg, "PIN LOCKED OUT, NOT CHECKED; seconds left: 6");
    QCOMPARE(checkPin(*server, QStringLiteral("4711")), 0);
    // The next wrong PIN after the lock-out starts a longer one, after a
    // restart too; the right PIN ends the series and that is kept as well.
    now += 6000;
    QTest::ignoreMessage(QtWarningMsg, "WRONG PIN, in a row: 4");
    QCOMPARE(checkPin(*server, QStringLiteral("0000")), 0);
    QCOMPARE(stored.lockedUntilMs, now + 20000);
    server = makeServer();
    now += 20000;
    QCOMPARE(checkPin(*server, QStringLiteral("4711")), 1);
    QCOMPARE(stored, PinGuard::State());
    // The store as the agent keeps it: the settings' CONTROL group.
    UserData::setPinLockOut(4, 2, 1765000123456);
    int wrong = 0;
    int series = 0;
    qint64 end = 0;
    UserData::getPinLockOut(wrong, series, end);
    QCOMPARE(wrong, 4);
    QCOMPARE(series, 2);
    QCOMPARE(end, qint64(1765000123456));
}

void TestTcpServer::createPinNeedsSignInOnSameConnection_data()
{
    // Steps on two connections, "a" (the one that finally sends CREATEPIN)
    // and "b": "auth1"/"auth0" = a sign-in answered 1/0, "pin" = the PIN given.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<bool>("stored");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("no sign-in") << QStringList{} << false << false;
    QTest::newRow("sign-in on this connection") << QStringList{"a:auth1"} << false << true;
    QTest::newRow("sign-in refused") << QStringList{"a:auth0"} << false << false;
    QTest::newRow("sign-in on another connection") << QStringList{"b:auth1"} << false << false;
    QTest::newRow("another sign-in started since") << QStringList{"a:auth1", "b:auth0"} << false << false;
    QTest::newRow("PIN already created since") << QStringList{"a:auth1", "a:create"} << false << false;
    QTest::newRow("refused, then signed in") << QStringList{"a:auth0", "a:auth1"} << false << true;
    QTest::newRow("PIN change after the PIN") << QStringList{"a:pin"} << true << true;
    QTest::newRow("stored, PIN not given") << QStringList{} << true << false;
    QTest::newRow("stored, PIN given elsewhere") << QStringList{"b:pin"} << true << false;
}

void TestTcpServer::createPinNeedsSignInOnSameConnection()
{
    QFETCH(QStringList, steps);
    QFETCH(bool, stored);
    QFETCH(bool, accepted);

    TcpServer server(0);
    server.setSignInStoredCheck([stored] { return stored; });
    QSignalSpy creates(&server, &TcpServer::signalCreatePin);
    connect(&server, &TcpServer::signalCheckAuth, &server, [&server](const QJsonObject& data) {
        server.slotStatusCheckAuth(QJsonObject{{"status", data.value("password") == "right" ? 1 : 0}});
    });
    connect(&server, &TcpServer::signalCheckPin, &server, [&server](const QJsonObject&) {
        server.slotStatusCheckPin(QJsonObject{{"status", 1}});
    });
    connect(&server, &TcpServer::signalCreatePin, &server, [&server](const QJsonObject&) {
        server.slotStatusCreatePin(QJsonObject{{"status", 1}});
    });
    ControlTestClient a;
    ControlTestClient b;
    for (ControlTestClient* client : {&a, &b}) {
        QVERIFY(client->connectTo(server.serverPort()));
        client->send(QLatin1String(MessageNames::HelloGui));
        QTRY_COMPARE(client->messages.size(), 1);
    }
    for (const QString& step : steps) {
        ControlTestClient& client = step.startsWith('a') ? a : b;
        const QString what = step.mid(2);
        const int before = static_cast<int>(client.messages.size());
        if (what.startsWith(QLatin1String("auth")))
            client.send(QLatin1String(MessageNames::CheckAuth),
                        QJsonObject{{"login", "anna"}, {"password", what == "auth1" ? "right" : "wrong"}});
        else if (what == QLatin1String("pin"))
            client.send(QLatin1String(MessageNames::CheckPin), QJsonObject{{"pin_code", "4711"}});
        else
            client.send(QLatin1String(MessageNames::CreatePin), QJsonObject{{"pin_code", "4711"}});
        QTRY_COMPARE(client.messages.size(), before + 1);
    }
    creates.clear();
    if (!accepted)
        QTest::ignoreMessage(QtWarningMsg, "CREATEPIN REFUSED: NO SIGN-IN ON THIS CONNECTION");
    const int before = static_cast<int>(a.messages.size());
    a.send(QLatin1String(MessageNames::CreatePin), QJsonObject{{"pin_code", "1234"}});
    // Always answered, on the connection that asked.
    QTRY_COMPARE(a.messages.size(), before + 1);
    QCOMPARE(a.infos().last(), QLatin1String(MessageNames::StatusCreatePin));
    QCOMPARE(a.messages.last().value("data").toObject().value("status").toInt(-1), accepted ? 1 : 2);
    QCOMPARE(creates.count(), accepted ? 1 : 0);
    QVERIFY(!b.infos().contains(QLatin1String(MessageNames::StatusCreatePin)) || steps.contains("b:create"));
}

void TestTcpServer::strangerSignInIsAnswered()
{
    // Sign-in data is stored (someone else's PIN): a sign-in from a
    // connection that has not given the PIN changes nothing, but is answered.
    TcpServer server(0);
    server.setSignInStoredCheck([] { return true; });
    QSignalSpy checks(&server, &TcpServer::signalCheckAuth);
    ControlTestClient user;
    QVERIFY(user.connectTo(server.serverPort()));
    user.send(QLatin1String(MessageNames::HelloGui));
    QTest::ignoreMessage(QtWarningMsg, "PIN NOT GIVEN ON THIS CONNECTION, IGNORED CHECKAUTH");
    user.send(QLatin1String(MessageNames::CheckAuth), QJsonObject{{"login", "anna"}, {"password", "x"}});
    QTRY_COMPARE(user.messages.size(), 2);
    QCOMPARE(user.infos().last(), QLatin1String(MessageNames::StatusCheckAuth));
    QCOMPARE(user.messages.last().value("data").toObject().value("status").toInt(-1), 0);
    QCOMPARE(checks.count(), 0);
}

void TestTcpServer::accountMessagesNeedPin_data()
{
    QTest::addColumn<QString>("info");
    QTest::addColumn<bool>("stored");
    QTest::addColumn<bool>("pinGiven");
    QTest::addColumn<bool>("sent");
    for (const char* name :
         {MessageNames::UserInfo, MessageNames::Profiles, MessageNames::StatusFilteringServer}) {
        const QString info = QLatin1String(name);
        QTest::addRow("%s, nothing stored", name) << info << false << false << true;
        QTest::addRow("%s, stored, no PIN", name) << info << true << false << false;
        QTest::addRow("%s, stored, PIN given", name) << info << true << true << true;
    }
    // What is no account information goes to the current client as before.
    QTest::newRow("STATUSAUTHDATA, stored, no PIN")
        << QString::fromLatin1(MessageNames::StatusAuthData) << true << false << true;
}

void TestTcpServer::accountMessagesNeedPin()
{
    QFETCH(QString, info);
    QFETCH(bool, stored);
    QFETCH(bool, pinGiven);
    QFETCH(bool, sent);

    TcpServer server(0);
    server.setSignInStoredCheck([stored] { return stored; });
    connect(&server, &TcpServer::signalCheckPin, &server, [&server](const QJsonObject&) {
        server.slotStatusCheckPin(QJsonObject{{"status", 1}});
    });
    ControlTestClient client;
    QVERIFY(client.connectTo(server.serverPort()));
    client.send(QLatin1String(MessageNames::HelloGui));
    if (pinGiven)
        client.send(QLatin1String(MessageNames::CheckPin), QJsonObject{{"pin_code", "4711"}});
    QTRY_COMPARE(client.messages.size(), pinGiven ? 2 : 1);
    // Sent unasked (the periodic status) and in answer to a command.
    const auto reply = [&] {
        const QJsonObject data{{"x", 1}};
        if (info == QLatin1String(MessageNames::UserInfo))
            server.slotUserInfo(data);
        else if (info == QLatin1String(MessageNames::Profiles))
            server.slotProfiles(data);
        else if (info == QLatin1String(MessageNames::StatusFilteringServer))
            server.slotFilteringStatusServer(data);
        else
            server.slotStatusAuthData(data);
    };
    reply();
    connect(&server, &TcpServer::signalGetProfileId, &server, reply);
    client.send(QLatin1String(MessageNames::GetProfileId));
    // A marker behind them.
    connect(&server, &TcpServer::signalGetCoord, &server, [&server] {
        server.slotCoordGui(QJsonObject{{"x", "1"}, {"y", "2"}});
    });
    client.send(QLatin1String(MessageNames::GetCoordGui));
    QTRY_VERIFY(client.infos().contains(QLatin1String(MessageNames::CoordGui)));
    QCOMPARE(client.infos().count(info), sent ? 2 : 0);
}

void TestTcpServer::clientsServedWhileCommandWaits()
{
    TcpServer server(0);
    connect(&server, &TcpServer::signalAuthData, &server, [&server] {
        server.slotStatusAuthData(QJsonObject{{"status", false}});
    });
    std::vector<std::unique_ptr<ControlTestClient>> newcomers;
    int answeredDuringWait = 0;
    // A sign-in that waits for the backend in a nested event loop, as the
    // backend layer does; four clients arrive meanwhile. The wait ends when
    // all four are answered (or after a generous deadline, so a loaded
    // machine does not turn slowness into a failure).
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
        const auto answered = [&] {
            return std::count_if(newcomers.begin(), newcomers.end(), [](const auto& newcomer) {
                return newcomer->infos().contains(QLatin1String(MessageNames::StatusAuthData));
            });
        };
        QEventLoop wait;
        QTimer poll;
        connect(&poll, &QTimer::timeout, &wait, [&] {
            if (answered() == 4)
                wait.quit();
        });
        poll.start(10);
        QTimer::singleShot(30000, &wait, &QEventLoop::quit);
        wait.exec();
        answeredDuringWait = static_cast<int>(answered());
        server.slotStatusCheckAuth(QJsonObject{{"status", 1}});
    });
    ControlTestClient gui;
    QVERIFY(gui.connectTo(server.serverPort()));
    gui.send(QLatin1String(MessageNames::HelloGui));
    gui.send(QLatin1String(MessageNames::CheckAuth), QJsonObject{{"login", "demo"}, {"password", "x"}});
    QTRY_VERIFY_WITH_TIMEOUT(gui.infos().contains(QLatin1String(MessageNames::StatusCheckAuth)), 40000);
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
    connect(&server, &TcpServer::signalGetProfiles, &server, [&] {
        waitThenAnswer([&] { server.slotProfiles(QJsonObject{{"profiles", QJsonArray()}}); });
    });
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

    // Whatever follows in the same segment is not read: the connection ends
    // at the first frame that is not a greeting.
    QTest::ignoreMessage(QtWarningMsg, "BAD HEADER GETVERSION");
    QTest::ignoreMessage(QtWarningMsg, "NOT GREETED, CLOSING");
    client.sendRaw(ControlFrame::encode(ControlFrame::envelope(QLatin1String(MessageNames::GetVersion))) +
                   ControlFrame::encode(ControlFrame::envelope(QLatin1String(MessageNames::HelloGui))) +
                   ControlFrame::encode(ControlFrame::envelope(QLatin1String(MessageNames::GetVersion))));
    QTRY_COMPARE(client.socket.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(spies.total(), 0);
    QVERIFY(client.messages.isEmpty());

    // A client that greets first is served.
    ControlTestClient greeted;
    QVERIFY(greeted.connectTo(server.serverPort()));
    greeted.send(QLatin1String(MessageNames::HelloGui));
    greeted.send(QLatin1String(MessageNames::GetVersion));
    QTRY_COMPARE(spies.of(QLatin1String(MessageNames::GetVersion)).count(), 1);
    QCOMPARE(greeted.infos(), QStringList{QLatin1String(MessageNames::HelloAgent)});
}

void TestTcpServer::unknownCommandIsBadHeader()
{
    TcpServer server(0);
    SignalSpies spies(&server);
    ControlTestClient client;
    QVERIFY(client.connectTo(server.serverPort()));
    client.send(QLatin1String(MessageNames::HelloGui));
    QTest::ignoreMessage(QtWarningMsg, "BAD HEADER GETWEATHER");
    QTest::ignoreMessage(QtWarningMsg, "UNKNOWN COMMAND, CLOSING");
    client.send(QStringLiteral("GETWEATHER"));
    client.send(QLatin1String(MessageNames::AuthData));
    QTRY_COMPARE(client.socket.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(spies.of(QLatin1String(MessageNames::AuthData)).count(), 0);
    QCOMPARE(spies.total(), 1);
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
    // Both frames are read in one go and handled in order, after the socket's
    // signal has returned.
    QTRY_COMPARE(spies.of(QLatin1String(MessageNames::Login)).count(), 1);
    QCOMPARE(spies.of(QLatin1String(MessageNames::HelloGui)).count(), 1);
    QCOMPARE(readyRead.count(), 1);
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
    QTRY_COMPARE(spies.of(QLatin1String(MessageNames::CheckAuth)).count(), 1);
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
    // Sent before the greeting instead of after it.
    QTest::addColumn<bool>("first");
    QTest::addColumn<QStringList>("warnings");

    const QStringList closing{QStringLiteral("BAD FRAME, CLOSING")};
    const QByteArray command =
        ControlFrame::encode(ControlFrame::envelope(QLatin1String(MessageNames::ChangeStatusLog)));
    QTest::newRow("zero-length frame") << rawFrame(QByteArray()) << false << closing;
    QTest::newRow("string count larger than the frame")
        << rawFrame(QByteArray::fromHex("00000010") + utf16be(QStringLiteral("{}"))) << false << closing;
    QTest::newRow("odd string count")
        << rawFrame(QByteArray::fromHex("00000003") + QByteArray("abc")) << false << closing;
    QTest::newRow("lone surrogate in the name")
        << rawFrame(stringBody(utf16be(QStringLiteral("{\"info\":\"GETDEBUG")) + QByteArray::fromHex("d800") +
                               utf16be(QStringLiteral("\"}"))))
        << false << closing;
    QTest::newRow("binary garbage") << rawFrame(QByteArray::fromHex("0001020304fffefd")) << false << closing;
    const QStringList notObject{QStringLiteral("BAD FRAME, CLOSING: not a JSON object with a name")};
    QTest::newRow("null string") << rawFrame(QByteArray::fromHex("ffffffff")) << false << notObject;
    QTest::newRow("not JSON") << rawFrame(stringBody(utf16be(QStringLiteral("hello agent")))) << false
                              << notObject;
    QTest::newRow("JSON array") << rawFrame(stringBody(utf16be(QStringLiteral("[\"GETDEBUG\"]")))) << false
                                << notObject;
    QTest::newRow("info not a string")
        << rawFrame(stringBody(utf16be(QStringLiteral("{\"info\":7}")))) << false << notObject;
    QTest::newRow("frame over the client limit")
        << rawFrame(stringBody(QByteArray(TcpServer::maxClientFrameBytes, 'a'))) << false
        << QStringList{QStringLiteral("FRAME TOO LARGE, CLOSING")};
    // What a web page's request looks like on this port: the method first,
    // or (a text/plain body sent after a connection reuse) a run of NUL bytes
    // and then frames, which must not be found by skipping the garbage.
    const QStringList http{QStringLiteral("HTTP REQUEST ON THE CONTROL PORT, CLOSING")};
    const QByteArray frames =
        ControlFrame::encode(ControlFrame::envelope(QLatin1String(MessageNames::HelloSupport))) + command;
    QTest::newRow("GET request") << QByteArray("GET / HTTP/1.1\r\nHost: 127.0.0.1:49101\r\n\r\n") << true
                                 << http;
    QTest::newRow("POST with frames in the body")
        << QByteArray("POST / HTTP/1.1\r\nContent-Type: text/plain\r\n\r\n") + frames << true << http;
    QTest::newRow("OPTIONS preflight") << QByteArray("OPTIONS / HTTP/1.1\r\n\r\n") << true << http;
    QTest::newRow("NUL bytes, then frames")
        << QByteArray(64, '\0') + frames << true << QStringList{QStringLiteral("NOT A GREETING, CLOSING")};
    QTest::newRow("first length too long for a greeting")
        << rawFrame(stringBody(utf16be(QStringLiteral("{\"info\":\"HELLOGUI\",\"data\":{\"x\":\"") +
                                       QString(200, 'x') + QStringLiteral("\"}}"))))
        << true << QStringList{QStringLiteral("NOT A GREETING, CLOSING")};
    QTest::newRow("command instead of a greeting")
        << command << true
        << QStringList{QStringLiteral("BAD HEADER CHANGESTATUSLOG"), QStringLiteral("NOT GREETED, CLOSING")};
    // The name of an unknown command is logged cut and without the sender's
    // line breaks, so the line can neither be forged nor made huge.
    QTest::newRow("forged log line in a name")
        << ControlFrame::encode(ControlFrame::envelope(
               QStringLiteral("X\n2026-01-01 00:00:00.000 | INF | CORE: PIN OK\r\t") + QString(500, 'y')))
        << false
        << QStringList{QStringLiteral("BAD HEADER X?2026-01-01 00:00:00.000 | INF | CORE: PIN OK??") +
                           QString(TcpServer::maxLoggedNameLength - 48, 'y') + QStringLiteral("..."),
                       QStringLiteral("UNKNOWN COMMAND, CLOSING")};
}

void TestTcpServer::badFrames()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, first);
    QFETCH(QStringList, warnings);

    TcpServer server(0);
    SignalSpies spies(&server);
    LogCapture log;
    ControlTestClient client;
    QVERIFY(client.connectTo(server.serverPort()));
    if (!first) {
        client.send(QLatin1String(MessageNames::HelloGui));
        QTRY_COMPARE(client.messages.size(), 1);
    }
    for (const QString& warning : warnings)
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    // A valid command right behind the bad frame must not be taken either.
    client.sendRaw(
        bytes + ControlFrame::encode(ControlFrame::envelope(QLatin1String(MessageNames::ChangeStatusLog))));
    QTRY_COMPARE(server.clientCount(), 0);
    // The client sees the end too. (Wine does not tell a client that is
    // still sending a large frame of the peer's reset; the server side above
    // is what counts there.)
    if (bytes.size() < 4096)
        QTRY_COMPARE(client.socket.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(spies.of(QLatin1String(MessageNames::ChangeStatusLog)).count(), 0);
    QCOMPARE(spies.total(), first ? 0 : 1);
    QCOMPARE(client.messages.size(), first ? 0 : 1);
    // One line for the bad frame, none for anything behind it.
    for (const QString& warning : warnings)
        QCOMPARE(log.countExact(warning), 1);

    // The next client is served.
    ControlTestClient next;
    QVERIFY(next.connectTo(server.serverPort()));
    next.send(QLatin1String(MessageNames::HelloGui));
    next.send(QLatin1String(MessageNames::ChangeStatusLog));
    QTRY_COMPARE(spies.of(QLatin1String(MessageNames::ChangeStatusLog)).count(), 1);
}

void TestTcpServer::silentClientIsClosed()
{
    TcpServer server(0);
    server.setGreetingTimeoutMs(100);
    // The client is accepted and closed within one poll of a loaded machine,
    // so only the outcome is checked, never the moment in between.
    QTest::ignoreMessage(QtWarningMsg, "CLIENT DID NOT GREET, CLOSING");
    ControlTestClient silent;
    QVERIFY(silent.connectTo(server.serverPort()));
    QTRY_COMPARE(silent.socket.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(server.clientCount(), 0);

    // A greeted client may stay idle as long as it likes: a second silent
    // client, connected after it, is closed first, so the greeted one's
    // deadline would have passed too.
    ControlTestClient gui;
    QVERIFY(gui.connectTo(server.serverPort()));
    gui.send(QLatin1String(MessageNames::HelloGui));
    QTRY_COMPARE(gui.messages.size(), 1);
    QTest::ignoreMessage(QtWarningMsg, "CLIENT DID NOT GREET, CLOSING");
    ControlTestClient later;
    QVERIFY(later.connectTo(server.serverPort()));
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
    client.sendRaw(QByteArray::fromHex("3000000000"));
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

void TestTcpServer::portInUseIsRetried_data()
{
    QTest::addColumn<bool>("v6");
    QTest::newRow("127.0.0.1") << false;
    QTest::newRow("::1") << true;
}

void TestTcpServer::portInUseIsRetried()
{
    QFETCH(bool, v6);
    const QHostAddress squatted(v6 ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost);

    // Another program holds the port first: whoever holds it would get the
    // PINs and passwords meant for the agent, so the agent keeps trying.
    auto squatter = std::make_unique<QTcpServer>();
    if (!squatter->listen(squatted, 0))
        QSKIP("no such loopback address here");
    const quint16 port = squatter->serverPort();
    LogCapture log;
    if (squatted == QHostAddress(QHostAddress::LocalHost)) {
        QTest::ignoreMessage(QtCriticalMsg,
                             QRegularExpression(QStringLiteral("^Unable to start server:\\S")));
        QTest::ignoreMessage(
            QtCriticalMsg,
            qPrintable(QStringLiteral("CONTROL PORT %1 TAKEN, RETRYING EVERY 2000 MS").arg(port)));
    } else {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Unable to listen on ::1:")));
    }
    TcpServer server(port);
    server.setBindRetryMs(20);
    // Several attempts pass while the port is taken, with no further lines.
    QTest::qWait(200);
    ControlTestClient client;
    if (squatted == QHostAddress(QHostAddress::LocalHost)) {
        QVERIFY(!server.isListening());
        QCOMPARE(server.serverPort(), quint16(0));
        QCOMPARE(log.countExact(QStringLiteral("CONTROL PORT %1 TAKEN, RETRYING EVERY 2000 MS").arg(port)),
                 1);
        QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression(QStringLiteral("^CONTROL PORT %1 BOUND AFTER \\d+ ATTEMPTS$").arg(port)));
        squatter.reset();
        QTRY_VERIFY(server.isListening());
        QCOMPARE(server.serverPort(), port);
        QVERIFY(client.connectTo(port));
    } else {
        // The IPv4 port is ours at once; the ::1 one once it is free.
        QVERIFY(server.isListening());
        squatter.reset();
        QTRY_VERIFY(client.connectTo(port, QHostAddress::LocalHostIPv6));
    }
    client.send(QLatin1String(MessageNames::HelloSupport));
    QTRY_COMPARE(client.infos(), QStringList{QLatin1String(MessageNames::HelloAgent)});
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
    const QByteArray unfinished = hello + QByteArray::fromHex("3000") + QByteArray(8192, 'x');
    QTest::newRow("greeted, a command, client closes") << hello + command << true << false << 600 << 1;
    QTest::newRow("8 KiB of an unfinished frame, client closes") << unfinished << true << false << 600 << 0;
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
    server.setGreetingTimeoutMs(serverCloses ? 50 : 60000);
    SocketLedger ledger(server);
    int answered = 0;
    connect(&server, &TcpServer::signalGetProfileId, &server, [&server, &answered] {
        server.slotProfileId(QJsonObject{{"profile_id", ++answered}});
    });
    const int objectsBefore = static_cast<int>(server.findChildren<QObject*>().size());

    // Waves of clients that are open at the same time, each well below the
    // server's limit.
    constexpr int wave = TcpServer::maxUngreetedClients - 4;
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
    QLoggingCategory::setFilterRules(
        QStringLiteral("SOCKET.info=false\nSOCKET_GET.info=false\nSOCKET_SEND.info=false"));
    const auto restoreLogging = qScopeGuard([] { QLoggingCategory::setFilterRules(QString()); });
    TcpServer server(0);
    SocketLedger ledger(server);
    LogCapture log;
    // One at a time, so that the system's queue of connections not yet taken
    // by the server never overflows.
    std::vector<std::unique_ptr<ControlTestClient>> silent;
    for (int i = 0; i < TcpServer::maxUngreetedClients; ++i) {
        silent.push_back(std::make_unique<ControlTestClient>());
        QVERIFY(silent.back()->connectTo(server.serverPort()));
        QTRY_COMPARE(server.clientCount(), i + 1);
    }
    // Beyond the limit of connections that have not greeted, each newcomer
    // closes the oldest of them: one line for the whole burst.
    constexpr int excess = 10;
    QTest::ignoreMessage(QtWarningMsg, "TOO MANY CLIENTS NOT GREETED, OLDEST CLOSED");
    for (int i = 0; i < excess; ++i) {
        silent.push_back(std::make_unique<ControlTestClient>());
        QVERIFY(silent.back()->connectTo(server.serverPort()));
        QTRY_COMPARE(server.refusedCount(), qint64(i + 1));
        QTRY_COMPARE(silent.at(i)->socket.state(), QAbstractSocket::UnconnectedState);
    }
    QCOMPARE(server.clientCount(), TcpServer::maxUngreetedClients);
    QTRY_COMPARE(ledger.destroyed, excess);
    QCOMPARE(log.countExact(QStringLiteral("TOO MANY CLIENTS NOT GREETED, OLDEST CLOSED")), 1);

    // 64 support clients that greet and then sit idle: they take their own
    // slots only, the longest idle giving way to a newcomer.
    std::vector<std::unique_ptr<ControlTestClient>> support;
    for (int i = 0; i < 64; ++i) {
        support.push_back(std::make_unique<ControlTestClient>());
        QVERIFY(support.back()->connectTo(server.serverPort()));
        support.back()->send(QLatin1String(MessageNames::HelloSupport));
        QTRY_COMPARE(support.back()->messages.size(), 1);
    }
    QTRY_COMPARE(server.clientCount(2), TcpServer::maxSupportClients);
    QCOMPARE(log.countExact(QStringLiteral("SUPPORT SLOTS TAKEN, LONGEST IDLE CLOSED")),
             64 - TcpServer::maxSupportClients);
    for (int i = 0; i < 64 - TcpServer::maxSupportClients; ++i)
        QTRY_COMPARE(support.at(i)->socket.state(), QAbstractSocket::UnconnectedState);

    // With every other class full, the tray program still gets in.
    ControlTestClient gui;
    QVERIFY(gui.connectTo(server.serverPort()));
    gui.send(QLatin1String(MessageNames::HelloGui));
    QTRY_COMPARE(gui.infos(), QStringList{QLatin1String(MessageNames::HelloAgent)});
    QCOMPARE(server.clientCount(1), 1);
    QVERIFY(server.clientCount() <= TcpServer::maxClients);
}

void TestTcpServer::supportClientsIdleOut()
{
    TcpServer server(0);
    // Long enough that the busy client's round trips, even on a loaded
    // machine under a sanitizer, come well within it.
    server.setIdleTimeoutMs(1500);
    connect(&server, &TcpServer::signalAuthData, &server, [&server] {
        server.slotStatusAuthData(QJsonObject{{"status", false}});
    });
    ControlTestClient gui;
    QVERIFY(gui.connectTo(server.serverPort()));
    gui.send(QLatin1String(MessageNames::HelloGui));
    ControlTestClient idle;
    QVERIFY(idle.connectTo(server.serverPort()));
    idle.send(QLatin1String(MessageNames::HelloSupport));
    ControlTestClient busy;
    QVERIFY(busy.connectTo(server.serverPort()));
    busy.send(QLatin1String(MessageNames::HelloSupport));
    QTRY_COMPARE(busy.messages.size(), 1);
    // Commands keep a support client; bytes that complete none do not.
    QTest::ignoreMessage(QtWarningMsg, "SUPPORT CLIENT IDLE, CLOSING");
    QElapsedTimer elapsed;
    elapsed.start();
    int asked = 0;
    while (idle.socket.state() != QAbstractSocket::UnconnectedState && elapsed.elapsed() < 20000) {
        busy.send(QLatin1String(MessageNames::AuthData));
        ++asked;
        QTRY_COMPARE(busy.messages.size(), 1 + asked);
        QTest::qWait(50);
    }
    QCOMPARE(idle.socket.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(busy.socket.state(), QAbstractSocket::ConnectedState);
    // The tray program does not idle out.
    QCOMPARE(gui.socket.state(), QAbstractSocket::ConnectedState);
}

void TestTcpServer::guiSlots()
{
    TcpServer server(0);
    server.setSignInStoredCheck([] { return true; });
    connect(&server, &TcpServer::signalCheckPin, &server, [&server](const QJsonObject& pin) {
        server.slotStatusCheckPin(QJsonObject{{"status", pin.value("pin_code") == "4711" ? 1 : 0}});
    });
    std::vector<std::unique_ptr<ControlTestClient>> guis;
    const auto connectGui = [&] {
        guis.push_back(std::make_unique<ControlTestClient>());
        ControlTestClient* gui = guis.back().get();
        if (!gui->connectTo(server.serverPort()))
            return false;
        gui->send(QLatin1String(MessageNames::HelloGui));
        return true;
    };
    for (int i = 0; i < TcpServer::maxGuiClients; ++i) {
        QVERIFY(connectGui());
        QTRY_COMPARE(guis.back()->messages.size(), 1);
    }
    // The second one gives the PIN: it can no longer be displaced.
    guis.at(1)->send(QLatin1String(MessageNames::CheckPin), QJsonObject{{"pin_code", "4711"}});
    QTRY_COMPARE(guis.at(1)->messages.size(), 2);
    // A new GUI greeting replaces the oldest GUI connection without the PIN.
    QTest::ignoreMessage(QtWarningMsg, "GUI SLOTS TAKEN, OLDEST GUI WITHOUT PIN CLOSED");
    QVERIFY(connectGui());
    QTRY_COMPARE(guis.back()->messages.size(), 1);
    QTRY_COMPARE(guis.at(0)->socket.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(guis.at(1)->socket.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(server.clientCount(1), TcpServer::maxGuiClients);
    // Once every GUI connection has given the PIN, a new greeting is refused.
    for (std::size_t i = 2; i < guis.size(); ++i) {
        guis.at(i)->send(QLatin1String(MessageNames::CheckPin), QJsonObject{{"pin_code", "4711"}});
        QTRY_COMPARE(guis.at(i)->infos().count(QLatin1String(MessageNames::StatusCheckPin)), 1);
    }
    QTest::ignoreMessage(QtWarningMsg, "GUI SLOTS TAKEN, CLOSING");
    QVERIFY(connectGui());
    QTRY_COMPARE(guis.back()->socket.state(), QAbstractSocket::UnconnectedState);
    QVERIFY(guis.back()->messages.isEmpty());
    for (std::size_t i = 1; i + 1 < guis.size(); ++i)
        QCOMPARE(guis.at(i)->socket.state(), QAbstractSocket::ConnectedState);
}

void TestTcpServer::resolverStatusOnChangeAndGreeting_data()
{
    QTest::addColumn<QString>("greeting");
    QTest::addColumn<bool>("stored");
    QTest::newRow("GUI") << QString::fromLatin1(MessageNames::HelloGui) << false;
    QTest::newRow("support client") << QString::fromLatin1(MessageNames::HelloSupport) << false;
    // Whether the machine is filtered is no account data: no PIN needed.
    QTest::newRow("GUI, sign-in stored, no PIN") << QString::fromLatin1(MessageNames::HelloGui) << true;
    QTest::newRow("support client, sign-in stored, no PIN")
        << QString::fromLatin1(MessageNames::HelloSupport) << true;
}

void TestTcpServer::resolverStatusOnChangeAndGreeting()
{
    QFETCH(QString, greeting);
    QFETCH(bool, stored);

    TcpServer server(0);
    server.setSignInStoredCheck([stored] { return stored; });
    ResolverStatus down;
    down.state = ResolverStatus::State::FailOpen;
    down.chosen = QStringLiteral("DoT");
    down.inUse = QStringLiteral("DNS");
    down.sinceMs = 1765262400000;
    down.detail = QStringLiteral("no answer from 192.0.2.53");
    ResolverStatus back = down;
    back.state = ResolverStatus::State::Filtered;
    back.inUse = QStringLiteral("DoT");
    back.sinceMs += 30000;
    back.detail.clear();
    const QString name = QLatin1String(MessageNames::StatusResolver);

    ControlTestClient early;
    QVERIFY(early.connectTo(server.serverPort()));
    early.send(greeting);
    ControlTestClient ungreeted;
    QVERIFY(ungreeted.connectTo(server.serverPort()));
    // Nothing known yet: the greeting is answered as by an older agent.
    QTRY_COMPARE(early.infos(), QStringList{QLatin1String(MessageNames::HelloAgent)});
    QTRY_COMPARE(server.clientCount(), 2);

    server.slotStatusResolver(down);
    server.slotStatusResolver(down); // no change: not sent again
    ControlTestClient late;
    QVERIFY(late.connectTo(server.serverPort()));
    late.send(greeting);
    QTRY_COMPARE(late.messages.size(), 2);
    QCOMPARE(late.infos(), (QStringList{QLatin1String(MessageNames::HelloAgent), name}));
    QCOMPARE(late.messages.at(1).value("data").toObject(), down.toJson());

    server.slotStatusResolver(back);
    QTRY_COMPARE(late.messages.size(), 3);
    QCOMPARE(late.messages.at(2).value("data").toObject(), back.toJson());
    QTRY_COMPARE(early.messages.size(), 3);
    QCOMPARE(early.infos(), (QStringList{QLatin1String(MessageNames::HelloAgent), name, name}));
    QCOMPARE(early.messages.at(1).value("data").toObject(), down.toJson());
    QCOMPARE(early.messages.at(2).value("data").toObject(), back.toJson());

    // A connection that had not greeted got none of them, only the state
    // current when it greets.
    ungreeted.send(greeting);
    QTRY_COMPARE(ungreeted.messages.size(), 2);
    QCOMPARE(ungreeted.messages.at(1).value("data").toObject(), back.toJson());
}

QTEST_GUILESS_MAIN(TestTcpServer)
#include "tst_tcpserver.moc"
