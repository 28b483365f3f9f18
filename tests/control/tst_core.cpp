#include "tests/control/ControlTestClient.h"

#include "common/MessageNames.h"
#include "common/RegistryStore.h"
#include "host/Core.h"
#include "settings/ConstData.h"
#include "settings/UserData.h"
#include "tests/fakes/FakeAdapterSource.h"
#include "tests/fakes/FakeMachineInfo.h"
#include "tests/fakes/FakeProgramRunner.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QSemaphore>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtTest>

#include <memory>

namespace {

// A resolver standing in for the filtering service: answers every query with
// the query itself, marked as a response.
class EchoResolver : public QObject
{
public:
    bool bind(const QHostAddress& address, quint16 port)
    {
        connect(&socket, &QUdpSocket::readyRead, this, [this] {
            while (socket.hasPendingDatagrams()) {
                const QNetworkDatagram query = socket.receiveDatagram();
                QByteArray answer = query.data();
                if (answer.size() >= 12)
                    answer[2] = static_cast<char>(answer.at(2) | 0x80);
                socket.writeDatagram(answer, query.senderAddress(), static_cast<quint16>(query.senderPort()));
                ++answered;
            }
        });
        return socket.bind(address, port);
    }
    QUdpSocket socket;
    int answered = 0;
};

QByteArray dnsQuery(quint16 id)
{
    QByteArray query = QByteArray::fromHex("00000100000100000000000007"
                                           "6578616d706c650474657374000001"
                                           "0001");
    query[0] = static_cast<char>(id >> 8);
    query[1] = static_cast<char>(id & 0xFF);
    return query;
}

// Sends one query to the agent's listener and waits for the answer.
// The listeners start on threads of their own: a query or connection made
// before they are bound is lost, so both helpers try again, as a stub
// resolver or a browser would, until the deadline.
bool agentAnswers(quint16 id)
{
    QUdpSocket client;
    QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        if (client.writeDatagram(dnsQuery(id), QHostAddress::LocalHost, ConstData::getPortDns()) < 0)
            return false;
        if (!QTest::qWaitFor([&client] { return client.hasPendingDatagrams(); }, 300))
            continue;
        const QByteArray answer = client.receiveDatagram().data();
        return answer.size() >= 12 && static_cast<quint8>(answer.at(0)) == (id >> 8) &&
               static_cast<quint8>(answer.at(1)) == (id & 0xFF) && (answer.at(2) & 0x80);
    }
    return false;
}

bool blockPageAnswers()
{
    QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, ConstData::getPortHttp());
        if (!client.waitForConnected(300)) {
            QTest::qWait(100);
            continue;
        }
        client.write("GET /?blockpage=blockpage.corvane.test&hostname=h&url=u HTTP/1.1\r\n\r\n");
        QByteArray all;
        (void)QTest::qWaitFor(
            [&] {
                all += client.readAll();
                return all.contains("\r\n\r\n\r\n");
            },
            5000);
        return all.startsWith("HTTP/1.1 303 See Other\r\n");
    }
    return false;
}

} // namespace

class TestCore : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void profilesReplyInIdOrderWithTextIds();
    void networkInterfacesReplyInGuidOrder();
    void filteringStatusLocalReply_data();
    void filteringStatusLocalReply();
    void protocolFromMessage_data();
    void protocolFromMessage();
    void guiGreetingGetsStatusMessages();
    void loginWhileUnsetSwitchesOn();
    void loginWhileOffStaysOff();
    void logoutResetsProtectionAndKeepsUid();
    void localFilteringSwitch_data();
    void localFilteringSwitch();
    void changeDnsProtocol();
    void changeNetInterface();
    void changeStatusLogToggles();
    void coordinatesStoredAndReported();
    void dnsThreadRestartsWhenKilled();
    void blockPageThreadRestartsWhenKilled();
    void servedWhileDebugReportRuns();

private:
    // Starts the agent's core and a greeted support client.
    bool start(const char* greeting = MessageNames::HelloSupport);
    QJsonObject request(const char* info, const QJsonObject& data = QJsonObject(), bool withData = false);

    std::unique_ptr<FakeAdapterSource> adapters;
    std::unique_ptr<FakeMachineInfo> machine;
    std::unique_ptr<FakeProgramRunner> programs;
    std::unique_ptr<Core> core;
    std::unique_ptr<ControlTestClient> client;
};

