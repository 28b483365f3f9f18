// Which transport and which server a query goes to, and when it is marked.
#include "dns/DnsLogging.h"
#include "dns/RemoteDnsServer.h"
#include "dns/ResolverHealth.h"
#include "dns/SnifferDnsUdp.h"
#include "dns/UdpRemoteSocket.h"
#include "dnswire/DnsMessage.h"
#include "platform/DatagramSocket.h"
#include "settings/UserData.h"
#include "tests/dns/DnsTestMessages.h"

#include <QTemporaryDir>
#include <QtTest>

using M = DnsTestMessages;

namespace {

DnsRequest request(const QString& name, quint16 type)
{
    return RemoteDnsServer::parsingDnsRequest(M::query(1, name, type));
}

// A transport that only counts what it is asked to send.
class RecordingServer : public RemoteDnsServer
{
public:
    explicit RecordingServer(UserData::ETypeOfDnsProtocol type) : RemoteDnsServer(type) {}
    QAbstractSocket::SocketState state() const override { return QAbstractSocket::UnconnectedState; }
    void write(QByteArray message, DnsRequest& request, bool isIpV4) override
    {
        messages.append(message);
        domains.append(request.domain);
        families.append(isIpV4);
    }
    void disconnectFromHost() const override {}
    void slotStart() override {}

    QList<QByteArray> messages;
    QStringList domains;
    QList<bool> families;
};

} // namespace

class TestDnsRouting : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void chooseProtocol_data();
    void chooseProtocol();
    void localQuery_data();
    void localQuery();
    void localServersSkipLoopback();
    void resolverHost_data();
    void resolverHost();
    void markForResolver_data();
    void markForResolver();
    void answerSource_data();
    void answerSource();
    void ladder_data();
    void ladder();
    void slotSendReqActsOnlyForItsProtocol();

private:
    QTemporaryDir state;
};

void TestDnsRouting::initTestCase()
{
    QVERIFY(state.isValid());
    qputenv("CORVANE_STATE_DIR", state.path().toUtf8());
}

void TestDnsRouting::init()
{
    UserData::resetMemoryState();
    UserData::setStatusLog(false);
}

void TestDnsRouting::chooseProtocol_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("control");
    QTest::addColumn<int>("configured");
    QTest::addColumn<QString>("localDomain");
    QTest::addColumn<int>("expected");
    QTest::newRow("protection unset, DoH") << "a.example" << 1 << 0 << 1 << QString() << 0;
    QTest::newRow("protection off, DoT") << "a.example" << 1 << 2 << 2 << QString() << 0;
    QTest::newRow("protection on, DoH") << "a.example" << 1 << 1 << 1 << QString() << 1;
    QTest::newRow("protection on, DoT") << "a.example" << 28 << 1 << 2 << QString() << 2;
    QTest::newRow("protection on, plain") << "a.example" << 1 << 1 << 0 << QString() << 0;
    QTest::newRow("unknown protocol number") << "a.example" << 1 << 1 << 7 << QString() << 0;
    QTest::newRow("SRV with DoH") << "_ldap._tcp.a.example" << 33 << 1 << 1 << QString() << 0;
    QTest::newRow("SRV with DoT") << "_sip._udp.a.example" << 33 << 1 << 2 << QString() << 0;
    QTest::newRow("resolver's own name, DoH") << "doh.corvane.test" << 1 << 1 << 1 << QString() << 0;
    QTest::newRow("resolver's own name upper case, DoT")
        << "DOH.Corvane.TEST" << 28 << 1 << 2 << QString() << 0;
    QTest::newRow("name containing the resolver's name")
        << "x.doh.corvane.test.example" << 1 << 1 << 2 << QString() << 0;
    QTest::newRow("sibling of the resolver's name") << "www.corvane.test" << 1 << 1 << 1 << QString() << 1;
    QTest::newRow("joined, name inside the domain, DoH")
        << "host1.corp.example" << 1 << 1 << 1 << "corp.example" << 0;
    QTest::newRow("joined, name inside the domain, DoT")
        << "Host1.CORP.example" << 28 << 1 << 2 << "corp.example" << 0;
    QTest::newRow("joined, name outside the domain")
        << "www.example.org" << 1 << 1 << 2 << "corp.example" << 2;
    QTest::newRow("not joined, same name") << "host1.corp.example" << 1 << 1 << 2 << QString() << 2;
}

