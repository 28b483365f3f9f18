// The local DNS listener with its three transports, run on their threads in a
// private network namespace against in-test upstreams: plain UDP resolvers
// (the filtering resolver and the servers the interfaces had before), and a
// DNS-over-TLS and a DNS-over-HTTPS server with a self-signed certificate
// the process trusts.
#include "common/RegistryStore.h"
#include "dns/DohRemoteServer.h"
#include "dns/DotRemoteServer.h"
#include "dns/SnifferDnsUdp.h"
#include "dns/TlsRemoteServer.h"
#include "dnswire/DnsMessage.h"
#include "settings/ConstData.h"
#include "settings/TrustAnchors.h"
#include "settings/UserData.h"
#include "tests/dns/DnsTestMessages.h"
#include "tests/dns/FakeTlsResolver.h"
#include "tests/dns/FakeUdpResolver.h"
#include "tests/dns/SelfSignedCertificate.h"
#include "tests/fakes/FakeMachineInfo.h"
#include "tests/testlib/LogCapture.h"

#include <QDeadlineTimer>
#include <QNetworkDatagram>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <memory>
#include <vector>

using M = DnsTestMessages;

namespace {

constexpr quint32 token = 305419896;
constexpr int waitMs = 8000;
constexpr int poolSize = 4;

const QHostAddress resolverV4(QStringLiteral("127.53.0.1"));
const QHostAddress savedA(QStringLiteral("127.53.0.2"));
const QHostAddress savedB(QStringLiteral("127.53.0.3"));
const QHostAddress resolverV6(QStringLiteral("fd00:53::1"));
const QHostAddress savedV6(QStringLiteral("fd00:53::2"));

bool isMarked(const QByteArray& query)
{
    return query.size() >= 27 && M::arCount(query) >= 1 &&
           query.right(15) == QByteArray::fromHex("00ffed000100000000000412345678");
}

// The next datagram on `socket`, or nothing after `ms`.
QByteArray receive(QUdpSocket& socket, QHostAddress* from = nullptr, quint16* fromPort = nullptr,
                   int ms = waitMs)
{
    const QDeadlineTimer deadline(ms);
    while (!socket.hasPendingDatagrams() && !deadline.hasExpired()) {
        QSignalSpy spy(&socket, &QUdpSocket::readyRead);
        if (!socket.hasPendingDatagrams())
            spy.wait(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    if (!socket.hasPendingDatagrams())
        return QByteArray();
    QByteArray datagram(int(socket.pendingDatagramSize()), '\0');
    socket.readDatagram(datagram.data(), datagram.size(), from, fromPort);
    return datagram;
}

// The question name of a message (uncompressed, as the fakes echo it).
QString questionName(const QByteArray& message)
{
    return RemoteDnsServer::parsingDnsRequest(message).domain;
}

void setStored(const QString& key, const QVariant& value)
{
    {
        auto store = RegistryStore::open(ConstData::getAddressConf());
        store->setValue(key, value);
        store->sync();
    }
    UserData::resetMemoryState();
}

} // namespace

class TestSnifferDnsUdp : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void routing_data();
    void routing();
    void resolverNameGoesOverPlainUdp();
    void localQueryWithOnlyLoopbackGoesNowhere();
    void settingChangeSeenByNextQuery();
    void clientsWithTheSameId_data();
    void clientsWithTheSameId();
    void resentQueryGetsOneAnswer();
    void plainUdpAnswersAfterThreadRestart();
    void badDatagramsDropped_data();
    void badDatagramsDropped();
    void forgedAnswersDropped_data();
    void forgedAnswersDropped();
    void upstreamIdsAndPortsRandom();
    void answersSplitAndCoalesced_data();
    void answersSplitAndCoalesced();
    void dohErrorStatusGivesNoAnswer();
    void burstOpensFewConnections_data();
    void burstOpensFewConnections();
    void reconnectAfterServerCloses_data();
    void reconnectAfterServerCloses();
    void unansweredQueryResentAfterClose_data();
    void unansweredQueryResentAfterClose();
    void queryWaitsForHandshake_data();
    void queryWaitsForHandshake();
    void queryDroppedWhenHandshakeNeverCompletes_data();
    void queryDroppedWhenHandshakeNeverCompletes();
    void garbageFromTlsPeer_data();
    void garbageFromTlsPeer();

private:
    FakeTlsResolver* tls(int protocol) { return protocol == UserData::DOT ? dot.get() : doh.get(); }
    void restoreSettings();
    // Asks over the listener of the given family; returns the answer.
    QByteArray ask(QUdpSocket& client, const QByteArray& query, bool v4, QHostAddress* from = nullptr,
                   quint16* fromPort = nullptr);
    // Answers the listener and its plain-UDP transport have dropped so far.
    quint64 dropped();
    // Waits until `count` more answers than `before` were dropped; every
    // answer delivered before is then in the client's socket.
    bool waitForDrops(quint64 before, int count);
    void setTransportTimeout(int protocol, int ms);

    QTemporaryDir state;
    FakeMachineInfo machine;
    std::unique_ptr<LogCapture> log;
    std::unique_ptr<SelfSignedCertificate> certificate;
    // Impostors': for the resolver's address but trusted by no anchor, and
    // trusted but issued to another name.
    std::unique_ptr<SelfSignedCertificate> untrusted;
    std::unique_ptr<SelfSignedCertificate> otherName;
    std::unique_ptr<FakeUdpResolver> udpV4;
    std::unique_ptr<FakeUdpResolver> udpV6;
    std::unique_ptr<FakeUdpResolver> localA;
    std::unique_ptr<FakeUdpResolver> localB;
    std::unique_ptr<FakeUdpResolver> localV6;
    std::unique_ptr<FakeTlsResolver> dot;
    std::unique_ptr<FakeTlsResolver> doh;
    QThread dnsThread;
    SnifferDnsUdp* sniffer = nullptr;
    QUdpSocket clientV4;
    QUdpSocket clientV6;
    quint16 nextId = 0x0100;
};

void TestSnifferDnsUdp::initTestCase()
{
    QVERIFY(state.isValid());
    qputenv("CORVANE_STATE_DIR", state.path().toUtf8());
    log = std::make_unique<LogCapture>();
    QProcess ip;
    ip.start(QStringLiteral("ip"), {QStringLiteral("-6"), QStringLiteral("addr"), QStringLiteral("add"),
                                    QStringLiteral("fd00:53::2/128"), QStringLiteral("dev"),
                                    QStringLiteral("lo"), QStringLiteral("nodad")});
    QVERIFY(ip.waitForFinished(10000));

    // A machine joined to the domain corp.example.
    machine.domain = QStringLiteral("corp.example");
    ConstData::resetWorkingMode();

    // The encrypted transports reach the resolver by its address (no lookup):
    // its certificate is issued to that address.
    certificate = std::make_unique<SelfSignedCertificate>(QStringLiteral("127.53.0.1"));
    QVERIFY2(certificate->isValid(), qPrintable(certificate->error));
    untrusted = std::make_unique<SelfSignedCertificate>(QStringLiteral("127.53.0.1"));
    QVERIFY2(untrusted->isValid(), qPrintable(untrusted->error));
    otherName = std::make_unique<SelfSignedCertificate>(QStringLiteral("doh.other.test"));
    QVERIFY2(otherName->isValid(), qPrintable(otherName->error));
    TrustAnchors::setExtraCertificates({certificate->certificate, otherName->certificate});

    udpV4 = std::make_unique<FakeUdpResolver>(resolverV4, 53, QStringLiteral("192.0.2.1"));
    udpV6 = std::make_unique<FakeUdpResolver>(resolverV6, 53, QStringLiteral("192.0.2.6"));
    localA = std::make_unique<FakeUdpResolver>(savedA, 53, QStringLiteral("192.0.2.2"));
    localB = std::make_unique<FakeUdpResolver>(savedB, 53, QStringLiteral("192.0.2.3"));
    localV6 = std::make_unique<FakeUdpResolver>(savedV6, 53, QStringLiteral("192.0.2.7"));
    for (auto* fake : {udpV4.get(), udpV6.get(), localA.get(), localB.get(), localV6.get()})
        QVERIFY2(fake->isListening(), qPrintable(fake->answerAddress));
    dot = std::make_unique<FakeTlsResolver>(FakeTlsResolver::Mode::Dot, certificate->certificate,
                                            certificate->key, QStringLiteral("192.0.2.53"));
    doh = std::make_unique<FakeTlsResolver>(FakeTlsResolver::Mode::Doh, certificate->certificate,
                                            certificate->key, QStringLiteral("192.0.2.43"));
    QVERIFY(dot->listen(resolverV4, 853));
    QVERIFY(doh->listen(resolverV4, 443));

    setStored(QStringLiteral("CONTROL/DNS_DOMAIN"), QStringLiteral("127.53.0.1"));
    restoreSettings();

    QVERIFY(clientV4.bind(QHostAddress(QHostAddress::LocalHost), 0));
    QVERIFY(clientV6.bind(QHostAddress(QHostAddress::LocalHostIPv6), 0));

    SnifferDnsUdp::registerMetaTypes();
    sniffer = SnifferDnsUdp::createOnThread(&dnsThread);
    // A small pool replaced quickly, so that a thousand queries see rotation.
    sniffer->setUpstreamPool(poolSize, 50, 0, 30000);
    QSignalSpy listening(sniffer, &SnifferDnsUdp::signalListening);
    dnsThread.start();
    QVERIFY(listening.wait(waitMs));
    QCOMPARE(listening.first().at(0).toBool(), true);
    QCOMPARE(listening.first().at(1).toBool(), true);
    // The TLS transports start on threads of their own, after the listener:
    // a query before that finds no transport and is answered by the fallback.
    QTRY_VERIFY_WITH_TIMEOUT(
        log->countPrefix(QStringLiteral("DOTCLIENT"), QStringLiteral("START NEW THREAD")) == 1 &&
            log->countPrefix(QStringLiteral("DOHCLIENT"), QStringLiteral("START NEW THREAD")) == 1,
        waitMs);
}

void TestSnifferDnsUdp::cleanupTestCase()
{
    dnsThread.quit();
    QVERIFY(dnsThread.wait(waitMs));
    QVERIFY(log->contains(QStringLiteral("THREAD DOT FINISHED")));
    log.reset();
}

void TestSnifferDnsUdp::restoreSettings()
{
    UserData::setStatusLog(false);
    UserData::setControlDNS(UserData::ON);
    UserData::setDnsProtocol(UserData::DNS);
    UserData::setToken(token);
    UserData::setSavedIpV4Dns({QStringLiteral("127.0.0.1"), savedA.toString(), savedB.toString()});
    UserData::setSavedIpV6Dns({QStringLiteral("::1"), savedV6.toString()});
}

void TestSnifferDnsUdp::init()
{
    restoreSettings();
    QMetaObject::invokeMethod(sniffer, &SnifferDnsUdp::slotForgetHealth, Qt::BlockingQueuedConnection);
    for (auto* fake : {udpV4.get(), udpV6.get(), localA.get(), localB.get(), localV6.get()}) {
        fake->queries.clear();
        fake->ports.clear();
        fake->holdUntil = 1;
        fake->answerTwice = false;
        fake->silent = false;
    }
    dot->reset();
    doh->reset();
}

void TestSnifferDnsUdp::cleanup()
{
    // Nothing is left for the client: no query got more than one answer.
    const bool leftV4 = clientV4.hasPendingDatagrams();
    const bool leftV6 = clientV6.hasPendingDatagrams();
    while (clientV4.hasPendingDatagrams())
        clientV4.receiveDatagram();
    while (clientV6.hasPendingDatagrams())
        clientV6.receiveDatagram();
    QVERIFY(!leftV4);
    QVERIFY(!leftV6);
}

QByteArray TestSnifferDnsUdp::ask(QUdpSocket& client, const QByteArray& query, bool v4, QHostAddress* from,
                                  quint16* fromPort)
{
    client.writeDatagram(
        query, v4 ? QHostAddress(QHostAddress::LocalHost) : QHostAddress(QHostAddress::LocalHostIPv6), 53);
    return receive(client, from, fromPort);
}

quint64 TestSnifferDnsUdp::dropped()
{
    quint64 total = 0;
    QMetaObject::invokeMethod(
        sniffer, [&] { total = sniffer->droppedAnswers(); }, Qt::BlockingQueuedConnection);
    return total;
}

bool TestSnifferDnsUdp::waitForDrops(quint64 before, int count)
{
    const QDeadlineTimer deadline(waitMs);
    while (dropped() < before + quint64(count) && !deadline.hasExpired())
        QTest::qWait(5);
    return dropped() >= before + quint64(count);
}

void TestSnifferDnsUdp::setTransportTimeout(int protocol, int ms)
{
    RemoteDnsServer* server = nullptr;
    QMetaObject::invokeMethod(
        sniffer, [&] { server = sniffer->remoteServer(UserData::ETypeOfDnsProtocol(protocol)); },
        Qt::BlockingQueuedConnection);
    auto* tlsServer = qobject_cast<TlsRemoteServer*>(server);
    QVERIFY(tlsServer);
    QMetaObject::invokeMethod(
        tlsServer, [tlsServer, ms] { tlsServer->setHandshakeTimeout(ms); }, Qt::BlockingQueuedConnection);
}

void TestSnifferDnsUdp::routing_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("v4");
    QTest::addColumn<int>("control");
    QTest::addColumn<int>("protocol");
    QTest::addColumn<qint64>("tokenValue");
    // "resolver", "local", "dot", "doh"
    QTest::addColumn<QString>("route");
    QTest::addColumn<bool>("marked");

