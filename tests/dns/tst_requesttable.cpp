// The table of pending queries: per-client keys, unique upstream IDs,
// duplicates, expiry, the hard bound, and which answers it takes.
#include "dnswire/RequestTable.h"
#include "tests/dns/DnsTestMessages.h"

#include <QSet>
#include <QtTest>

class TestRequestTable : public QObject
{
    Q_OBJECT
private slots:
    void sameIdFromTwoClients_data();
    void sameIdFromTwoClients();
    void duplicateKeepsItsUpstreamId();
    void answerTakenOnce();
    void unknownIdIsNotFound();
    void expiry();
    void duplicateRefreshesExpiry();
    void hardBoundDropsOldest();
    void upstreamIdsUniqueUnderLoad();
    void answerChecks_data();
    void answerChecks();
};

void TestRequestTable::sameIdFromTwoClients_data()
{
    QTest::addColumn<int>("portA");
    QTest::addColumn<bool>("v4A");
    QTest::addColumn<int>("portB");
    QTest::addColumn<bool>("v4B");
    QTest::newRow("two ports, IPv4") << 40000 << true << 40001 << true;
    QTest::newRow("same port, two families") << 40000 << true << 40000 << false;
    QTest::newRow("two ports, IPv6") << 50000 << false << 50001 << false;
}

void TestRequestTable::sameIdFromTwoClients()
{
    QFETCH(int, portA);
    QFETCH(bool, v4A);
    QFETCH(int, portB);
    QFETCH(bool, v4B);
    RequestTable table;
    const auto a = table.add(quint16(portA), 0x1234, v4A, 0);
    const auto b = table.add(quint16(portB), 0x1234, v4B, 0);
    QVERIFY(!a.duplicate);
    QVERIFY(!b.duplicate);
    QVERIFY(a.upstreamId != b.upstreamId);
    QCOMPARE(table.size(), 2);

    RequestTable::Client client;
    QVERIFY(table.take(b.upstreamId, client));
    QCOMPARE(int(client.port), portB);
    QCOMPARE(client.isIpV4, v4B);
    QCOMPARE(client.id, quint16(0x1234));
    QVERIFY(table.take(a.upstreamId, client));
    QCOMPARE(int(client.port), portA);
    QCOMPARE(client.isIpV4, v4A);
    QCOMPARE(table.size(), 0);
}

void TestRequestTable::duplicateKeepsItsUpstreamId()
{
    RequestTable table;
    const auto first = table.add(40000, 7, true, 0);
    const auto again = table.add(40000, 7, true, 100);
    QVERIFY(!first.duplicate);
    QVERIFY(again.duplicate);
    QCOMPARE(again.upstreamId, first.upstreamId);
    QCOMPARE(table.size(), 1);
}

void TestRequestTable::answerTakenOnce()
{
    RequestTable table;
    const auto added = table.add(40000, 7, true, 0);
    RequestTable::Client client;
    QVERIFY(table.take(added.upstreamId, client));
    QVERIFY(!table.take(added.upstreamId, client));
    // The client's key is free again: a new query is not a duplicate.
    QVERIFY(!table.add(40000, 7, true, 1).duplicate);
}

void TestRequestTable::unknownIdIsNotFound()
{
    RequestTable table;
    RequestTable::Client client;
    QVERIFY(!table.take(0, client));
    QVERIFY(!table.take(65535, client));
    QVERIFY(!table.contains(1));
    QVERIFY(table.upstreamIds().isEmpty());
}

void TestRequestTable::expiry()
{
    RequestTable table(100, 1000);
    const auto old = table.add(1, 1, true, 0);
    const auto young = table.add(2, 2, true, 600);
    QCOMPARE(table.expire(999), 0);
    QCOMPARE(table.expire(1000), 1);
    QVERIFY(!table.contains(old.upstreamId));
    QVERIFY(table.contains(young.upstreamId));
    // What expires comes back with its client and query, to be answered.
    table.setQuery(young.upstreamId, QByteArrayLiteral("query"));
    std::vector<RequestTable::Unanswered> expired;
    QCOMPARE(table.expire(1600, &expired), 1);
    QCOMPARE(int(expired.size()), 1);
    QCOMPARE(expired.front().client.port, quint16(2));
    QCOMPARE(expired.front().upstreamId, young.upstreamId);
    QCOMPARE(expired.front().query, QByteArrayLiteral("query"));
    QCOMPARE(table.size(), 0);
}

void TestRequestTable::duplicateRefreshesExpiry()
{
    RequestTable table(100, 1000);
    const auto first = table.add(1, 1, true, 0);
    table.add(2, 2, true, 100);
    QVERIFY(table.add(1, 1, true, 900).duplicate);
    QCOMPARE(table.expire(1100), 1); // the second entry only
    QVERIFY(table.contains(first.upstreamId));
    QCOMPARE(table.upstreamIds(), QList<quint16>{first.upstreamId});
}

void TestRequestTable::hardBoundDropsOldest()
{
    RequestTable table(3, 100000);
    const auto a = table.add(1, 1, true, 0);
    const auto b = table.add(2, 1, true, 1);
    const auto c = table.add(3, 1, true, 2);
    const auto d = table.add(4, 1, true, 3);
    QVERIFY(!c.evicted);
    QVERIFY(d.evicted);
    QCOMPARE(table.size(), 3);
    QVERIFY(!table.contains(a.upstreamId));
    QCOMPARE(table.upstreamIds(), (QList<quint16>{b.upstreamId, c.upstreamId, d.upstreamId}));
}