void TestCore::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("CORVANE_IN_NETNS"))
        QSKIP("binds the agent's real ports: needs the private network namespace (NETNS)");
    adapters = std::make_unique<FakeAdapterSource>();
    adapters->setAdapters(
        {FakeAdapterSource::adapter(QStringLiteral("{1111-AAAA}"), QStringLiteral("Ethernet"), 6)});
    machine = std::make_unique<FakeMachineInfo>();
    machine->user = QStringLiteral("alice");
    programs = std::make_unique<FakeProgramRunner>();
}

void TestCore::init()
{
    QFile::remove(RegistryStore::filePathFor(RegistryStore::stateDirectory(), ConstData::getAddressConf()));
    UserData::resetMemoryState();
}

void TestCore::cleanup()
{
    client.reset();
    core.reset();
}

bool TestCore::start(const char* greeting)
{
    core = std::make_unique<Core>(QStringList{QStringLiteral("agentcorvane")});
    client = std::make_unique<ControlTestClient>();
    // The resolver's state comes whenever it changes, in between replies.
    client->unsolicited = QStringList{QLatin1String(MessageNames::StatusResolver)};
    if (!client->connectTo(ConstData::getPortTcpOfAgent()))
        return false;
    client->send(QLatin1String(greeting));
    return QTest::qWaitFor([this] { return !client->messages.isEmpty(); }, 5000) &&
           client->infos().first() == QLatin1String(MessageNames::HelloAgent);
}

QJsonObject TestCore::request(const char* info, const QJsonObject& data, bool withData)
{
    const int before = static_cast<int>(client->messages.size());
    client->send(ControlFrame::envelope(QLatin1String(info), data, withData));
    if (!QTest::qWaitFor([this, before] { return client->messages.size() > before; }, 5000))
        return QJsonObject();
    return client->messages.at(before);
}

void TestCore::profilesReplyInIdOrderWithTextIds()
{
    QMap<quint32, QString> profiles;
    profiles.insert(7, QStringLiteral("Seven"));
    profiles.insert(3, QStringLiteral("Детский"));
    profiles.insert(4000000000u, QStringLiteral("Big"));
    const QJsonObject reply = Core::profilesReply(profiles);
    const QJsonArray list = reply.value("profiles").toArray();
    QCOMPARE(list.size(), 3);
    QCOMPARE(list.at(0).toObject(), (QJsonObject{{"id", "3"}, {"name", QStringLiteral("Детский")}}));
    QCOMPARE(list.at(1).toObject(), (QJsonObject{{"id", "7"}, {"name", "Seven"}}));
    QCOMPARE(list.at(2).toObject(), (QJsonObject{{"id", "4000000000"}, {"name", "Big"}}));
    QVERIFY(list.at(0).toObject().value("id").isString());
    QCOMPARE(Core::profilesReply({}), (QJsonObject{{"profiles", QJsonArray()}}));
}

void TestCore::networkInterfacesReplyInGuidOrder()
{
    QMap<QString, UserData::NetInter> interfaces;
    interfaces.insert(QStringLiteral("{B}"), UserData::NetInter{QStringLiteral("Wi-Fi"), false});
    interfaces.insert(QStringLiteral("{A}"), UserData::NetInter{QStringLiteral("Ethernet"), true});
    const QJsonArray list = Core::networkInterfacesReply(interfaces).value("interfaces").toArray();
    QCOMPARE(list.size(), 2);
    QCOMPARE(list.at(0).toObject(), (QJsonObject{{"guid", "{A}"}, {"name", "Ethernet"}, {"status", true}}));
    QCOMPARE(list.at(1).toObject(), (QJsonObject{{"guid", "{B}"}, {"name", "Wi-Fi"}, {"status", false}}));
}

void TestCore::filteringStatusLocalReply_data()
{
    QTest::addColumn<int>("controlDns");
    QTest::addColumn<int>("status");
    QTest::newRow("unset") << int(UserData::UNSET) << 0;
    QTest::newRow("on") << int(UserData::ON) << 1;
    QTest::newRow("off") << int(UserData::OFF) << 0;
    QTest::newRow("unknown value") << 9 << 0;
}

void TestCore::filteringStatusLocalReply()
{
    QFETCH(int, controlDns);
    QFETCH(int, status);
    QCOMPARE(Core::filteringStatusLocalReply(controlDns), (QJsonObject{{"status", status}}));
}

void TestCore::protocolFromMessage_data()
{
    QTest::addColumn<QJsonObject>("data");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("protocol");
    QTest::newRow("dns") << QJsonObject{{"dns_protocol", 0}} << true << 0;
    QTest::newRow("doh") << QJsonObject{{"dns_protocol", 1}} << true << 1;
    QTest::newRow("dot") << QJsonObject{{"dns_protocol", 2}} << true << 2;
    QTest::newRow("missing reads as dns") << QJsonObject{} << true << 0;
    QTest::newRow("text reads as dns") << QJsonObject{{"dns_protocol", "2"}} << true << 0;
    QTest::newRow("out of range") << QJsonObject{{"dns_protocol", 3}} << false << 0;
    QTest::newRow("negative") << QJsonObject{{"dns_protocol", -1}} << false << 0;
}