    QTest::newRow("protection unset: resolver, unmarked")
        << "a.example" << 1 << true << 0 << 1 << qint64(token) << "resolver" << false;
    QTest::newRow("protection off: resolver, unmarked")
        << "a.example" << 1 << true << 2 << 2 << qint64(token) << "resolver" << false;
    QTest::newRow("plain DNS, protection on: marked")
        << "a.example" << 1 << true << 1 << 0 << qint64(token) << "resolver" << true;
    QTest::newRow("no token: unmarked")
        << "a.example" << 1 << true << 1 << 0 << qint64(-1) << "resolver" << false;
    QTest::newRow("IPv6 client: IPv6 resolver")
        << "a.example" << 28 << false << 1 << 0 << qint64(token) << "resolver" << true;
    QTest::newRow("DoT: marked") << "a.example" << 1 << true << 1 << 2 << qint64(token) << "dot" << true;
    QTest::newRow("DoH: marked") << "a.example" << 1 << true << 1 << 1 << qint64(token) << "doh" << true;
    QTest::newRow("DoH from IPv6") << "a.example" << 28 << false << 1 << 1 << qint64(token) << "doh" << true;
    QTest::newRow("DoT, no token") << "a.example" << 1 << true << 1 << 2 << qint64(-1) << "dot" << false;
    QTest::newRow("DoH, protection off: plain")
        << "a.example" << 1 << true << 2 << 1 << qint64(token) << "resolver" << false;
    QTest::newRow("SRV with DoT: saved servers")
        << "_ldap._tcp.example.org" << 33 << true << 1 << 2 << qint64(token) << "local" << false;
    QTest::newRow("SRV from IPv6: saved IPv6 servers")
        << "_ldap._tcp.example.org" << 33 << false << 1 << 1 << qint64(token) << "local" << false;
    QTest::newRow("SRV, protection off")
        << "_sip._udp.example.org" << 33 << true << 2 << 0 << qint64(token) << "local" << false;
    QTest::newRow("domain name with DoH: saved servers")
        << "host1.corp.example" << 1 << true << 1 << 1 << qint64(token) << "local" << false;
    QTest::newRow("domain name, capitals, plain DNS")
        << "HOST2.Corp.Example" << 1 << true << 1 << 0 << qint64(token) << "local" << false;
    QTest::newRow("domain name from IPv6")
        << "host1.corp.example" << 28 << false << 1 << 0 << qint64(token) << "local" << false;
}