void TestDnsRouting::chooseProtocol()
{
    QFETCH(QString, name);
    QFETCH(int, type);
    QFETCH(int, control);
    QFETCH(int, configured);
    QFETCH(QString, localDomain);
    QFETCH(int, expected);
    const auto protocol = SnifferDnsUdp::chooseProtocol(request(name, quint16(type)), control,
                                                        UserData::ETypeOfDnsProtocol(configured),
                                                        QStringLiteral("doh.corvane.test"), localDomain);
    QCOMPARE(int(protocol), expected);
}

void TestDnsRouting::localQuery_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("domain");
    QTest::addColumn<bool>("local");
    QTest::newRow("joined, inside the domain") << "host1.corp.example" << 1 << 2 << "corp.example" << true;
    QTest::newRow("joined, domain written in capitals")
        << "HOST1.CORP.EXAMPLE" << 1 << 2 << "corp.example" << true;
    QTest::newRow("joined, outside") << "www.example.org" << 1 << 2 << "corp.example" << false;
    QTest::newRow("joined, text end only (no label boundary)")
        << "mycorp.example" << 1 << 2 << "corp.example" << true;
    QTest::newRow("not joined, same name") << "host1.corp.example" << 1 << 1 << "corp.example" << false;
    QTest::newRow("SRV, not joined") << "_ldap._tcp.example.org" << 33 << 1 << "" << true;
    QTest::newRow("SRV, joined") << "_ldap._tcp.example.org" << 33 << 2 << "corp.example" << true;
    QTest::newRow("mode 2 with no domain name") << "a.example" << 1 << 2 << "" << false;
}

void TestDnsRouting::localQuery()
{
    QFETCH(QString, name);
    QFETCH(int, type);
    QFETCH(int, mode);
    QFETCH(QString, domain);
    QFETCH(bool, local);
    QCOMPARE(UdpRemoteSocket::isLocalQuery(request(name, quint16(type)), mode, domain), local);
}

void TestDnsRouting::localServersSkipLoopback()
{
    QCOMPARE(UdpRemoteSocket::localServers({"127.0.0.1"}, "127.0.0.1"), QStringList());
    QCOMPARE(UdpRemoteSocket::localServers({"10.0.0.1", "127.0.0.1", "10.0.0.2"}, "127.0.0.1"),
             (QStringList{"10.0.0.1", "10.0.0.2"}));
    QCOMPARE(UdpRemoteSocket::localServers({"::1", "fd00::5"}, "::1"), QStringList{"fd00::5"});
    QCOMPARE(UdpRemoteSocket::localServers({}, "::1"), QStringList());
}

void TestDnsRouting::resolverHost_data()
{
    QTest::addColumn<QString>("configured");
    QTest::addColumn<QString>("host");
    QTest::newRow("plain name") << "doh.corvane.test"
                                << "doh.corvane.test";
    QTest::newRow("capitals") << "DoH.Corvane.Test"
                              << "doh.corvane.test";
    QTest::newRow("with path") << "doh.corvane.test/dns-query"
                               << "doh.corvane.test";
    QTest::newRow("with port") << "doh.corvane.test:8443"
                               << "doh.corvane.test";
    QTest::newRow("address") << "127.53.0.1"
                             << "127.53.0.1";
}

void TestDnsRouting::resolverHost()
{
    QFETCH(QString, configured);
    QFETCH(QString, host);
    QCOMPARE(RemoteDnsServer::resolverHost(configured), host);
}

void TestDnsRouting::markForResolver_data()
{
    QTest::addColumn<int>("control");
    QTest::addColumn<qint64>("token");
    QTest::addColumn<bool>("marked");
    QTest::addColumn<bool>("warning");
    QTest::newRow("on, token") << 1 << qint64(305419896) << true << false;
    QTest::newRow("on, token 0") << 1 << qint64(0) << true << false;
    QTest::newRow("on, token 2^31") << 1 << qint64(2147483648LL) << true << false;
    QTest::newRow("on, largest token") << 1 << qint64(4294967294LL) << true << false;
    QTest::newRow("on, no token") << 1 << qint64(-1) << false << true;
    QTest::newRow("off, token") << 2 << qint64(305419896) << false << false;
    QTest::newRow("unset, token") << 0 << qint64(305419896) << false << false;
    QTest::newRow("off, no token") << 2 << qint64(-1) << false << false;
}