void TestCore::protocolFromMessage()
{
    QFETCH(QJsonObject, data);
    QFETCH(bool, accepted);
    QFETCH(int, protocol);
    UserData::ETypeOfDnsProtocol result = UserData::DNS;
    QCOMPARE(Core::protocolFromMessage(data, result), accepted);
    if (accepted)
        QCOMPARE(int(result), protocol);
}

void TestCore::guiGreetingGetsStatusMessages()
{
    UserData::setDnsProtocol(UserData::DOT);
    QVERIFY(start(MessageNames::HelloGui));
    QTRY_COMPARE(client->messages.size(), 4);
    QTRY_VERIFY(!client->asides.isEmpty());
    const QList<QJsonObject> messages = client->messages;
    QStringList infos;
    for (const QJsonObject& message : messages)
        infos.append(message.value("info").toString());
    QCOMPARE(infos, (QStringList{"HELLOAGENT", "STATUSLOG", "STATUSAD", "DNSPROTOCOL"}));
    QCOMPARE(messages.at(1).value("data").toObject(), (QJsonObject{{"status_log", true}}));
    QCOMPARE(messages.at(2).value("data").toObject(), (QJsonObject{{"status_ad", false}}));
    QCOMPARE(messages.at(3).value("data").toObject(), (QJsonObject{{"dns_protocol", 2}}));
}

void TestCore::loginWhileUnsetSwitchesOn()
{
    QCOMPARE(UserData::getControlDNS(), int(UserData::UNSET));
    QVERIFY(start());
    // USERINFO (the account summary, empty without a backend) comes first.
    const int before = static_cast<int>(client->messages.size());
    QCOMPARE(request(MessageNames::Login).value("info").toString(), QLatin1String(MessageNames::UserInfo));
    QTRY_COMPARE(int(client->messages.size()), before + 2);
    QCOMPARE(client->messages.at(before + 1),
             ControlFrame::envelope(QLatin1String(MessageNames::StatusFilteringLocal), {{"status", 1}}));
    QCOMPARE(UserData::getControlDNS(), int(UserData::ON));
}

void TestCore::loginWhileOffStaysOff()
{
    UserData::setControlDNS(UserData::OFF);
    QVERIFY(start());
    // USERINFO (the account summary, empty without a backend) comes first.
    const int before = static_cast<int>(client->messages.size());
    QCOMPARE(request(MessageNames::Login).value("info").toString(), QLatin1String(MessageNames::UserInfo));
    QTRY_COMPARE(int(client->messages.size()), before + 2);
    QCOMPARE(client->messages.at(before + 1),
             ControlFrame::envelope(QLatin1String(MessageNames::StatusFilteringLocal), {{"status", 0}}));
    QCOMPARE(UserData::getControlDNS(), int(UserData::OFF));
}

void TestCore::logoutResetsProtectionAndKeepsUid()
{
    UserData::setControlDNS(UserData::ON);
    UserData::saveUid(QStringLiteral("uid-7f3a"));
    UserData::setLogin(QStringLiteral("demo"));
    UserData::setPassword(QStringLiteral("demo-password"));
    QVERIFY(UserData::setPin(QStringLiteral("1234")));
    QVERIFY(UserData::checkAuthData());
    QVERIFY(start());
    QCOMPARE(request(MessageNames::AuthData).value("data").toObject(), (QJsonObject{{"status", true}}));
    // Sign-in data is stored: the PIN opens the logout (the PIN is right;
    // without a backend the identifier check ends in 3 or 4, which the GUI
    // answers with a logout).
    const QJsonObject pin = request(MessageNames::CheckPin, {{"pin_code", "1234"}}, true);
    QVERIFY2(pin.value("data").toObject().value("status").toInt() != 0,
             qPrintable(ControlFrame::toText(pin)));

    client->send(QLatin1String(MessageNames::Logout));
    // Logout is silent; the next answer shows it has been handled.
    QCOMPARE(request(MessageNames::AuthData).value("data").toObject(), (QJsonObject{{"status", false}}));
    QCOMPARE(UserData::getControlDNS(), int(UserData::UNSET));
    QCOMPARE(UserData::getSaveUid(), QStringLiteral("uid-7f3a"));
    QVERIFY(UserData::getLogin().isEmpty());
    QVERIFY(!UserData::checkPin(QStringLiteral("1234")));
}

