// When the DNS-over-TLS / DNS-over-HTTPS transport reconnects: against a
// local TLS resolver (self-signed certificate, trusted by the process, port 0
// on 127.0.0.1) that drops every connection at once — before the handshake,
// right after it, or on the first query — or that cannot prove to be the
// resolver (a certificate no trusted anchor signed, or one issued to another
// name), the transport must pause between attempts instead of opening one
// connection per query, keep queries queued under their deadline, send
// nothing to an impostor, and answer them once the resolver works again. A
// working resolver that closes an idle connection is reconnected at once.
#include "common/RegistryStore.h"
#include "dns/DohRemoteServer.h"
#include "dns/DotRemoteServer.h"
#include "dns/TlsRemoteServer.h"
#include "settings/ConstData.h"
#include "settings/TrustAnchors.h"
#include "settings/UserData.h"
#include "tests/dns/DnsTestMessages.h"
#include "tests/dns/FakeTlsResolver.h"
#include "tests/dns/SelfSignedCertificate.h"
#include "tests/testlib/LogCapture.h"

#include <QElapsedTimer>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

using M = DnsTestMessages;

namespace {

constexpr int waitMs = 10000;

// The test resolver, with ways to drop each connection; Drop::None serves
// as FakeTlsResolver does.
class DroppingResolver : public FakeTlsResolver
{
public:
    enum class Drop
    {
        None,
        AtAccept,       // TCP accepted and closed, no handshake
        AfterHandshake, // handshake completed, then closed
        OnQuery,        // handshake completed, the first query read, then closed
        Untrusted,      // serves, with a certificate for its name that no trusted anchor signed
        OtherName       // serves, with a trusted certificate issued to another name
    };

    using FakeTlsResolver::FakeTlsResolver;

    void setDrop(Drop how)
    {
        drop = how;
        closeInsteadOfAnswer = how == Drop::OnQuery ? 1000000 : 0;
        if (how == Drop::Untrusted)
            present(untrusted.certificate, untrusted.key);
        else if (how == Drop::OtherName)
            present(otherName.certificate, otherName.key);
        else
            present(certificateForDrops, keyForDrops);
    }

    // Every connection the transport opened, whatever became of it.
    int attempts = 0;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        ++attempts;
        if (drop == Drop::AtAccept) {
            QTcpSocket raw;
            if (raw.setSocketDescriptor(descriptor))
                raw.abort();
            return;
        }
        if (drop == Drop::AfterHandshake) {
            auto* socket = new QSslSocket(this);
            if (!socket->setSocketDescriptor(descriptor)) {
                delete socket;
                return;
            }
            socket->setLocalCertificate(certificateForDrops);
            socket->setPrivateKey(keyForDrops);
            connect(socket, &QSslSocket::encrypted, socket, [socket] { socket->disconnectFromHost(); });
            connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
            socket->startServerEncryption();
            return;
        }
        FakeTlsResolver::incomingConnection(descriptor);
    }

public:
    QSslCertificate certificateForDrops;
    QSslKey keyForDrops;
    // Impostors' certificates: for the address connected to but not trusted,
    // and trusted but for another name.
    SelfSignedCertificate untrusted{QStringLiteral("127.0.0.1")};
    SelfSignedCertificate otherName{QStringLiteral("doh.other.test")};

private:
    Drop drop = Drop::None;
};

void setStored(const QString& key, const QVariant& value)
{
    {
        auto store = RegistryStore::open(ConstData::getAddressConf());
        store->setValue(key, value);
        store->sync();
    }
    UserData::resetMemoryState();
}

bool hasAnswer(const QSignalSpy& spy, quint16 id)
{
    for (const QList<QVariant>& arguments : spy) {
        if (M::id(arguments.at(0).toByteArray()) == id)
            return true;
    }
    return false;
}

} // namespace

class TestTlsReconnect : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void droppingResolverIsNotHammered_data();
    void droppingResolverIsNotHammered();
    void pauseGrowsToItsCap_data() { addProtocolRows(false); }
    void pauseGrowsToItsCap();
    void queryDroppedAtItsDeadlineDuringPause_data() { addProtocolRows(false); }
    void queryDroppedAtItsDeadlineDuringPause();
    void closedIdleConnectionReopenedAtOnce_data();
    void closedIdleConnectionReopenedAtOnce();
    void stalledOrStaleConnectionReplaced_data();
    void stalledOrStaleConnectionReplaced();