void TestSnifferDnsUdp::routing()
{
    QFETCH(QString, name);
    QFETCH(int, type);
    QFETCH(bool, v4);
    QFETCH(int, control);
    QFETCH(int, protocol);
    QFETCH(qint64, tokenValue);
    QFETCH(QString, route);
    QFETCH(bool, marked);

    UserData::setControlDNS(UserData::StatusControlDns(control));
    UserData::setDnsProtocol(UserData::ETypeOfDnsProtocol(protocol));
    UserData::setToken(quint32(tokenValue));
    const int tokenWarnings = log->countContaining(QStringLiteral("TOKEN is empty"));
    const bool twoServers = route == QLatin1String("local") && v4;
    UserData::setStatusLog(twoServers);
    const quint64 drops = dropped();

    const quint16 id = nextId++;
    const QByteArray query = M::query(id, name, quint16(type), 1, M::optRecord());
    QUdpSocket& client = v4 ? clientV4 : clientV6;
    QHostAddress from;
    quint16 fromPort = 0;
    const QByteArray answer = ask(client, query, v4, &from, &fromPort);
    QVERIFY2(!answer.isEmpty(), "no answer");
    // The client's own ID comes back, from the listener of its family.
    QCOMPARE(M::id(answer), id);
    QCOMPARE(questionName(answer), name.toLower());
    QCOMPARE(from, v4 ? QHostAddress(QHostAddress::LocalHost) : QHostAddress(QHostAddress::LocalHostIPv6));
    QCOMPARE(int(fromPort), 53);

    FakeUdpResolver* resolver = v4 ? udpV4.get() : udpV6.get();
    QList<FakeUdpResolver*> locals =
        v4 ? QList<FakeUdpResolver*>{localA.get(), localB.get()} : QList<FakeUdpResolver*>{localV6.get()};
    QList<FakeUdpResolver*> others{udpV4.get(), udpV6.get(), localA.get(), localB.get(), localV6.get()};
    QList<QByteArray> seen;
    if (route == QLatin1String("resolver")) {
        QCOMPARE(M::lastAddress(answer), resolver->answerAddress);
        QTRY_COMPARE(resolver->queries.size(), 1);
        seen = resolver->queries;
        others.removeAll(resolver);
    } else if (route == QLatin1String("local")) {
        QStringList addresses;
        for (auto* fake : locals) {
            QTRY_COMPARE(fake->queries.size(), 1);
            seen += fake->queries;
            addresses += fake->answerAddress;
            others.removeAll(fake);
        }
        QVERIFY2(addresses.contains(M::lastAddress(answer)), qPrintable(M::lastAddress(answer)));
    } else {
        FakeTlsResolver* server = route == QLatin1String("dot") ? dot.get() : doh.get();
        QCOMPARE(server->queries.size(), 1);
        seen = server->queries;
        QCOMPARE(M::lastAddress(answer),
                 route == QLatin1String("dot") ? QStringLiteral("192.0.2.53") : QStringLiteral("192.0.2.43"));
        FakeTlsResolver* other = route == QLatin1String("dot") ? doh.get() : dot.get();
        QCOMPARE(other->queries.size(), 0);
    }
    for (auto* fake : others) {
        QVERIFY(fake->idle());
        QCOMPARE(fake->queries.size(), 0);
    }
    for (const QByteArray& upstream : seen) {
        QCOMPARE(isMarked(upstream), marked);
        // Apart from its ID and ARCOUNT, the query leaves as the client sent it
        // (plus the identity record).
        QCOMPARE(upstream.mid(2, 8), query.mid(2, 8));
        QCOMPARE(upstream.mid(12, query.size() - 12), query.mid(12));
        QCOMPARE(int(M::arCount(upstream)), marked ? 2 : 1);
    }
    const bool expectWarning = control == 1 && tokenValue < 0 && route != QLatin1String("local");
    QTRY_COMPARE(log->countContaining(QStringLiteral("TOKEN is empty")),
                 tokenWarnings + (expectWarning ? 1 : 0));

    if (twoServers) {
        // The second saved server's answer is dropped: one answer per query.
        QVERIFY(waitForDrops(drops, 1));
        QVERIFY(!client.hasPendingDatagrams());
    }
}

