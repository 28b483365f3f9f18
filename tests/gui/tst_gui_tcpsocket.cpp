#include "common/ControlFrame.h"
#include "common/MessageNames.h"
#include "gui/TcpSocket.h"
#include "tests/gui/FakeAgent.h"
#include "tests/testlib/LogCapture.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

namespace {
// Every signal that carries an agent message, by its message name.
const QList<QPair<QString, const char*>>& messageSignals()
{
    static const QList<QPair<QString, const char*>> table{
        {QStringLiteral("VERSIONS"), SIGNAL(signalVersions(QJsonObject))},
        {QStringLiteral("STATUSFILTERINGSERVER"), SIGNAL(signalFilteringStatusServer(QJsonObject))},
        {QStringLiteral("STATUSFILTERINGLOCAL"), SIGNAL(signalFilteringStatusLocal(QJsonObject))},
        {QStringLiteral("USERINFO"), SIGNAL(signalUserInfo(QJsonObject))},
        {QStringLiteral("PROFILES"), SIGNAL(signalProfiles(QJsonObject))},
        {QStringLiteral("PROFILEID"), SIGNAL(signalProfileId(QJsonObject))},
        {QStringLiteral("SYSTEMINFO"), SIGNAL(signalSystemInfo(QJsonObject))},
        {QStringLiteral("DEBUG"), SIGNAL(signalDebug(QJsonObject))},
        {QStringLiteral("STATUSCHECKAUTH"), SIGNAL(signalStatusCheckAuth(QJsonObject))},
        {QStringLiteral("STATUSCREATEPIN"), SIGNAL(signalStatusCreatePin(QJsonObject))},
        {QStringLiteral("STATUSCHECKPIN"), SIGNAL(signalStatusCheckPin(QJsonObject))},
        {QStringLiteral("STATUSAUTHDATA"), SIGNAL(signalStatusAuthData(QJsonObject))},
        {QStringLiteral("COORDGUI"), SIGNAL(signalCoordGui(QJsonObject))},
        {QStringLiteral("STATUSLOG"), SIGNAL(signalStatusLog(QJsonObject))},
        {QStringLiteral("STATUSAD"), SIGNAL(signalStatusAd(QJsonObject))},
        {QStringLiteral("DNSPROTOCOL"), SIGNAL(signalDnsProtocol(QJsonObject))},
        {QStringLiteral("NETWORKINTERFACES"), SIGNAL(signalNetInterfaces(QJsonObject))},
    };
    return table;
}

// One spy per message signal, to prove that exactly one of them fired.
class AllSpies
{
public:
    explicit AllSpies(TcpSocket* socket)
    {
        for (const auto& entry : messageSignals())
            spies.append({entry.first, std::make_shared<QSignalSpy>(socket, entry.second)});
    }
    int total() const
    {
        int n = 0;
        for (const auto& spy : spies)
            n += spy.second->count();
        return n;
    }
    QSignalSpy& of(const QString& name)
    {
        for (auto& spy : spies) {
            if (spy.first == name)
                return *spy.second;
        }
        qFatal("no spy for %s", qPrintable(name));
    }

private:
    QList<QPair<QString, std::shared_ptr<QSignalSpy>>> spies;
};

QByteArray frame(const QString& info, const QJsonObject& data)
{
    return ControlFrame::encode(ControlFrame::envelope(info, data));
}
} // namespace

class TestGuiTcpSocket : public QObject
{
    Q_OBJECT

private:
    // A client connected to `agent` and greeted.
    std::unique_ptr<TcpSocket> connectedClient(FakeAgent& agent)
    {
        auto client = std::make_unique<TcpSocket>(agent.port());
        // The stand-in agent is this test program.
        client->setListenerExpectation(ListenerOwner::Expectation::thisProcess());
        client->slotConnectToServer();
        if (!QTest::qWaitFor([&] { return client->isConnected(); }, 5000))
            return nullptr;
        return client;
    }

private slots:
    void dispatchesEveryMessage_data()
    {
        QTest::addColumn<QString>("info");
        for (const auto& entry : messageSignals())
            QTest::newRow(qPrintable(entry.first)) << entry.first;
    }