private:
    static void addProtocolRows(bool withDrops);
    std::unique_ptr<TlsRemoteServer> makeTransport(int protocol);
    // Hands one query to the transport, as the listener does.
    void ask(TlsRemoteServer& transport, quint16 id, const QString& name);

    QTemporaryDir state;
    std::unique_ptr<LogCapture> log;
    std::unique_ptr<SelfSignedCertificate> certificate;
    std::unique_ptr<DroppingResolver> resolver;
};

void TestTlsReconnect::initTestCase()
{
    QVERIFY(state.isValid());
    qputenv("CORVANE_STATE_DIR", state.path().toUtf8());
    log = std::make_unique<LogCapture>();
    // The transports reach the resolver by name; an address needs no lookup.
    // The resolver's certificate is issued to it and trusted.
    certificate = std::make_unique<SelfSignedCertificate>(QStringLiteral("127.0.0.1"));
    QVERIFY2(certificate->isValid(), qPrintable(certificate->error));
    setStored(QStringLiteral("CONTROL/DNS_DOMAIN"), QStringLiteral("127.0.0.1"));
    UserData::setStatusLog(false);
    UserData::setControlDNS(UserData::OFF);
}

void TestTlsReconnect::cleanupTestCase()
{
    log.reset();
}

void TestTlsReconnect::init()
{
    // A fresh resolver for every case: the mode is picked per row.
    QFETCH(int, protocol);
    resolver = std::make_unique<DroppingResolver>(
        protocol == UserData::DOT ? FakeTlsResolver::Mode::Dot : FakeTlsResolver::Mode::Doh,
        certificate->certificate, certificate->key, QStringLiteral("192.0.2.53"));
    resolver->certificateForDrops = certificate->certificate;
    resolver->keyForDrops = certificate->key;
    QVERIFY2(resolver->untrusted.isValid(), qPrintable(resolver->untrusted.error));
    QVERIFY2(resolver->otherName.isValid(), qPrintable(resolver->otherName.error));
    // The process trusts the resolver's certificate and the one for another
    // name; the untrusted one is the same name's, signed by no anchor.
    TrustAnchors::setExtraCertificates({certificate->certificate, resolver->otherName.certificate});
    QVERIFY(resolver->listen(QHostAddress(QHostAddress::LocalHost), 0));
    log->clear();
}

void TestTlsReconnect::cleanup()
{
    resolver.reset();
}

void TestTlsReconnect::addProtocolRows(bool withDrops)
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<int>("drop");
    for (const int protocol : {int(UserData::DOT), int(UserData::DOH)}) {
        const char* name = protocol == UserData::DOT ? "DoT" : "DoH";
        if (!withDrops) {
            QTest::newRow(name) << protocol << int(DroppingResolver::Drop::None);
            continue;
        }
        QTest::addRow("%s, closed at accept", name) << protocol << int(DroppingResolver::Drop::AtAccept);
        QTest::addRow("%s, closed after the handshake", name)
            << protocol << int(DroppingResolver::Drop::AfterHandshake);
        QTest::addRow("%s, closed on the first query", name)
            << protocol << int(DroppingResolver::Drop::OnQuery);
        QTest::addRow("%s, certificate signed by no trusted anchor", name)
            << protocol << int(DroppingResolver::Drop::Untrusted);
        QTest::addRow("%s, certificate for another name", name)
            << protocol << int(DroppingResolver::Drop::OtherName);
    }
}

std::unique_ptr<TlsRemoteServer> TestTlsReconnect::makeTransport(int protocol)
{
    std::unique_ptr<TlsRemoteServer> transport;
    if (protocol == UserData::DOT)
        transport = std::make_unique<DotRemoteServer>(nullptr, resolver->serverPort());
    else
        transport = std::make_unique<DohRemoteServer>(nullptr, resolver->serverPort());
    transport->slotStart();
    return transport;
}