void TestSnifferDnsUdp::resolverNameGoesOverPlainUdp()
{
    UserData::setDnsProtocol(UserData::DOH);
    setStored(QStringLiteral("CONTROL/DNS_DOMAIN"), QStringLiteral("DoH.Corvane.Test"));
    restoreSettings();
    UserData::setDnsProtocol(UserData::DOH);
    QSignalSpy routed(sniffer, &SnifferDnsUdp::signalSendReq);

    for (const QString& name : {QStringLiteral("doh.corvane.test"), QStringLiteral("x.doh.corvane.test")}) {
        const QByteArray answer = ask(clientV4, M::query(nextId++, name, 1), true);
        QVERIFY(!answer.isEmpty());
        QCOMPARE(M::lastAddress(answer), udpV4->answerAddress);
    }
    QCOMPARE(udpV4->queries.size(), 2);
    // Marked like any query to the resolver.
    QVERIFY(isMarked(udpV4->queries.first()));

    // Any other name goes by DoH (whose server cannot be reached by that name here).
    clientV4.writeDatagram(M::query(nextId++, QStringLiteral("www.corvane.test"), 1),
                           QHostAddress(QHostAddress::LocalHost), 53);
    QTRY_COMPARE(routed.size(), 3);
    QCOMPARE(routed.at(0).at(0).value<UserData::ETypeOfDnsProtocol>(), UserData::DNS);
    QCOMPARE(routed.at(1).at(0).value<UserData::ETypeOfDnsProtocol>(), UserData::DNS);
    QCOMPARE(routed.at(2).at(0).value<UserData::ETypeOfDnsProtocol>(), UserData::DOH);
    QCOMPARE(routed.at(2).at(2).value<DnsRequest>().domain, QStringLiteral("www.corvane.test"));

    setStored(QStringLiteral("CONTROL/DNS_DOMAIN"), QStringLiteral("127.53.0.1"));
    restoreSettings();
    // Back on its resolver, the DoH transport sends the query that waited and the new one.
    UserData::setDnsProtocol(UserData::DOH);
    const QString first =
        questionName(ask(clientV4, M::query(nextId++, QStringLiteral("after.example"), 1), true));
    const QString second = questionName(receive(clientV4));
    QCOMPARE(QSet<QString>({first, second}),
             QSet<QString>({QStringLiteral("after.example"), QStringLiteral("www.corvane.test")}));
}

void TestSnifferDnsUdp::localQueryWithOnlyLoopbackGoesNowhere()
{
    UserData::setSavedIpV4Dns({QStringLiteral("127.0.0.1")});
    clientV4.writeDatagram(M::query(nextId++, QStringLiteral("_ldap._tcp.example.org"), 33),
                           QHostAddress(QHostAddress::LocalHost), 53);
    // A query behind it on the same road: once it is answered, the first was handled.
    const QByteArray answer = ask(clientV4, M::query(nextId++, QStringLiteral("next.example"), 1), true);
    QCOMPARE(questionName(answer), QStringLiteral("next.example"));
    QVERIFY(localA->idle());
    QVERIFY(localB->idle());
    QCOMPARE(localA->queries.size() + localB->queries.size(), 0);
    QCOMPARE(udpV4->queries.size(), 1);
    // Nowhere to go is no reason for the client to wait on: the agent's own failure answer.
    const QByteArray failure = receive(clientV4);
    QCOMPARE(questionName(failure), QStringLiteral("_ldap._tcp.example.org"));
    QCOMPARE(failure.at(3) & 0x0F, DnsMessage::rcodeServerFailure);
}

void TestSnifferDnsUdp::settingChangeSeenByNextQuery()
{
    UserData::setControlDNS(UserData::OFF);
    QVERIFY(!ask(clientV4, M::query(nextId++, QStringLiteral("a.example"), 1), true).isEmpty());
    UserData::setControlDNS(UserData::ON);
    QVERIFY(!ask(clientV4, M::query(nextId++, QStringLiteral("a.example"), 1), true).isEmpty());
    QTRY_COMPARE(udpV4->queries.size(), 2);
    QVERIFY(!isMarked(udpV4->queries.at(0)));
    QVERIFY(isMarked(udpV4->queries.at(1)));
}

void TestSnifferDnsUdp::clientsWithTheSameId_data()
{
    QTest::addColumn<int>("clients");
    QTest::newRow("two") << 2;
    // The queries arrive in a burst and the answers come back in one: both
    // are read and sent many per system call, each answer to its own client.
    QTest::newRow("twenty, in a burst") << 20;
}

void TestSnifferDnsUdp::clientsWithTheSameId()
{
    QFETCH(int, clients);
    UserData::setStatusLog(true);
    udpV4->holdUntil = clients; // all reach the resolver, answers come back newest first
    std::vector<std::unique_ptr<QUdpSocket>> others;
    QList<QUdpSocket*> sockets{&clientV4};
    for (int i = 1; i < clients; ++i) {
        others.push_back(std::make_unique<QUdpSocket>());
        QVERIFY(others.back()->bind(QHostAddress(QHostAddress::LocalHost), 0));
        sockets.append(others.back().get());
    }
    const auto name = [](int i) { return QStringLiteral("client%1.example").arg(i); };
    clientV4.writeDatagram(M::query(0x4242, name(0), 1), QHostAddress(QHostAddress::LocalHost), 53);
    QTRY_COMPARE(udpV4->queries.size(), 1);
    for (int i = 1; i < clients; ++i)
        sockets.at(i)->writeDatagram(M::query(0x4242, name(i), 1), QHostAddress(QHostAddress::LocalHost), 53);
    for (int i = 0; i < clients; ++i) {
        const QByteArray answer = receive(*sockets.at(i));
        QCOMPARE(questionName(answer), name(i));
        QCOMPARE(M::id(answer), quint16(0x4242));
    }
    // Upstream they travelled under different IDs.
    QCOMPARE(udpV4->queries.size(), clients);
    QSet<quint16> ids;
    for (const QByteArray& query : qAsConst(udpV4->queries))
        ids.insert(M::id(query));
    QCOMPARE(ids.size(), clients);
    for (QUdpSocket* socket : qAsConst(sockets))
        QVERIFY(!socket->hasPendingDatagrams());
    QCOMPARE(log->countContaining(QStringLiteral("Duplicate request attempt:")), 0);
}