void TestDnsRouting::markForResolver()
{
    QFETCH(int, control);
    QFETCH(qint64, token);
    QFETCH(bool, marked);
    QFETCH(bool, warning);
    UserData::setControlDNS(UserData::StatusControlDns(control));
    UserData::setToken(quint32(token));
    const QByteArray query = M::query(0x0a0a, QStringLiteral("a.example"), 1);
    QByteArray message = query;
    if (warning)
        QTest::ignoreMessage(QtWarningMsg, "TOKEN is empty");
    QCOMPARE(RemoteDnsServer::markForResolver(message, udp_remotesocket()), marked);
    if (!marked) {
        QCOMPARE(message, query);
        return;
    }
    QCOMPARE(message.size(), query.size() + 15);
    const quint32 value = quint32(token);
    const QByteArray tokenBytes = QByteArray::fromHex(QByteArray::number(value, 16).rightJustified(8, '0'));
    QCOMPARE(message.right(4), tokenBytes);
}

void TestDnsRouting::answerSource_data()
{
    // Where a query went, and where an answer came from: the answer is
    // taken only from the same address and port.
    QTest::addColumn<QString>("sentTo");
    QTest::addColumn<int>("sentPort");
    QTest::addColumn<QString>("from");
    QTest::addColumn<int>("fromPort");
    QTest::addColumn<bool>("same");
    QTest::newRow("the resolver") << "192.0.2.53" << 53 << "192.0.2.53" << 53 << true;
    QTest::newRow("another port") << "192.0.2.53" << 53 << "192.0.2.53" << 5353 << false;
    QTest::newRow("another address") << "192.0.2.53" << 53 << "192.0.2.54" << 53 << false;
    QTest::newRow("same port, address one bit off") << "192.0.2.53" << 53 << "192.0.2.52" << 53 << false;
    QTest::newRow("IPv6 resolver") << "2001:db8::53" << 53 << "2001:db8::53" << 53 << true;
    QTest::newRow("IPv6, another address") << "2001:db8::53" << 53 << "2001:db8::35" << 53 << false;
    QTest::newRow("IPv4 resolver, answer from IPv6") << "192.0.2.53" << 53 << "2001:db8::53" << 53 << false;
}

void TestDnsRouting::answerSource()
{
    QFETCH(QString, sentTo);
    QFETCH(int, sentPort);
    QFETCH(QString, from);
    QFETCH(int, fromPort);
    QFETCH(bool, same);
    // Peers in the form of the transport's sockets (every address, a port
    // the system picks).
    DatagramSocket socket;
    QVERIFY2(socket.bind(QHostAddress(QHostAddress::Any), 0), qPrintable(socket.errorString()));
    QVERIFY(socket.localPort() != 0);
    const DatagramPeer query = socket.peer(QHostAddress(sentTo), quint16(sentPort));
    const DatagramPeer answer = socket.peer(QHostAddress(from), quint16(fromPort));
    if (answer.isNull()) {
        // An IPv4-only socket cannot even name an IPv6 source.
        QVERIFY(!same);
        return;
    }
    QVERIFY(!query.isNull());
    QCOMPARE(answer.sameEndpoint(query), same);
    QCOMPARE(query.sameEndpoint(answer), same);
    QVERIFY(!DatagramPeer().sameEndpoint(query));
}

