// The table of pending queries: per-client keys, unique upstream IDs,
// duplicates, expiry and the hard bound.
#include "RequestTable.h"

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
    // Adding also clears what has expired.
    table.add(3, 3, true, 1600);
    QVERIFY(!table.contains(young.upstreamId));
    QCOMPARE(table.size(), 1);
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

QTEST_GUILESS_MAIN(TestRequestTable)
#include "tst_requesttable.moc"