void TestTlsReconnect::ask(TlsRemoteServer& transport, quint16 id, const QString& name)
{
    QByteArray message = M::query(id, name, 1);
    DnsRequest request = RemoteDnsServer::parsingDnsRequest(message);
    transport.write(message, request, true);
}

void TestTlsReconnect::droppingResolverIsNotHammered_data()
{
    addProtocolRows(true);
}

void TestTlsReconnect::droppingResolverIsNotHammered()
{
    QFETCH(int, protocol);
    QFETCH(int, drop);
    resolver->setDrop(DroppingResolver::Drop(drop));
    auto transport = makeTransport(protocol);
    QSignalSpy answers(transport.get(), &RemoteDnsServer::signalReadyRead);
    QSignalSpy failures(transport.get(), &RemoteDnsServer::signalConnectionFailed);

    // A steady stream of queries (50 a second) for one second. Without a
    // pause between attempts every query would open a connection of its
    // own, or more than one.
    quint16 id = 0x1000;
    QTimer feeder;
    feeder.setInterval(20);
    connect(&feeder, &QTimer::timeout, this, [&] { ask(*transport, id++, QStringLiteral("storm.example")); });
    QElapsedTimer window;
    window.start();
    feeder.start();
    QTRY_VERIFY_WITH_TIMEOUT(window.hasExpired(1000), waitMs);
    const int attempts = resolver->attempts;
    QVERIFY2(attempts <= 10, qPrintable(QStringLiteral("%1 connections in %2 ms, %3 queries")
                                            .arg(attempts)
                                            .arg(window.elapsed())
                                            .arg(id - 0x1000)));
    // It keeps trying all the same.
    QTRY_VERIFY_WITH_TIMEOUT(resolver->attempts > attempts, waitMs);
    QVERIFY(transport->nextBackoff() > TlsRemoteServer::initialBackoffMs);
    QCOMPARE(answers.count(), 0);
    feeder.stop();
    const bool impostor =
        drop == int(DroppingResolver::Drop::Untrusted) || drop == int(DroppingResolver::Drop::OtherName);
    // An impostor learns no name: nothing is written before the resolver's
    // certificate is checked. A resolver that proves to be ours raises no
    // certificate error.
    if (drop != int(DroppingResolver::Drop::OnQuery))
        QVERIFY(resolver->queries.isEmpty());
    QCOMPARE(log->contains(QStringLiteral("Ssl errors:")), impostor);
    // A connection that never got set up says at once that the path is
    // down; one that the resolver ended after the handshake does not (an
    // idle timeout looks the same).
    const bool setUp =
        drop == int(DroppingResolver::Drop::AfterHandshake) || drop == int(DroppingResolver::Drop::OnQuery);
    QCOMPARE(failures.isEmpty(), setUp);

    // The resolver works again: a query that waits in the queue is sent on
    // the next connection and answered, and the pause is back to its start.
    resolver->setDrop(DroppingResolver::Drop::None);
    ask(*transport, 0x7777, QStringLiteral("later.example"));
    QTRY_VERIFY_WITH_TIMEOUT(hasAnswer(answers, 0x7777), waitMs);
    QCOMPARE(transport->nextBackoff(), TlsRemoteServer::initialBackoffMs);
    QVERIFY(resolver->queries.contains(M::query(0x7777, QStringLiteral("later.example"), 1)));
}