void TestCore::localFilteringSwitch_data()
{
    QTest::addColumn<QJsonValue>("status");
    QTest::addColumn<int>("controlDns");
    QTest::newRow("1 switches on") << QJsonValue(1) << int(UserData::ON);
    QTest::newRow("any non-zero switches on") << QJsonValue(5) << int(UserData::ON);
    QTest::newRow("0 switches off") << QJsonValue(0) << int(UserData::OFF);
    QTest::newRow("a boolean reads as 0") << QJsonValue(true) << int(UserData::OFF);
    QTest::newRow("missing reads as 0") << QJsonValue(QJsonValue::Undefined) << int(UserData::OFF);
}

void TestCore::localFilteringSwitch()
{
    QFETCH(QJsonValue, status);
    QFETCH(int, controlDns);
    UserData::setControlDNS(UserData::UNSET);
    QVERIFY(start());
    QJsonObject data;
    if (!status.isUndefined())
        data.insert("status", status);
    client->send(ControlFrame::envelope(QLatin1String(MessageNames::StatusFilteringLocal), data));
    // The next answer shows the switch has been handled.
    QVERIFY(!request(MessageNames::GetCoordGui).isEmpty());
    QCOMPARE(UserData::getControlDNS(), controlDns);
}

void TestCore::changeDnsProtocol()
{
    QVERIFY(start());
    client->send(
        ControlFrame::envelope(QLatin1String(MessageNames::ChangeDnsProtocol), {{"dns_protocol", 2}}));
    QCOMPARE(request(MessageNames::GetSettings).value("data").toObject(), (QJsonObject{{"dns_protocol", 2}}));
    QCOMPARE(UserData::getDnsProtocol(), UserData::DOT);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^CHANGEDNSPROTOCOL refused:")));
    client->send(
        ControlFrame::envelope(QLatin1String(MessageNames::ChangeDnsProtocol), {{"dns_protocol", 7}}));
    QCOMPARE(request(MessageNames::GetSettings).value("data").toObject(), (QJsonObject{{"dns_protocol", 2}}));
    QCOMPARE(UserData::getDnsProtocol(), UserData::DOT);
}

void TestCore::changeNetInterface()
{
    QMap<QString, UserData::NetInter> stored;
    stored.insert(QStringLiteral("{1111-AAAA}"), UserData::NetInter{QStringLiteral("Ethernet"), true});
    UserData::setNetworkInterfaces(stored);
    QVERIFY(start());
    const auto interfaces = [this] {
        request(MessageNames::GetSettings);
        (void)QTest::qWaitFor(
            [this] { return client->infos().last() == QLatin1String(MessageNames::NetworkInterfaces); },
            5000);
        return client->messages.last().value("data").toObject().value("interfaces").toArray();
    };
    const QJsonArray before = interfaces();
    QCOMPARE(before.size(), 1);
    QCOMPARE(before.at(0).toObject().value("guid").toString(), QStringLiteral("{1111-AAAA}"));
    QCOMPARE(before.at(0).toObject().value("status").toBool(), true);

    // An unknown GUID changes nothing.
    client->send(ControlFrame::envelope(QLatin1String(MessageNames::ChangeNetInterface),
                                        {{"guid", "{9999-ZZZZ}"}, {"status", false}}));
    QCOMPARE(interfaces(), before);
    QVERIFY(!UserData::getNetworkInterfaces().contains(QStringLiteral("{9999-ZZZZ}")));

    client->send(ControlFrame::envelope(QLatin1String(MessageNames::ChangeNetInterface),
                                        {{"guid", "{1111-AAAA}"}, {"status", false}}));
    const QJsonArray after = interfaces();
    QCOMPARE(after.size(), 1);
    QCOMPARE(after.at(0).toObject().value("status").toBool(), false);
    QCOMPARE(UserData::getNetworkInterfaces().value(QStringLiteral("{1111-AAAA}")).status, false);
}

void TestCore::changeStatusLogToggles()
{
    QVERIFY(start());
    const bool before = UserData::getStatusLog();
    QCOMPARE(request(MessageNames::ChangeStatusLog).value("data").toObject(),
             (QJsonObject{{"status_log", !before}}));
    QCOMPARE(UserData::getStatusLog(), !before);
    QCOMPARE(request(MessageNames::ChangeStatusLog).value("data").toObject(),
             (QJsonObject{{"status_log", before}}));
}