void TestSnifferDnsUdp::resentQueryGetsOneAnswer()
{
    UserData::setStatusLog(true);
    const int duplicates = log->countContaining(QStringLiteral("Duplicate request attempt:"));
    const quint64 drops = dropped();
    udpV4->holdUntil = 2;
    const QByteArray query = M::query(0x5151, QStringLiteral("again.example"), 1);
    clientV4.writeDatagram(query, QHostAddress(QHostAddress::LocalHost), 53);
    QTRY_COMPARE(udpV4->queries.size(), 1);
    clientV4.writeDatagram(query, QHostAddress(QHostAddress::LocalHost), 53);
    const QByteArray answer = receive(clientV4);
    QCOMPARE(M::id(answer), quint16(0x5151));
    QCOMPARE(log->countContaining(QStringLiteral("Duplicate request attempt:")), duplicates + 1);
    // Both copies went upstream under one ID; the second answer is dropped.
    QCOMPARE(udpV4->queries.size(), 2);
    QCOMPARE(M::id(udpV4->queries.at(0)), M::id(udpV4->queries.at(1)));
    QVERIFY(waitForDrops(drops, 1));
    QVERIFY(!clientV4.hasPendingDatagrams());
}

// The central object starts the listener's thread again when it ends; the
// plain-UDP transport shares that thread and must answer after the restart.
void TestSnifferDnsUdp::plainUdpAnswersAfterThreadRestart()
{
    constexpr quint16 port = 5353;
    QThread thread;
    auto* second = new SnifferDnsUdp;
    second->setListenPort(port);
    second->moveToThread(&thread);
    connect(&thread, &QThread::started, second, &SnifferDnsUdp::slotStart);
    for (int round = 0; round < 2; ++round) {
        QSignalSpy listening(second, &SnifferDnsUdp::signalListening);
        thread.start();
        // The signal may come before a wait() could start: count, don't wait for the next.
        QTRY_VERIFY_WITH_TIMEOUT(listening.size() == 1, waitMs);
        QCOMPARE(listening.first().at(0).toBool(), true);
        const int before = udpV4->queries.size();
        clientV4.writeDatagram(M::query(nextId++, QStringLiteral("restart.example"), 1),
                               QHostAddress(QHostAddress::LocalHost), port);
        const QByteArray answer = receive(clientV4);
        QCOMPARE(M::lastAddress(answer), udpV4->answerAddress);
        QCOMPARE(udpV4->queries.size(), before + 1);
        QVERIFY(isMarked(udpV4->queries.last()));
        thread.quit();
        QVERIFY(thread.wait(waitMs));
    }
    const int finished = log->countContaining(QStringLiteral("THREAD DNS FINISHED"));
    // As the central object does once the thread has ended.
    delete second;
    QCOMPARE(log->countContaining(QStringLiteral("THREAD DNS FINISHED")), finished + 1);
}

void TestSnifferDnsUdp::badDatagramsDropped_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QString>("line");
    const QByteArray good = M::query(0x0707, QStringLiteral("bad.example"), 1);
    QTest::newRow("empty") << QByteArray() << "empty datagram dropped";
    QTest::newRow("shorter than a header") << good.left(7) << "malformed query dropped";
    QTest::newRow("no question") << good.left(12) << "malformed query dropped";
    QTest::newRow("type missing") << good.left(good.size() - 4) << "malformed query dropped";
    QByteArray longLabel = good.left(12);
    longLabel.append(char(63)).append("abc");
    QTest::newRow("label longer than the datagram") << longLabel << "malformed query dropped";
    QByteArray pointer = good.left(12);
    pointer.append("\xc0\x0c\x00\x01\x00\x01", 6);
    QTest::newRow("compression pointer") << pointer << "malformed query dropped";
    QByteArray big = good;
    big.append(QByteArray(4097 - good.size(), '\0'));
    QTest::newRow("over 4096 bytes") << big << "oversized datagram dropped";
}

void TestSnifferDnsUdp::badDatagramsDropped()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QString, line);
    const int before = log->countContaining(line);
    clientV4.writeDatagram(datagram, QHostAddress(QHostAddress::LocalHost), 53);
    QTRY_COMPARE(log->countContaining(line), before + 1);
    // Other queries keep flowing, and the bad one got no answer.
    const QByteArray answer = ask(clientV4, M::query(nextId++, QStringLiteral("good.example"), 1), true);
    QCOMPARE(questionName(answer), QStringLiteral("good.example"));
    QCOMPARE(udpV4->queries.size(), 1);
    QVERIFY(!clientV4.hasPendingDatagrams());
}

void TestSnifferDnsUdp::forgedAnswersDropped_data()
{
    QTest::addColumn<QString>("forgery");
    QTest::addColumn<bool>("delivered");
    QTest::newRow("from another address") << "address" << false;
    QTest::newRow("from another port of the resolver's address") << "port" << false;
    QTest::newRow("another question") << "question" << false;
    QTest::newRow("another type") << "type" << false;
    QTest::newRow("QR clear") << "qr" << false;
    QTest::newRow("another ID") << "id" << false;
    // Names compare without regard to case: this one is the answer.
    QTest::newRow("the question in capitals") << "case" << true;
}