void TestTlsReconnect::pauseGrowsToItsCap()
{
    QFETCH(int, protocol);
    resolver->setDrop(DroppingResolver::Drop::AtAccept);
    auto transport = makeTransport(protocol);
    // Queries keep the transport trying (each waits in the queue for
    // TlsRemoteServer::queueLifetimeMs at most).
    quint16 id = 0x2000;
    QTimer feeder;
    feeder.setInterval(500);
    connect(&feeder, &QTimer::timeout, this, [&] { ask(*transport, id++, QStringLiteral("cap.example")); });
    ask(*transport, id++, QStringLiteral("cap.example"));
    feeder.start();
    const QString cap = QStringLiteral("next attempt in %1 ms").arg(TlsRemoteServer::maxBackoffMs);
    QTRY_VERIFY_WITH_TIMEOUT(log->contains(cap), 3 * waitMs);
    feeder.stop();
    // Each pause was twice the one before, from the shortest.
    for (int pause = TlsRemoteServer::initialBackoffMs; pause < TlsRemoteServer::maxBackoffMs; pause *= 2)
        QVERIFY2(log->contains(QStringLiteral("next attempt in %1 ms").arg(pause)),
                 qPrintable(QString::number(pause)));
    QCOMPARE(transport->nextBackoff(), TlsRemoteServer::maxBackoffMs);
    // 50 + 100 + ... + 1600 ms of pauses: about eight attempts, not thousands.
    QVERIFY2(resolver->attempts <= 10, qPrintable(QString::number(resolver->attempts)));
    QVERIFY(transport->queuedCount() >= 1);
    // None outlives its time in the queue.
    QTRY_COMPARE_WITH_TIMEOUT(transport->queuedCount(), 0, TlsRemoteServer::queueLifetimeMs + waitMs);
}