void TestCore::coordinatesStoredAndReported()
{
    QVERIFY(start());
    client->send(
        ControlFrame::envelope(QLatin1String(MessageNames::SetCoordGui), {{"x", "120"}, {"y", "48"}}));
    QCOMPARE(request(MessageNames::GetCoordGui),
             ControlFrame::envelope(QLatin1String(MessageNames::CoordGui), {{"x", "120"}, {"y", "48"}}));
}

void TestCore::dnsThreadRestartsWhenKilled()
{
    EchoResolver resolver;
    QVERIFY(resolver.bind(QHostAddress(UserData::getDnsIpV4()), 53));
    QVERIFY(start());
    QVERIFY(agentAnswers(0x1001));

    int starts = 0;
    connect(&core->dnsThread(), &QThread::started, this, [&starts] { ++starts; });
    QTest::ignoreMessage(QtCriticalMsg, "THREAD DNS UDP FINISHED");
    core->dnsThread().quit();
    QTRY_COMPARE(starts, 1);
    QVERIFY(core->dnsThread().isRunning());
    // The listener serves again on its restarted thread.
    QVERIFY(agentAnswers(0x1002));
}

void TestCore::blockPageThreadRestartsWhenKilled()
{
    QVERIFY(start());
    QVERIFY(blockPageAnswers());
    int starts = 0;
    connect(&core->blockPageThread(), &QThread::started, this, [&starts] { ++starts; });
    QTest::ignoreMessage(QtCriticalMsg, "THREAD BLOCK PAGE FINISHED");
    core->blockPageThread().quit();
    QTRY_COMPARE(starts, 1);
    QVERIFY(blockPageAnswers());
}

void TestCore::servedWhileDebugReportRuns()
{
    EchoResolver resolver;
    QVERIFY(resolver.bind(QHostAddress(UserData::getDnsIpV4()), 53));
    // The diagnostics hang until the test lets them go (on any way out: the
    // report's thread may outlive a failed test, so the gate is static).
    static QSemaphore started;
    static QSemaphore gate;
    started.acquire(started.available());
    const QStringList tools{QStringLiteral("traceroute"), QStringLiteral("tracepath"),
                            QStringLiteral("tracert"), QStringLiteral("nslookup"), QStringLiteral("dig")};
    for (const QString& tool : tools) {
        programs->setAction(tool, [](const QStringList&) {
            started.release();
            // Bounded: where the programs ran on the agent thread, this
            // would hold the very thread that lets them go.
            (void)gate.tryAcquire(1, 20000);
        });
        programs->setResult(tool, FakeProgramRunner::output(tool.toUtf8() + " output"));
    }
    bool released = false;
    struct Open
    {
        FakeProgramRunner* programs;
        const QStringList& tools;
        const bool& released;
        ~Open()
        {
            for (const QString& tool : tools)
                programs->setAction(tool, nullptr);
            if (!released)
                gate.release(2);
        }
    } open{programs.get(), tools, released};
    QVERIFY(start());
    client->send(ControlFrame::envelope(QLatin1String(MessageNames::GetDebug), QJsonObject(), false));
    // The command is read on this thread: wait with its event loop running.
    QTRY_VERIFY(started.available() > 0);
    // While the route trace hangs, the control channel and DNS answer.
    client->send(ControlFrame::envelope(QLatin1String(MessageNames::SetCoordGui), {{"x", "7"}, {"y", "9"}}));
    QCOMPARE(request(MessageNames::GetCoordGui),
             ControlFrame::envelope(QLatin1String(MessageNames::CoordGui), {{"x", "7"}, {"y", "9"}}));
    QVERIFY(agentAnswers(0x2002));
    // Another connection speaks meanwhile: the report still goes to the one that asked.
    ControlTestClient other;
    QVERIFY(other.connectTo(ConstData::getPortTcpOfAgent()));
    other.send(QLatin1String(MessageNames::HelloSupport));
    other.send(ControlFrame::envelope(QLatin1String(MessageNames::GetCoordGui), QJsonObject(), false));
    QTRY_VERIFY(other.infos().contains(QLatin1String(MessageNames::CoordGui)));
    QVERIFY(!client->infos().contains(QLatin1String(MessageNames::Debug)));
    gate.release(2);
    released = true;
    QTRY_VERIFY(client->infos().contains(QLatin1String(MessageNames::Debug)));
    QVERIFY(!other.infos().contains(QLatin1String(MessageNames::Debug)));
    const int at = static_cast<int>(client->infos().indexOf(QLatin1String(MessageNames::Debug)));
    QVERIFY(client->messages.at(at).value("data").toObject().value("debug").toString().contains(
        QLatin1String(" output")));
}

QTEST_GUILESS_MAIN(TestCore)
#include "tst_core.moc"