// Events on the paths, then where a query goes and what the machine is told.
// Events: "m<path>" a query unanswered for a second, "l<path>" the same for a
// query sent before the path's last answer, "f<path>" a hard failure,
// "a<path>" a good answer; events are a second apart; paths: u4, u6 plain UDP
// per family, t DoT, h DoH.
void TestDnsRouting::ladder_data()
{
    QTest::addColumn<QString>("events");
    QTest::addColumn<int>("protocol");
    QTest::addColumn<bool>("failClosed");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("rung");
    QTest::addColumn<int>("state");
    using R = SnifferDnsUdp::Rung;
    using S = ResolverStatus::State;
    const int dot = UserData::DOT;
    const int doh = UserData::DOH;
    QTest::newRow("all up") << "" << dot << false << "a.example" << int(R::Chosen) << int(S::Filtered);
    QTest::newRow("one miss is not down")
        << "mt" << dot << false << "a.example" << int(R::Chosen) << int(S::Filtered);
    QTest::newRow("an answer between misses")
        << "mt at mt" << dot << false << "a.example" << int(R::Chosen) << int(S::Filtered);
    QTest::newRow("misses of queries older than an answer: a loaded resolver")
        << "at lt lt" << dot << false << "a.example" << int(R::Chosen) << int(S::Filtered);
    QTest::newRow("DoT down: plain UDP")
        << "mt mt" << dot << false << "a.example" << int(R::PlainResolver) << int(S::PlainDns);
    QTest::newRow("DoH failed handshake: plain UDP at once")
        << "fh" << doh << false << "a.example" << int(R::PlainResolver) << int(S::PlainDns);
    QTest::newRow("DoT down, DoH chosen: DoH")
        << "mt mt" << doh << false << "a.example" << int(R::Chosen) << int(S::Filtered);
    QTest::newRow("DoT and UDP down: open")
        << "ft fu4 fu6" << dot << false << "a.example" << int(R::Network) << int(S::FailOpen);
    QTest::newRow("DoT and UDP down: closed")
        << "ft fu4 fu6" << dot << true << "a.example" << int(R::Fail) << int(S::FailClosed);
    QTest::newRow("closed: a captive portal check still resolves")
        << "fu4 fu6" << 0 << true << "www.msftconnecttest.com." << int(R::Network) << int(S::FailClosed);
    QTest::newRow("closed: ipv4only.arpa")
        << "fu4 fu6" << 0 << true << "IPV4ONLY.ARPA" << int(R::Network) << int(S::FailClosed);
    QTest::newRow("closed: a name ending like a check is no check")
        << "fu4 fu6" << 0 << true << "evil-www.msftncsi.com" << int(R::Fail) << int(S::FailClosed);
    QTest::newRow("UDP back with its first answer")
        << "mu4 mu4 au4" << 0 << false << "a.example" << int(R::Chosen) << int(S::Filtered);
    QTest::newRow("UDP over IPv6 down, asked over IPv4")
        << "fu6" << 0 << false << "a.example" << int(R::Chosen) << int(S::Filtered);
    QTest::newRow("UDP over IPv4 down, IPv6 never tried: the network")
        << "fu4" << 0 << false << "a.example" << int(R::Network) << int(S::FailOpen);
    QTest::newRow("UDP over IPv4 down, IPv6 answering: the resolver over IPv6")
        << "au6 fu4" << 0 << false << "a.example" << int(R::PlainResolver) << int(S::Filtered);
    QTest::newRow("UDP down over both families")
        << "fu4 fu6" << 0 << false << "a.example" << int(R::Network) << int(S::FailOpen);
}

void TestDnsRouting::ladder()
{
    QFETCH(QString, events);
    QFETCH(int, protocol);
    QFETCH(bool, failClosed);
    QFETCH(QString, name);
    QFETCH(int, rung);
    QFETCH(int, state);
    ResolverHealth health;
    qint64 now = 1000;
    for (const QString& event : events.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QString where = event.mid(1);
        const int path = where == QLatin1String("t")   ? ResolverHealth::path(UserData::DOT, true)
                         : where == QLatin1String("h") ? ResolverHealth::path(UserData::DOH, true)
                                                       : ResolverHealth::path(UserData::DNS, where == "u4");
        if (event.at(0) == QLatin1Char('m'))
            health.missed(path, now, now - 1000);
        else if (event.at(0) == QLatin1Char('l'))
            health.missed(path, now, now - 1500);
        else if (event.at(0) == QLatin1Char('f'))
            health.failed(path, now);
        else
            health.answered(path, now);
        now += 1000;
    }
    const auto chosen = static_cast<UserData::ETypeOfDnsProtocol>(protocol);
    QCOMPARE(int(SnifferDnsUdp::ladder(chosen, true, health, failClosed,
                                       SnifferDnsUdp::isConnectivityCheck(name))),
             rung);
    QCOMPARE(int(SnifferDnsUdp::statusFor(chosen, health, failClosed).state), state);
}

void TestDnsRouting::slotSendReqActsOnlyForItsProtocol()
{
    RecordingServer doh(UserData::DOH);
    const QByteArray query = M::query(0x0001, QStringLiteral("a.example"), 1);
    const DnsRequest request = RemoteDnsServer::parsingDnsRequest(query);
    doh.slotSendReq(UserData::DNS, query, request, true);
    doh.slotSendReq(UserData::DOT, query, request, true);
    QVERIFY(doh.messages.isEmpty());
    doh.slotSendReq(UserData::DOH, query, request, false);
    QCOMPARE(doh.messages.size(), 1);
    QCOMPARE(doh.messages.first(), query);
    QCOMPARE(doh.domains.first(), QStringLiteral("a.example"));
    QCOMPARE(doh.families.first(), false);
}

QTEST_GUILESS_MAIN(TestDnsRouting)
#include "tst_dnsrouting.moc"