void TestTlsReconnect::queryDroppedAtItsDeadlineDuringPause()
{
    QFETCH(int, protocol);
    resolver->setDrop(DroppingResolver::Drop::AtAccept);
    auto transport = makeTransport(protocol);
    transport->setHandshakeTimeout(300);
    QSignalSpy answers(transport.get(), &RemoteDnsServer::signalReadyRead);
    const int dropped = log->countContaining(QStringLiteral("queries dropped"));
    ask(*transport, 0x3000, QStringLiteral("deadline.example"));
    QCOMPARE(transport->queuedCount(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(transport->queuedCount(), 0, waitMs);
    QCOMPARE(log->countContaining(QStringLiteral("queries dropped")), dropped + 1);
    QCOMPARE(answers.count(), 0);
    QVERIFY(resolver->queries.isEmpty());
}

void TestTlsReconnect::closedIdleConnectionReopenedAtOnce_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<bool>("answeredBefore");
    QTest::addColumn<bool>("recent");
    for (const int protocol : {int(UserData::DOT), int(UserData::DOH)}) {
        const char* name = protocol == UserData::DOT ? "DoT" : "DoH";
        QTest::addRow("%s, closed idle just after an answer: reopened ahead of the next query", name)
            << protocol << true << true;
        QTest::addRow("%s, closed idle long after an answer", name) << protocol << true << false;
        QTest::addRow("%s, closed idle before any query", name) << protocol << false << true;
    }
}

void TestTlsReconnect::closedIdleConnectionReopenedAtOnce()
{
    QFETCH(int, protocol);
    QFETCH(bool, answeredBefore);
    QFETCH(bool, recent);
    auto transport = makeTransport(protocol);
    // "Long after": the window is shorter than the test's own steps.
    if (!recent)
        transport->setWarmWindow(0);
    QSignalSpy answers(transport.get(), &RemoteDnsServer::signalReadyRead);
    if (answeredBefore) {
        ask(*transport, 0x4000, QStringLiteral("first.example"));
        QTRY_VERIFY_WITH_TIMEOUT(hasAnswer(answers, 0x4000), waitMs);
    }
    // Set up and idle (a close during the handshake would be a failure).
    QTRY_COMPARE_WITH_TIMEOUT(log->countContaining(QStringLiteral("Encrypted!")), 1, waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(resolver->openConnections(), 1, waitMs);
    const int connections = resolver->connectionCount;

    // The resolver's idle timeout.
    QCOMPARE(resolver->closeAll(), 1);
    const bool reopened = answeredBefore && recent;
    if (reopened) {
        // In the background, within a second of the last set-up, with no query.
        QTRY_COMPARE_WITH_TIMEOUT(resolver->openConnections(), 1,
                                  int(TlsRemoteServer::minWarmLifetimeMs) + waitMs);
        QCOMPARE(resolver->connectionCount, connections + 1);
        QVERIFY(log->contains(QStringLiteral("opened again")));
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(transport->state(), QAbstractSocket::UnconnectedState, waitMs);
        // Nothing recent: no connection is held open for nothing.
        QTest::qWait(int(TlsRemoteServer::minWarmLifetimeMs) + 200);
        QCOMPARE(resolver->connectionCount, connections);
        QCOMPARE(transport->state(), QAbstractSocket::UnconnectedState);
        QVERIFY(!log->contains(QStringLiteral("opened again")));
    }

    // The next query goes at once: on the reopened connection, or on one
    // opened there and then, with no pause.
    ask(*transport, 0x4001, QStringLiteral("next.example"));
    QVERIFY(transport->state() != QAbstractSocket::UnconnectedState);
    QTRY_VERIFY_WITH_TIMEOUT(hasAnswer(answers, 0x4001), waitMs);
    QCOMPARE(resolver->connectionCount, connections + 1);
    QCOMPARE(transport->nextBackoff(), TlsRemoteServer::initialBackoffMs);
    QVERIFY(!log->contains(QStringLiteral("next attempt in")));
}

void TestTlsReconnect::stalledOrStaleConnectionReplaced_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<bool>("networkChange");
    QTest::newRow("DoT, nothing read for a second") << int(UserData::DOT) << false;
    QTest::newRow("DoT, network changed") << int(UserData::DOT) << true;
    QTest::newRow("DoH, nothing read for a second") << int(UserData::DOH) << false;
    QTest::newRow("DoH, network changed") << int(UserData::DOH) << true;
}

void TestTlsReconnect::stalledOrStaleConnectionReplaced()
{
    QFETCH(int, protocol);
    QFETCH(bool, networkChange);
    auto transport = makeTransport(protocol);
    QSignalSpy answers(transport.get(), &RemoteDnsServer::signalReadyRead);
    ask(*transport, 0x5000, QStringLiteral("first.example"));
    QTRY_VERIFY_WITH_TIMEOUT(hasAnswer(answers, 0x5000), waitMs);
    const int connections = resolver->connectionCount;
    QCOMPARE(resolver->openConnections(), 1);

    // The connection leads nowhere: the resolver holds the query, and
    // answers it once it comes again, on the next connection.
    connect(resolver.get(), &FakeTlsResolver::signalQuery, this,
            [this] { resolver->holdUntil = resolver->queries.size() == 2 ? 1000 : 1; });
    QElapsedTimer sent;
    sent.start();
    ask(*transport, 0x5001, QStringLiteral("held.example"));
    QTRY_COMPARE_WITH_TIMEOUT(resolver->queries.size(), 2, waitMs);
    if (networkChange)
        transport->slotNetworkChanged();
    QTRY_VERIFY_WITH_TIMEOUT(hasAnswer(answers, 0x5001), waitMs);
    QCOMPARE(resolver->connectionCount, connections + 1);
    QCOMPARE(resolver->queries.size(), 3);
    QCOMPARE(resolver->queries.at(2), resolver->queries.at(1));
    QCOMPARE(log->contains(QStringLiteral("connection stalled")), !networkChange);
    QCOMPARE(log->contains(QStringLiteral("network changed, reconnecting")), networkChange);
    // A network change replaces the connection at once; a stall only once
    // the query has waited its second.
    if (!networkChange)
        QVERIFY2(sent.elapsed() >= TlsRemoteServer::stallTimeoutMs,
                 qPrintable(QString::number(sent.elapsed())));
    // Not a failure of the resolver: no pause before the new connection.
    QVERIFY(!log->contains(QStringLiteral("next attempt in")));

    // An idle connection is replaced too, at once, on a network change;
    // one that is idle and has nothing waiting is never stalled.
    if (networkChange) {
        QTRY_COMPARE_WITH_TIMEOUT(resolver->openConnections(), 1, waitMs);
        transport->slotNetworkChanged();
        QTRY_COMPARE_WITH_TIMEOUT(resolver->connectionCount, connections + 2, waitMs);
    } else {
        QTest::qWait(2 * TlsRemoteServer::stallTimeoutMs);
        QCOMPARE(log->countContaining(QStringLiteral("connection stalled")), 1);
        QCOMPARE(resolver->connectionCount, connections + 1);
    }
}

QTEST_GUILESS_MAIN(TestTlsReconnect)
#include "tst_tlsreconnect.moc"