void TestSnifferDnsUdp::forgedAnswersDropped()
{
    QFETCH(QString, forgery);
    QFETCH(bool, delivered);
    udpV4->silent = true;
    const quint16 id = nextId++;
    clientV4.writeDatagram(M::query(id, QStringLiteral("forged.example"), 1),
                           QHostAddress(QHostAddress::LocalHost), 53);
    QTRY_COMPARE(udpV4->queries.size(), 1);
    const QByteArray upstream = udpV4->queries.first();
    const quint16 agentPort = udpV4->ports.first();
    const QHostAddress agent(QHostAddress::LocalHost);
    const QByteArray genuine = M::answerA(upstream, udpV4->answerAddress);
    QByteArray forged = M::answerA(upstream, QStringLiteral("198.51.100.66"));
    const quint64 drops = dropped();

    QUdpSocket attacker;
    if (forgery == QLatin1String("address")) {
        QVERIFY(attacker.bind(QHostAddress(QStringLiteral("127.53.0.9")), 53));
        attacker.writeDatagram(forged, agent, agentPort);
    } else if (forgery == QLatin1String("port")) {
        QVERIFY(attacker.bind(resolverV4, 0));
        attacker.writeDatagram(forged, agent, agentPort);
    } else {
        if (forgery == QLatin1String("question")) {
            QByteArray other = M::query(M::id(upstream), QStringLiteral("forgex.example"), 1);
            forged = M::answerA(other, QStringLiteral("198.51.100.66"));
        } else if (forgery == QLatin1String("type")) {
            QByteArray other = M::query(M::id(upstream), QStringLiteral("forged.example"), 28);
            forged = M::answerA(other, QStringLiteral("198.51.100.66"));
        } else if (forgery == QLatin1String("qr")) {
            forged[2] = char(forged.at(2) & 0x7F);
        } else if (forgery == QLatin1String("id")) {
            const quint16 wrong = quint16(M::id(upstream) + 1);
            forged[0] = char(wrong >> 8);
            forged[1] = char(wrong & 0xFF);
        } else if (forgery == QLatin1String("case")) {
            forged = M::answerA(M::query(M::id(upstream), QStringLiteral("FORGED.Example"), 1),
                                udpV4->answerAddress);
        }
        udpV4->sendFrom(forged, agent, agentPort);
    }
    if (delivered) {
        const QByteArray answer = receive(clientV4);
        QCOMPARE(M::id(answer), id);
        QCOMPARE(M::lastAddress(answer), udpV4->answerAddress);
        QCOMPARE(dropped(), drops);
        return;
    }
    QVERIFY(waitForDrops(drops, 1));
    QVERIFY(!clientV4.hasPendingDatagrams());
    // The genuine answer after it still reaches the client, with its own ID.
    udpV4->sendFrom(genuine, agent, agentPort);
    const QByteArray answer = receive(clientV4);
    QCOMPARE(M::id(answer), id);
    QCOMPARE(M::lastAddress(answer), udpV4->answerAddress);
    QCOMPARE(questionName(answer), QStringLiteral("forged.example"));
}

void TestSnifferDnsUdp::upstreamIdsAndPortsRandom()
{
    // One client asking a thousand times with one ID, one query at a time.
    constexpr int queries = 1000;
    constexpr quint16 clientId = 0x7777;
    for (int i = 0; i < queries; ++i) {
        const QByteArray answer =
            ask(clientV4, M::query(clientId, QStringLiteral("q%1.random.example").arg(i), 1), true);
        QCOMPARE(M::id(answer), clientId);
        QCOMPARE(questionName(answer), QStringLiteral("q%1.random.example").arg(i));
    }
    QCOMPARE(udpV4->queries.size(), queries);
    QSet<quint16> ids;
    int clientsOwn = 0;
    int successive = 0;
    for (int i = 0; i < queries; ++i) {
        const quint16 upstreamId = M::id(udpV4->queries.at(i));
        ids.insert(upstreamId);
        clientsOwn += upstreamId == clientId ? 1 : 0;
        if (i > 0 && upstreamId == quint16(M::id(udpV4->queries.at(i - 1)) + 1))
            ++successive;
    }
    // Random IDs out of 65536: a few repeats at most, hardly ever the
    // client's, and no counting up.
    QVERIFY2(ids.size() >= 950, qPrintable(QString::number(ids.size())));
    QVERIFY2(clientsOwn <= 3, qPrintable(QString::number(clientsOwn)));
    QVERIFY2(successive <= 3, qPrintable(QString::number(successive)));
    // The queries left from more ports than the pool holds at once: its
    // sockets were replaced by ones on new ports.
    const QSet<quint16> ports(udpV4->ports.cbegin(), udpV4->ports.cend());
    QVERIFY2(ports.size() > poolSize, qPrintable(QString::number(ports.size())));
}

void TestSnifferDnsUdp::answersSplitAndCoalesced_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<int>("hold");
    QTest::addColumn<bool>("reverse");
    QTest::addColumn<int>("splitMs");
    QTest::addColumn<bool>("chunked");
    QTest::newRow("DoT, three answers in one write, reversed") << 2 << 3 << true << 0 << false;
    QTest::newRow("DoT, answer split over two reads") << 2 << 1 << false << 60 << false;
    QTest::newRow("DoT, coalesced and split") << 2 << 3 << true << 60 << false;
    QTest::newRow("DoH, three responses in one write") << 1 << 3 << false << 0 << false;
    QTest::newRow("DoH, response split over two reads") << 1 << 1 << false << 60 << false;
    QTest::newRow("DoH, chunked, coalesced and split") << 1 << 3 << false << 60 << true;
}

void TestSnifferDnsUdp::answersSplitAndCoalesced()
{
    QFETCH(int, protocol);
    QFETCH(int, hold);
    QFETCH(bool, reverse);
    QFETCH(int, splitMs);
    QFETCH(bool, chunked);
    UserData::setDnsProtocol(UserData::ETypeOfDnsProtocol(protocol));
    const int sslErrors = log->countContaining(QStringLiteral("Ssl errors:"));
    FakeTlsResolver* server = tls(protocol);
    server->holdUntil = hold;
    server->reverse = reverse;
    server->splitDelayMs = splitMs;
    server->chunked = chunked;

    QList<QUdpSocket*> clients;
    QList<quint16> ids;
    for (int i = 0; i < 3; ++i) {
        auto* client = new QUdpSocket(this);
        QVERIFY(client->bind(QHostAddress(QHostAddress::LocalHost), 0));
        clients.append(client);
        ids.append(nextId++);
        client->writeDatagram(M::query(ids.last(), QStringLiteral("n%1.example").arg(i), 1),
                              QHostAddress(QHostAddress::LocalHost), 53);
    }
    for (int i = 0; i < 3; ++i) {
        const QByteArray answer = receive(*clients.at(i));
        QVERIFY2(!answer.isEmpty(), qPrintable(QStringLiteral("client %1").arg(i)));
        QCOMPARE(M::id(answer), ids.at(i));
        QCOMPARE(questionName(answer), QStringLiteral("n%1.example").arg(i));
    }
    QCOMPARE(server->queries.size(), 3);
    for (const QByteArray& query : server->queries)
        QVERIFY(isMarked(query));
    if (protocol == UserData::DOH) {
        // Every request carries the resolver's host alone and the marked size.
        QCOMPARE(server->requestHeads.size(), 3);
        for (int i = 0; i < 3; ++i) {
            const QByteArray& head = server->requestHeads.at(i);
            QVERIFY(head.startsWith("POST / HTTP/1.1\r\nHost: 127.53.0.1\r\n"));
            QVERIFY(head.contains(QByteArray(
                "\r\nContent-Length: " + QByteArray::number(server->queries.at(i).size()) + "\r\n")));
        }
    }
    qDeleteAll(clients);
    // The resolver proved to be the one asked.
    QCOMPARE(log->countContaining(QStringLiteral("Ssl errors:")), sslErrors);
}