void TestRequestTable::upstreamIdsUniqueUnderLoad()
{
    RequestTable table;
    QSet<quint16> ids;
    for (int i = 0; i < table.maxEntries(); ++i) {
        const auto added = table.add(quint16(1000 + i % 50), quint16(i), i % 2 == 0, 0);
        QVERIFY(!added.duplicate);
        QVERIFY(!added.evicted);
        ids.insert(added.upstreamId);
    }
    QCOMPARE(ids.size(), table.maxEntries());
    QCOMPARE(table.size(), table.maxEntries());
}

void TestRequestTable::answerChecks_data()
{
    using M = DnsTestMessages;
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QByteArray>("candidate"); // its ID is replaced by the upstream ID, unless "keepId"
    QTest::addColumn<int>("fromProtocol");
    QTest::addColumn<bool>("keepId");
    QTest::addColumn<int>("verdict");
    const QByteArray query = M::query(0x1111, QStringLiteral("www.Example.org"), 1, 1, M::optRecord());
    const QByteArray answer = M::answerA(query, QStringLiteral("192.0.2.1"));
    const auto taken = int(RequestTable::Verdict::Taken);
    QTest::newRow("the answer") << query << 0 << answer << 0 << false << taken;
    QTest::newRow("name in other letter case")
        << query << 0 << M::answerA(M::query(1, QStringLiteral("WWW.example.ORG")), "192.0.2.1") << 0 << false
        << taken;
    QTest::newRow("over DoT, from DoT") << query << 2 << answer << 2 << false << taken;
    QByteArray qrClear = answer;
    qrClear[2] = char(qrClear.at(2) & 0x7F);
    QTest::newRow("QR clear") << query << 0 << qrClear << 0 << false
                              << int(RequestTable::Verdict::NotAnAnswer);
    QTest::newRow("another name") << query << 0
                                  << M::answerA(M::query(1, QStringLiteral("www.example.net")), "192.0.2.1")
                                  << 0 << false << int(RequestTable::Verdict::WrongQuestion);
    QTest::newRow("a label more") << query << 0
                                  << M::answerA(M::query(1, QStringLiteral("www.example.org.evil")),
                                                "192.0.2.1")
                                  << 0 << false << int(RequestTable::Verdict::WrongQuestion);
    QTest::newRow("another type") << query << 0
                                  << M::answerA(M::query(1, QStringLiteral("www.example.org"), 28),
                                                "192.0.2.1")
                                  << 0 << false << int(RequestTable::Verdict::WrongQuestion);
    QByteArray otherClass = answer;
    otherClass[12 + M::labels(QStringLiteral("www.example.org")).size() + 3] = 3; // CH
    QTest::newRow("another class") << query << 0 << otherClass << 0 << false
                                   << int(RequestTable::Verdict::WrongQuestion);
    QByteArray noQuestion = answer.left(12);
    noQuestion[5] = 0;
    QTest::newRow("no question") << query << 0 << noQuestion << 0 << false
                                 << int(RequestTable::Verdict::WrongQuestion);
    QByteArray pointer = answer.left(12);
    pointer.append("\xc0\x0c\x00\x01\x00\x01", 6);
    QTest::newRow("question as a pointer")
        << query << 0 << pointer << 0 << false << int(RequestTable::Verdict::WrongQuestion);
    QTest::newRow("from another transport")
        << query << 0 << answer << 1 << false << int(RequestTable::Verdict::WrongTransport);
    QTest::newRow("an ID not in flight")
        << query << 0 << answer << 0 << true << int(RequestTable::Verdict::UnknownId);
    QTest::newRow("shorter than a header")
        << query << 0 << answer.left(11) << 0 << false << int(RequestTable::Verdict::TooShort);
}

void TestRequestTable::answerChecks()
{
    using M = DnsTestMessages;
    QFETCH(QByteArray, query);
    QFETCH(int, protocol);
    QFETCH(QByteArray, candidate);
    QFETCH(int, fromProtocol);
    QFETCH(bool, keepId);
    QFETCH(int, verdict);
    RequestTable table;
    const auto added = table.add(40000, M::id(query), true, 0, query, protocol);
    // The candidate's ID is 0x1111 or 0x0001, never the upstream one, unless replaced.
    if (!keepId && candidate.size() >= 2) {
        candidate[0] = char(added.upstreamId >> 8);
        candidate[1] = char(added.upstreamId & 0xFF);
    } else if (keepId && M::id(candidate) == added.upstreamId) {
        candidate[1] = char(candidate.at(1) ^ 1);
    }
    RequestTable::Client client;
    quint16 upstreamId = 0;
    QCOMPARE(int(table.takeAnswer(candidate, fromProtocol, client, &upstreamId)), verdict);
    if (verdict == int(RequestTable::Verdict::Taken)) {
        QCOMPARE(upstreamId, added.upstreamId);
        QCOMPARE(client.id, M::id(query));
        QCOMPARE(client.port, quint16(40000));
        QCOMPARE(table.size(), 0);
        return;
    }
    // Refused: the entry waits for the genuine answer, which it takes.
    QCOMPARE(table.size(), 1);
    QByteArray genuine = M::answerA(query, QStringLiteral("192.0.2.1"));
    genuine[0] = char(added.upstreamId >> 8);
    genuine[1] = char(added.upstreamId & 0xFF);
    QCOMPARE(int(table.takeAnswer(genuine, protocol, client)), int(RequestTable::Verdict::Taken));
    QCOMPARE(client.id, M::id(query));
    QCOMPARE(table.size(), 0);
}

QTEST_GUILESS_MAIN(TestRequestTable)
#include "tst_requesttable.moc"