    void dispatchesEveryMessage()
    {
        QFETCH(QString, info);
        LogCapture log(LogCapture::Forward::Nothing);
        TcpSocket client(1);
        AllSpies spies(&client);
        const QJsonObject data{{QStringLiteral("status"), 7}, {QStringLiteral("text"), QStringLiteral("é✓")}};
        client.analysisReceivedMessage(ControlFrame::toText(ControlFrame::envelope(info, data)));
        QCOMPARE(spies.total(), 1);
        QSignalSpy& spy = spies.of(info);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toJsonObject(), data);
        QCOMPARE(log.count(QtDebugMsg, QStringLiteral("SOCKET_GET"), info), 1);
    }

    void missingDataGivesEmptyObject()
    {
        TcpSocket client(1);
        QSignalSpy spy(&client, &TcpSocket::signalStatusAuthData);
        client.analysisReceivedMessage(QStringLiteral("{\"info\":\"STATUSAUTHDATA\"}"));
        QCOMPARE(spy.count(), 1);
        QVERIFY(spy.at(0).at(0).toJsonObject().isEmpty());
    }

    void badMessages_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("line");
        QTest::newRow("unknown info")
            << QStringLiteral("{\"info\":\"FOO\",\"data\":{}}") << QStringLiteral("BAD HEADER FOO");
        QTest::newRow("command name from the agent")
            << QStringLiteral("{\"info\":\"GETVERSION\"}") << QStringLiteral("BAD HEADER GETVERSION");
        QTest::newRow("lower case") << QStringLiteral("{\"info\":\"versions\"}")
                                    << QStringLiteral("BAD HEADER versions");
        QTest::newRow("not json") << QStringLiteral("VERSIONS") << QStringLiteral("BAD HEADER ");
        QTest::newRow("cut json") << QStringLiteral("{\"info\":\"VERSIONS\",\"data\":{")
                                  << QStringLiteral("BAD HEADER ");
        QTest::newRow("array") << QStringLiteral("[\"VERSIONS\"]") << QStringLiteral("BAD HEADER ");
        QTest::newRow("no info") << QStringLiteral("{\"data\":{}}") << QStringLiteral("BAD HEADER ");
        QTest::newRow("info not a string") << QStringLiteral("{\"info\":5}") << QStringLiteral("BAD HEADER ");
        QTest::newRow("empty text") << QString() << QStringLiteral("BAD HEADER ");
        QTest::newRow("data is an array")
            << QStringLiteral("{\"info\":\"VERSIONS\",\"data\":[1]}") << QStringLiteral("BAD DATA VERSIONS");
        QTest::newRow("data is a string") << QStringLiteral("{\"info\":\"STATUSCHECKPIN\",\"data\":\"1\"}")
                                          << QStringLiteral("BAD DATA STATUSCHECKPIN");
        QTest::newRow("data is a number")
            << QStringLiteral("{\"info\":\"COORDGUI\",\"data\":3}") << QStringLiteral("BAD DATA COORDGUI");
    }

    void badMessages()
    {
        QFETCH(QString, text);
        QFETCH(QString, line);
        LogCapture log(LogCapture::Forward::Nothing);
        TcpSocket client(1);
        AllSpies spies(&client);
        QSignalSpy hello(&client, &TcpSocket::signalSuccessConnection);
        client.analysisReceivedMessage(text);
        QCOMPARE(spies.total(), 0);
        QCOMPARE(hello.count(), 0);
        QCOMPARE(log.count(QtInfoMsg, QStringLiteral("SOCKET_GET"), line), 1);
    }

    void errorTexts_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("text");
        QTest::newRow("refused") << int(QAbstractSocket::ConnectionRefusedError)
                                 << QStringLiteral("The connection was refused.");
        QTest::newRow("closed") << int(QAbstractSocket::RemoteHostClosedError)
                                << QStringLiteral("The server is closed.");
        QTest::newRow("not found") << int(QAbstractSocket::HostNotFoundError)
                                   << QStringLiteral("The server was not found.");
        QTest::newRow("other") << int(QAbstractSocket::SocketTimeoutError)
                               << QStringLiteral("socket's own text");
        QTest::newRow("network") << int(QAbstractSocket::NetworkError) << QStringLiteral("socket's own text");
    }

    void errorTexts()
    {
        QFETCH(int, error);
        QFETCH(QString, text);
        QCOMPARE(
            TcpSocket::errorText(QAbstractSocket::SocketError(error), QStringLiteral("socket's own text")),
            text);
    }

    void framesSplitAtEveryByte()
    {
        FakeAgent agent;
        QVERIFY(agent.listen());
        auto client = connectedClient(agent);
        QVERIFY(client);
        auto* inner = client->findChild<QTcpSocket*>();
        QVERIFY(inner);
        QSignalSpy arrived(inner, &QIODevice::readyRead);
        QSignalSpy spy(client.get(), &TcpSocket::signalUserInfo);
        AllSpies spies(client.get());

        const QJsonObject data{{QStringLiteral("username"), QStringLiteral("user@corvane.test")},
                               {QStringLiteral("ip"), QStringLiteral("192.0.2.7")}};
        const QByteArray bytes = frame(QStringLiteral("USERINFO"), data);
        for (int cut = 1; cut < bytes.size(); ++cut) {
            const int before = arrived.count();
            agent.sendRaw(bytes.left(cut));
            QTRY_VERIFY(arrived.count() > before);
            QCOMPARE(spy.count(), cut - 1);
            agent.sendRaw(bytes.mid(cut));
            QTRY_COMPARE(spy.count(), cut);
            QCOMPARE(spy.last().at(0).toJsonObject(), data);
        }
        QCOMPARE(spies.total(), bytes.size() - 1);
    }

    void framesSplitInThree()
    {
        FakeAgent agent;
        QVERIFY(agent.listen());
        auto client = connectedClient(agent);
        QVERIFY(client);
        auto* inner = client->findChild<QTcpSocket*>();
        QSignalSpy arrived(inner, &QIODevice::readyRead);
        QSignalSpy spy(client.get(), &TcpSocket::signalDnsProtocol);
        const QByteArray bytes = frame(QStringLiteral("DNSPROTOCOL"), {{QStringLiteral("dns_protocol"), 2}});
        // One byte of the length, then the rest of it with part of the text.
        agent.sendRaw(bytes.left(1));
        QTRY_COMPARE(arrived.count(), 1);
        agent.sendRaw(bytes.mid(1, 5));
        QTRY_COMPARE(arrived.count(), 2);
        QCOMPARE(spy.count(), 0);
        agent.sendRaw(bytes.mid(6));
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toJsonObject().value(QStringLiteral("dns_protocol")).toInt(), 2);
    }

    void coalescedFramesInOrder()
    {
        FakeAgent agent;
        QVERIFY(agent.listen());
        auto client = connectedClient(agent);
        QVERIFY(client);
        QStringList order;
        connect(client.get(), &TcpSocket::signalStatusLog, this, [&](QJsonObject) { order << "STATUSLOG"; });
        connect(client.get(), &TcpSocket::signalStatusAd, this, [&](QJsonObject) { order << "STATUSAD"; });
        connect(client.get(), &TcpSocket::signalDnsProtocol, this,
                [&](QJsonObject) { order << "DNSPROTOCOL"; });
        AllSpies spies(client.get());
        agent.sendRaw(frame(QStringLiteral("STATUSLOG"), {{QStringLiteral("status_log"), true}}) +
                      frame(QStringLiteral("STATUSAD"), {{QStringLiteral("status_ad"), false}}) +
                      frame(QStringLiteral("DNSPROTOCOL"), {{QStringLiteral("dns_protocol"), 1}}));
        QTRY_COMPARE(order.size(), 3);
        QCOMPARE(order, QStringList({"STATUSLOG", "STATUSAD", "DNSPROTOCOL"}));
        QCOMPARE(spies.total(), 3);
    }

    void malformedFrameBodyIsSkipped()
    {
        LogCapture log(LogCapture::Forward::Nothing);
        FakeAgent agent;
        QVERIFY(agent.listen());
        auto client = connectedClient(agent);
        QVERIFY(client);
        QSignalSpy spy(client.get(), &TcpSocket::signalVersions);
        // A body that is not one serialised string (odd byte count), followed
        // by a good frame: the stream stays in step.
        const QByteArray bad = QByteArray::fromHex("0005000000017A");
        agent.sendRaw(bad + frame(QStringLiteral("VERSIONS"), {{QStringLiteral("status"), 1}}));
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(log.countPrefix(QStringLiteral("SOCKET_GET"), QStringLiteral("Malformed frame")), 1);
    }

    void greetingAndConnectedFlag()
    {
        FakeAgent agent;
        QVERIFY(agent.listen());
        TcpSocket client(agent.port());
        bool connectedWhenSignalled = false;
        connect(&client, &TcpSocket::signalSuccessConnection, this,
                [&] { connectedWhenSignalled = client.isConnected(); });
        QSignalSpy success(&client, &TcpSocket::signalSuccessConnection);
        QVERIFY(!client.isConnected());
        client.slotConnectToServer();
        QTRY_COMPARE(success.count(), 1);
        QCOMPARE(agent.receivedNames().value(0), QStringLiteral("HELLOGUI"));
        QVERIFY(client.isConnected());
        // Reactions to the signal already see the link up.
        QVERIFY(connectedWhenSignalled);
        QVERIFY(!client.isRetrying());
        // Asking again while connected does nothing.
        client.slotConnectToServer();
        QTest::qWait(50);
        QCOMPARE(agent.count(QStringLiteral("HELLOGUI")), 1);
    }

    void messagesBeforeGreetingAreHandled()
    {
        FakeAgent agent;
        agent.setAnswerHello(false);
        QVERIFY(agent.listen());
        TcpSocket client(agent.port());
        QSignalSpy spy(&client, &TcpSocket::signalStatusLog);
        client.slotConnectToServer();
        QTRY_COMPARE(agent.count(QStringLiteral("HELLOGUI")), 1);
        agent.send(QStringLiteral("STATUSLOG"), {{QStringLiteral("status_log"), true}});
        QTRY_COMPARE(spy.count(), 1);
        QVERIFY(!client.isConnected());
    }

    void commandSlotsSendTheirEnvelopes_data()
    {
        QTest::addColumn<QByteArray>("slot");
        QTest::addColumn<QString>("info");
        QTest::addColumn<bool>("withData");
        const QList<std::tuple<const char*, const char*, bool>> rows{
            {"slotGetVersion", "GETVERSION", false},
            {"slotLogin", "LOGIN", false},
            {"slotLogout", "LOGOUT", false},
            {"slotFilteringStatusLocal", "STATUSFILTERINGLOCAL", true},
            {"slotGetProfiles", "GETPROFILES", false},
            {"slotGetProfileId", "GETPROFILEID", false},
            {"slotSetProfileId", "SETPROFILEID", true},
            {"slotGetSystemInfo", "GETSYSTEMINFO", false},
            {"slotGetDebug", "GETDEBUG", false},
            {"slotSendDebugInfo", "SENDDEBUGINFO", false},
            {"slotGetSettings", "GETSETTINGS", false},
            {"slotCheckAuth", "CHECKAUTH", true},
            {"slotCreatePin", "CREATEPIN", true},
            {"slotCheckPin", "CHECKPIN", true},
            {"slotAuthData", "AUTHDATA", false},
            {"slotSetCoordGui", "SETCOORDGUI", true},
            {"slotGetCoordGui", "GETCOORDGUI", false},
            {"slotChangeStatusLog", "CHANGESTATUSLOG", false},
            {"slotChangeDnsProtocol", "CHANGEDNSPROTOCOL", true},
            {"slotChangeNetInterface", "CHANGENETINTERFACE", true},
        };
        for (const auto& [slot, info, withData] : rows)
            QTest::newRow(slot) << QByteArray(slot) << QString::fromLatin1(info) << withData;
    }

    void commandSlotsSendTheirEnvelopes()
    {
        QFETCH(QByteArray, slot);
        QFETCH(QString, info);
        QFETCH(bool, withData);
        FakeAgent agent;
        agent.setAnswerWindowRequests(false);
        QVERIFY(agent.listen());
        auto client = connectedClient(agent);
        QVERIFY(client);
        const QJsonObject data{{QStringLiteral("pin_code"), QStringLiteral("1234")},
                               {QStringLiteral("n"), 3}};
        const bool invoked =
            withData ? QMetaObject::invokeMethod(client.get(), slot.constData(), Q_ARG(QJsonObject, data))
                     : QMetaObject::invokeMethod(client.get(), slot.constData());
        QVERIFY(invoked);
        QTRY_COMPARE(agent.received().size(), 2);
        const QJsonObject sent = agent.received().at(1);
        QCOMPARE(sent.value(QStringLiteral("info")).toString(), info);
        QCOMPARE(sent.contains(QStringLiteral("data")), withData);
        if (withData)
            QCOMPARE(sent.value(QStringLiteral("data")).toObject(), data);
        QCOMPARE(sent.keys().size(), withData ? 2 : 1);
    }

    void secretsGoOnlyToTheAgent_data()
    {
        QTest::addColumn<QByteArray>("slot");
        QTest::newRow("password") << QByteArray("slotCheckAuth");
        QTest::newRow("new PIN") << QByteArray("slotCreatePin");
        QTest::newRow("PIN") << QByteArray("slotCheckPin");
    }

    void secretsGoOnlyToTheAgent()
    {
        // The listener is this test program, not the agent (nor, under
        // Windows, the agent's service): the secret stays here, the
        // connection is dropped and tried again later.
        QFETCH(QByteArray, slot);
        LogCapture log(LogCapture::Forward::Nothing);
        FakeAgent agent;
        QVERIFY(agent.listen());
        auto client = connectedClient(agent);
        QVERIFY(client);
        QTRY_COMPARE(agent.received().size(), 1);
        client->setListenerExpectation(ListenerOwner::Expectation());
        QSignalSpy refused(client.get(), &TcpSocket::signalListenerRefused);
        QSignalSpy later(client.get(), &TcpSocket::signalVersions);
        const QJsonObject secret{{QStringLiteral("pin_code"), QStringLiteral("1234")}};
        // Sent from the handler of a message that came in one read with
        // another: once the connection is dropped, nothing more of it is
        // handled.
        bool invoked = false;
        connect(client.get(), &TcpSocket::signalStatusAuthData, this, [&] {
            invoked = QMetaObject::invokeMethod(client.get(), slot.constData(), Q_ARG(QJsonObject, secret));
        });
        agent.sendRaw(frame(QStringLiteral("STATUSAUTHDATA"), {{QStringLiteral("status"), true}}) +
                      frame(QStringLiteral("VERSIONS"), {{QStringLiteral("status"), 1}}));
        QTRY_COMPARE(refused.count(), 1);
        QVERIFY(invoked);
        QCOMPARE(later.count(), 0);
        QVERIFY(!refused.first().first().toString().isEmpty());
        QVERIFY(!client->isConnected());
        QVERIFY(client->isRetrying());
        QCOMPARE(log.countPrefix(QStringLiteral("SOCKET"),
                                 QStringLiteral("The program on the control port is not the agent,")),
                 1);
        QTRY_VERIFY(!agent.hasClient());
        QCOMPARE(agent.receivedNames(), QStringList{QStringLiteral("HELLOGUI")});
    }

    void commandsWhileDisconnectedAreDropped()
    {
        LogCapture log(LogCapture::Forward::Nothing);
        FakeAgent agent;
        QVERIFY(agent.listen());
        const quint16 port = agent.port();
        TcpSocket client(port);
        // Not connected at all.
        client.slotGetVersion();
        QCOMPARE(log.count(QtDebugMsg, QStringLiteral("SOCKET"), QStringLiteral("Server unavailable.")), 1);
        // Still connecting: the command must not be held and sent later.
        client.slotConnectToServer();
        client.slotGetProfiles();
        QCOMPARE(log.count(QtDebugMsg, QStringLiteral("SOCKET"), QStringLiteral("Server unavailable.")), 2);
        QTRY_VERIFY(client.isConnected());
        client.slotGetDebug();
        QTRY_COMPARE(agent.received().size(), 2);
        QCOMPARE(agent.receivedNames(), QStringList({"HELLOGUI", "GETDEBUG"}));

        // After the agent goes away, commands are lost, not queued.
        QSignalSpy lost(&client, &TcpSocket::signalErrorConnection);
        agent.close();
        QTRY_COMPARE(lost.count(), 1);
        QVERIFY(!client.isConnected());
        client.slotGetSystemInfo();
        QCOMPARE(log.count(QtDebugMsg, QStringLiteral("SOCKET"), QStringLiteral("Server unavailable.")), 3);
        QVERIFY(agent.listen(port));
        agent.clearReceived();
        client.slotConnectToServer();
        QTRY_VERIFY(client.isConnected());
        QTest::qWait(100);
        QCOMPARE(agent.receivedNames(), QStringList({"HELLOGUI"}));
    }

    void errorsRetryAndAreLoggedOnce()
    {
        LogCapture log(LogCapture::Forward::Nothing);
        FakeAgent agent;
        QVERIFY(agent.listen());
        const quint16 port = agent.port();
        agent.close();

        TcpSocket client(port);
        QSignalSpy errors(&client, &TcpSocket::signalErrorConnection);
        QSignalSpy success(&client, &TcpSocket::signalSuccessConnection);
        client.slotConnectToServer();
        QTRY_COMPARE(errors.count(), 1);
        QVERIFY(client.isRetrying());
        QVERIFY(!client.isConnected());
        const QString refused = QStringLiteral("The connection was refused.");
        QCOMPARE(client.getLastError(), refused);
        // What the retry timer does every 5 s, without waiting for it.
        client.slotConnectToServer();
        QTRY_COMPARE(errors.count(), 2);
        client.slotConnectToServer();
        QTRY_COMPARE(errors.count(), 3);
        QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("SOCKET"), refused), 1);

        // The agent comes up: greeting answered, retrying stops.
        QVERIFY(agent.listen(port));
        client.slotConnectToServer();
        QTRY_COMPARE(success.count(), 1);
        QVERIFY(!client.isRetrying());
        QCOMPARE(client.getLastError(), refused);

        // The agent stops: "closed" differs from the last text, so it is logged.
        agent.close();
        QTRY_COMPARE(errors.count(), 4);
        QVERIFY(!client.isConnected());
        QVERIFY(client.isRetrying());
        const QString closed = QStringLiteral("The server is closed.");
        QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("SOCKET"), closed), 1);
        client.slotConnectToServer();
        QTRY_COMPARE(errors.count(), 5);
        client.slotConnectToServer();
        QTRY_COMPARE(errors.count(), 6);
        QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("SOCKET"), refused), 2);
        QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("SOCKET"), closed), 1);
    }

    void reconnectsAfterPartialFrame()
    {
        // A connection lost in the middle of a frame must not leave its
        // length pending for the next connection.
        FakeAgent agent;
        QVERIFY(agent.listen());
        auto client = connectedClient(agent);
        QVERIFY(client);
        auto* inner = client->findChild<QTcpSocket*>();
        QSignalSpy arrived(inner, &QIODevice::readyRead);
        QSignalSpy lost(client.get(), &TcpSocket::signalErrorConnection);
        agent.sendRaw(frame(QStringLiteral("VERSIONS"), {{QStringLiteral("status"), 1}}).left(6));
        QTRY_COMPARE(arrived.count(), 1);
        agent.dropClient();
        QTRY_COMPARE(lost.count(), 1);
        QSignalSpy versions(client.get(), &TcpSocket::signalVersions);
        client->slotConnectToServer();
        QTRY_VERIFY(client->isConnected());
        agent.send(QStringLiteral("VERSIONS"), {{QStringLiteral("status"), 2}});
        QTRY_COMPARE(versions.count(), 1);
        QCOMPARE(versions.at(0).at(0).toJsonObject().value(QStringLiteral("status")).toInt(), 2);
    }

    void retriesOnItsOwnEveryFiveSeconds()
    {
        FakeAgent agent;
        QVERIFY(agent.listen());
        const quint16 port = agent.port();
        agent.close();
        TcpSocket client(port);
        QSignalSpy errors(&client, &TcpSocket::signalErrorConnection);
        QSignalSpy success(&client, &TcpSocket::signalSuccessConnection);
        client.slotConnectToServer();
        QTRY_COMPARE(errors.count(), 1);
        QVERIFY(agent.listen(port));
        // Only the retry timer brings the connection now.
        QTRY_COMPARE_WITH_TIMEOUT(success.count(), 1, 12000);
    }
};

QTEST_GUILESS_MAIN(TestGuiTcpSocket)
#include "tst_gui_tcpsocket.moc"