void TestSnifferDnsUdp::dohErrorStatusGivesNoAnswer()
{
    UserData::setDnsProtocol(UserData::DOH);
    doh->errorStatus = 503;
    doh->errorCount = 1;
    const int before = log->countContaining(QStringLiteral("HTTP status 503"));
    clientV4.writeDatagram(M::query(nextId++, QStringLiteral("err.example"), 1),
                           QHostAddress(QHostAddress::LocalHost), 53);
    QTRY_COMPARE(log->countContaining(QStringLiteral("HTTP status 503")), before + 1);
    const QByteArray answer = ask(clientV4, M::query(nextId++, QStringLiteral("ok.example"), 1), true);
    QCOMPARE(questionName(answer), QStringLiteral("ok.example"));
    // The refused query is not left unanswered: plain UDP to the resolver takes it.
    QCOMPARE(M::lastAddress(receive(clientV4)), udpV4->answerAddress);
}

void TestSnifferDnsUdp::burstOpensFewConnections_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<int>("maxConnections");
    QTest::newRow("DoH") << int(UserData::DOH) << DohRemoteServer::maxConnections;
    QTest::newRow("DoT") << int(UserData::DOT) << DotRemoteServer::maxConnections;
}

void TestSnifferDnsUdp::burstOpensFewConnections()
{
    QFETCH(int, protocol);
    QFETCH(int, maxConnections);
    UserData::setDnsProtocol(UserData::ETypeOfDnsProtocol(protocol));
    FakeTlsResolver* const resolver = tls(protocol);
    // One query first: the connection is set up before the burst.
    QCOMPARE(questionName(ask(clientV4, M::query(nextId++, QStringLiteral("first.example"), 1), true)),
             QStringLiteral("first.example"));
    const int before = resolver->connectionCount;
    constexpr int clients = 20;
    // Nothing is answered before all have arrived: the one connection is busy.
    resolver->holdUntil = clients;
    std::vector<std::unique_ptr<QUdpSocket>> sockets;
    for (int i = 0; i < clients; ++i) {
        sockets.push_back(std::make_unique<QUdpSocket>());
        QVERIFY(sockets.back()->bind(QHostAddress(QHostAddress::LocalHost), 0));
        sockets.back()->writeDatagram(M::query(nextId++, QStringLiteral("burst%1.example").arg(i), 1),
                                      QHostAddress(QHostAddress::LocalHost), 53);
    }
    // A busy connection brings a second one up beside it.
    QTRY_VERIFY_WITH_TIMEOUT(resolver->connectionCount > before, waitMs);
    for (int i = 0; i < clients; ++i)
        QCOMPARE(questionName(receive(*sockets.at(i))), QStringLiteral("burst%1.example").arg(i));
    resolver->holdUntil = 1;
    // Bursts while the spares are up: every answer comes back, whichever connection carried it.
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < clients; ++i)
            sockets.at(i)->writeDatagram(
                M::query(nextId++, QStringLiteral("again%1-%2.example").arg(round).arg(i), 1),
                QHostAddress(QHostAddress::LocalHost), 53);
        for (int i = 0; i < clients; ++i)
            QCOMPARE(questionName(receive(*sockets.at(i))),
                     QStringLiteral("again%1-%2.example").arg(round).arg(i));
    }
    // Never more than the transport's few connections.
    QVERIFY2(resolver->openConnections() <= maxConnections,
             qPrintable(QString::number(resolver->openConnections())));
    QVERIFY2(resolver->connectionCount - before < maxConnections,
             qPrintable(QString::number(resolver->connectionCount - before)));
    for (const auto& socket : sockets)
        QVERIFY(!socket->hasPendingDatagrams());
    // Traffic was recent: the connection is reopened within a second; the
    // next test counts connections, so wait for it here.
    const int closedAt = resolver->connectionCount;
    resolver->closeAll();
    QTRY_VERIFY_WITH_TIMEOUT(resolver->connectionCount > closedAt, waitMs);
    QCOMPARE(resolver->openConnections(), 1);
}

void TestSnifferDnsUdp::reconnectAfterServerCloses_data()
{
    QTest::addColumn<int>("protocol");
    QTest::newRow("DoT") << 2;
    QTest::newRow("DoH") << 1;
}

void TestSnifferDnsUdp::reconnectAfterServerCloses()
{
    QFETCH(int, protocol);
    UserData::setDnsProtocol(UserData::ETypeOfDnsProtocol(protocol));
    FakeTlsResolver* server = tls(protocol);
    server->closeAfterAnswer = true;
    for (int i = 0; i < 3; ++i) {
        const int connections = server->connectionCount;
        const int closed = server->closedConnections;
        const QByteArray answer =
            ask(clientV4, M::query(nextId++, QStringLiteral("r%1.example").arg(i), 1), true);
        QCOMPARE(questionName(answer), QStringLiteral("r%1.example").arg(i));
        // The server closed the connection behind its answer; the next one
        // is opened at once (traffic was recent) or by the next query, and
        // no query costs more than one new connection.
        QTRY_VERIFY(server->closedConnections > closed);
        QVERIFY(server->connectionCount <= connections + 1);
    }
}

void TestSnifferDnsUdp::unansweredQueryResentAfterClose_data()
{
    QTest::addColumn<int>("protocol");
    QTest::newRow("DoT") << 2;
    QTest::newRow("DoH") << 1;
}

void TestSnifferDnsUdp::unansweredQueryResentAfterClose()
{
    QFETCH(int, protocol);
    UserData::setDnsProtocol(UserData::ETypeOfDnsProtocol(protocol));
    FakeTlsResolver* server = tls(protocol);
    server->closeInsteadOfAnswer = 1;
    const QByteArray answer = ask(clientV4, M::query(nextId++, QStringLiteral("lost.example"), 1), true);
    QCOMPARE(questionName(answer), QStringLiteral("lost.example"));
    QCOMPARE(server->queries.size(), 2);
    QCOMPARE(server->queries.at(0), server->queries.at(1));
}

void TestSnifferDnsUdp::queryWaitsForHandshake_data()
{
    QTest::addColumn<int>("protocol");
    QTest::newRow("DoT") << 2;
    QTest::newRow("DoH") << 1;
}

void TestSnifferDnsUdp::queryWaitsForHandshake()
{
    QFETCH(int, protocol);
    UserData::setDnsProtocol(UserData::ETypeOfDnsProtocol(protocol));
    FakeTlsResolver* server = tls(protocol);
    server->closeAll();
    QTRY_COMPARE(server->openConnections(), 0);
    server->handshakeDelayMs = 300;
    // Two queries arrive while the connection is being set up; both go out after it.
    QUdpSocket other;
    QVERIFY(other.bind(QHostAddress(QHostAddress::LocalHost), 0));
    clientV4.writeDatagram(M::query(nextId++, QStringLiteral("h1.example"), 1),
                           QHostAddress(QHostAddress::LocalHost), 53);
    other.writeDatagram(M::query(nextId++, QStringLiteral("h2.example"), 1),
                        QHostAddress(QHostAddress::LocalHost), 53);
    QCOMPARE(questionName(receive(clientV4)), QStringLiteral("h1.example"));
    QCOMPARE(questionName(receive(other)), QStringLiteral("h2.example"));
    QCOMPARE(server->queries.size(), 2);
}

void TestSnifferDnsUdp::queryDroppedWhenHandshakeNeverCompletes_data()
{
    // How the handshake fails: the peer never takes it up, or it shows a
    // certificate that does not prove it is the resolver (an impostor on the
    // path, which must neither learn the name nor answer it).
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QString>("peer");
    for (const int protocol : {2, 1}) {
        const char* name = protocol == 2 ? "DoT" : "DoH";
        QTest::addRow("%s, never handshakes", name) << protocol << "silent";
        QTest::addRow("%s, certificate signed by no trusted anchor", name) << protocol << "untrusted";
        QTest::addRow("%s, certificate for another name", name) << protocol << "other name";
    }
}

void TestSnifferDnsUdp::queryDroppedWhenHandshakeNeverCompletes()
{
    QFETCH(int, protocol);
    QFETCH(QString, peer);
    UserData::setDnsProtocol(UserData::ETypeOfDnsProtocol(protocol));
    FakeTlsResolver* server = tls(protocol);
    server->closeAll();
    QTRY_COMPARE(server->openConnections(), 0);
    const bool impostor = peer != QLatin1String("silent");
    if (peer == QLatin1String("untrusted"))
        server->present(untrusted->certificate, untrusted->key);
    else if (peer == QLatin1String("other name"))
        server->present(otherName->certificate, otherName->key);
    else
        server->neverHandshake = true;
    const int sslErrors = log->countContaining(QStringLiteral("Ssl errors:"));
    setTransportTimeout(protocol, 300);
    const int dropped = log->countContaining(QStringLiteral("queries dropped"));
    clientV4.writeDatagram(M::query(nextId++, QStringLiteral("never.example"), 1),
                           QHostAddress(QHostAddress::LocalHost), 53);
    QTRY_COMPARE_WITH_TIMEOUT(log->countContaining(QStringLiteral("queries dropped")), dropped + 1, waitMs);
    // Dropped by the encrypted transport, answered over plain UDP to the resolver.
    const QByteArray fallback = receive(clientV4);
    QCOMPARE(questionName(fallback), QStringLiteral("never.example"));
    QCOMPARE(M::lastAddress(fallback), udpV4->answerAddress);
    QCOMPARE(server->queries.size(), 0);
    if (impostor)
        QVERIFY(log->countContaining(QStringLiteral("Ssl errors:")) > sslErrors);

    // The resolver is back: the next query makes a fresh connection.
    server->neverHandshake = false;
    server->present(certificate->certificate, certificate->key);
    setTransportTimeout(protocol, TlsRemoteServer::handshakeTimeoutMs);
    const QByteArray answer = ask(clientV4, M::query(nextId++, QStringLiteral("back.example"), 1), true);
    QCOMPARE(questionName(answer), QStringLiteral("back.example"));
    QVERIFY(!clientV4.hasPendingDatagrams());
}

void TestSnifferDnsUdp::garbageFromTlsPeer_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QByteArray>("garbage");
    QTest::addColumn<bool>("closeAfter");
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("answeredAfterResend");
    QTest::newRow("DoT, frame too short for DNS")
        << 2 << QByteArray("\x00\x03xyz", 5) << false << "answer too short" << false;
    QTest::newRow("DoH, not HTTP") << 1 << QByteArray("\x01\x02garbage\r\n\r\n") << false
                                   << "resolver stream broken" << true;
    QTest::newRow("DoH, no header fields, one-byte body ended by the close")
        << 1 << QByteArray("HTTP/1.1 200 OK\r\n\r\n\x01") << true << "answer too short" << false;
}

void TestSnifferDnsUdp::garbageFromTlsPeer()
{
    QFETCH(int, protocol);
    QFETCH(QByteArray, garbage);
    QFETCH(bool, closeAfter);
    QFETCH(QString, line);
    QFETCH(bool, answeredAfterResend);
    UserData::setDnsProtocol(UserData::ETypeOfDnsProtocol(protocol));
    FakeTlsResolver* server = tls(protocol);
    server->garbage = garbage;
    server->closeAfterAnswer = closeAfter;
    const int before = log->countContaining(line);
    const int closedBefore = server->closedConnections;
    clientV4.writeDatagram(M::query(nextId++, QStringLiteral("junk.example"), 1),
                           QHostAddress(QHostAddress::LocalHost), 53);
    QTRY_COMPARE(log->countContaining(line), before + 1);
    // Either the broken connection was dropped and the query sent once
    // more, or the query went on over plain UDP: it is answered.
    QCOMPARE(questionName(receive(clientV4)), QStringLiteral("junk.example"));
    if (answeredAfterResend)
        QCOMPARE(server->queries.size(), 2);
    // The connection the garbage came on is gone (a fresh one may already
    // be open: traffic was recent).
    if (closeAfter)
        QTRY_VERIFY(server->closedConnections > closedBefore);
    server->closeAfterAnswer = false;
    const QByteArray answer = ask(clientV4, M::query(nextId++, QStringLiteral("clean.example"), 1), true);
    QCOMPARE(questionName(answer), QStringLiteral("clean.example"));
    QVERIFY(!clientV4.hasPendingDatagrams());
}

QTEST_GUILESS_MAIN(TestSnifferDnsUdp)
#include "tst_snifferdnsudp.moc"
