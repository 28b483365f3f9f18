#include "devservice/DnsWire.h"

#include <QtTest>

class TestDnsWire : public QObject
{
    Q_OBJECT
private slots:
    void stripsIdentityRecord_data();
    void stripsIdentityRecord();
    void refusesCutMessages_data();
    void refusesCutMessages();
    void identityWithWrongLengthIsReported();
    void identityNotLastIsLeftInPlace();
    void compressionLoopIsRefused();
    void arcountCarriesIntoHighByte();
    void responseCopiesQuestionAndId();
};

void TestDnsWire::stripsIdentityRecord_data()
{
    QTest::addColumn<bool>("edns");
    QTest::addColumn<quint32>("token");
    QTest::newRow("plain query") << false << quint32(1001);
    QTest::newRow("after OPT record") << true << quint32(305419896);
    QTest::newRow("token all ones") << true << quint32(0xFFFFFFFF);
    QTest::newRow("token zero") << false << quint32(0);
}

void TestDnsWire::stripsIdentityRecord()
{
    QFETCH(bool, edns);
    QFETCH(quint32, token);
    const QByteArray query =
        DnsWire::makeQuery(0x1a2b, QStringLiteral("Mail.Example.ORG"), DnsWire::typeA, edns);
    const QByteArray marked = DnsWire::appendIdentity(query, token);
    QCOMPARE(marked.size(), query.size() + 15);
    QCOMPARE(DnsWire::readU16(marked, 10), quint16(edns ? 2 : 1));

    const DnsWire::IdentityStrip strip = DnsWire::stripIdentity(marked);
    QVERIFY2(strip.ok, qPrintable(strip.error));
    QVERIFY(strip.hasIdentity);
    QCOMPARE(strip.token, token);
    QCOMPARE(strip.message, query); // ARCOUNT lowered, record gone, nothing else changed

    const DnsWire::IdentityStrip unmarked = DnsWire::stripIdentity(query);
    QVERIFY(unmarked.ok);
    QVERIFY(!unmarked.hasIdentity);
    QCOMPARE(unmarked.message, query);
}

void TestDnsWire::refusesCutMessages_data()
{
    QTest::addColumn<int>("cut");
    const QByteArray marked = DnsWire::appendIdentity(
        DnsWire::makeQuery(7, QStringLiteral("www.example.test"), DnsWire::typeA, true), 42);
    // Every length short of the whole message lands inside some field.
    for (int cut = 1; cut < marked.size(); ++cut) {
        QTest::newRow(qPrintable(QStringLiteral("cut to %1").arg(marked.size() - cut))) << cut;
    }
}

void TestDnsWire::refusesCutMessages()
{
    QFETCH(int, cut);
    const QByteArray marked = DnsWire::appendIdentity(
        DnsWire::makeQuery(7, QStringLiteral("www.example.test"), DnsWire::typeA, true), 42);
    const DnsWire::IdentityStrip strip = DnsWire::stripIdentity(marked.left(marked.size() - cut));
    QVERIFY(!strip.ok);
    QVERIFY(!strip.hasIdentity);
    QVERIFY(!strip.error.isEmpty());
    // Trailing bytes are refused as well.
    QVERIFY(!DnsWire::stripIdentity(marked + QByteArray(cut, 'x')).ok);
}

void TestDnsWire::identityWithWrongLengthIsReported()
{
    QByteArray query = DnsWire::makeQuery(7, QStringLiteral("www.example.test"), DnsWire::typeA, false);
    DnsWire::writeU16(query, 10, 1);
    QByteArray record = DnsWire::identityRecord(42);
    DnsWire::writeU16(record, 9, 3); // RDLENGTH 3
    record.chop(1);
    const DnsWire::IdentityStrip strip = DnsWire::stripIdentity(query + record);
    QVERIFY(strip.ok);
    QVERIFY(strip.badIdentity);
    QVERIFY(!strip.hasIdentity);
}

void TestDnsWire::identityNotLastIsLeftInPlace()
{
    // Identity first, OPT behind it: only the last record counts.
    QByteArray query = DnsWire::makeQuery(7, QStringLiteral("www.example.test"), DnsWire::typeA, false);
    query = DnsWire::appendIdentity(query, 42);
    const QByteArray withOpt =
        DnsWire::makeQuery(7, QStringLiteral("www.example.test"), DnsWire::typeA, true);
    const QByteArray opt = withOpt.mid(withOpt.size() - 11);
    DnsWire::writeU16(query, 10, 2);
    query.append(opt);
    const DnsWire::IdentityStrip strip = DnsWire::stripIdentity(query);
    QVERIFY(strip.ok);
    QVERIFY(!strip.hasIdentity);
    QCOMPARE(strip.message, query);
}

void TestDnsWire::compressionLoopIsRefused()
{
    QByteArray query;
    DnsWire::appendU16(query, 1);
    DnsWire::appendU16(query, 0x0100);
    DnsWire::appendU16(query, 1);
    DnsWire::appendU16(query, 0);
    DnsWire::appendU16(query, 0);
    DnsWire::appendU16(query, 0);
    DnsWire::appendU16(query, 0xC00C); // points at itself
    DnsWire::appendU16(query, 1);
    DnsWire::appendU16(query, 1);
    DnsWire::Question question;
    QVERIFY(!DnsWire::parseQuestion(query, question));
    QVERIFY(!DnsWire::stripIdentity(query).ok);
}

void TestDnsWire::arcountCarriesIntoHighByte()
{
    QByteArray query = DnsWire::makeQuery(7, QStringLiteral("a.test"), DnsWire::typeA, false);
    DnsWire::writeU16(query, 10, 255);
    const QByteArray marked = DnsWire::appendIdentity(query, 0x12345678);
    QCOMPARE(marked.mid(10, 2), QByteArray::fromHex("0100"));
    QCOMPARE(marked.right(4), QByteArray::fromHex("12345678"));
}

void TestDnsWire::responseCopiesQuestionAndId()
{
    const QByteArray query =
        DnsWire::makeQuery(0xBEEF, QStringLiteral("www.corvane.test"), DnsWire::typeA, true);
    DnsWire::Question question;
    QVERIFY(DnsWire::parseQuestion(query, question));
    QCOMPARE(question.name, QStringLiteral("www.corvane.test"));
    DnsWire::Record record{question.name, DnsWire::typeA, DnsWire::classIn, 60,
                           QByteArray::fromHex("7f350002")};
    const QByteArray answer = DnsWire::makeResponse(query, question, DnsWire::NoError, {record}, true);
    const DnsWire::Parsed parsed = DnsWire::parse(answer);
    QVERIFY2(parsed.ok, qPrintable(parsed.error));
    QCOMPARE(parsed.id, quint16(0xBEEF));
    QVERIFY(parsed.flags & 0x8000);
    QVERIFY(parsed.flags & 0x0100); // RD copied
    QCOMPARE(parsed.answers.size(), 1);
    QCOMPARE(parsed.answers.first().name, QStringLiteral("www.corvane.test"));
    QCOMPARE(parsed.answers.first().rdata, QByteArray::fromHex("7f350002"));
}

QTEST_GUILESS_MAIN(TestDnsWire)
#include "tst_devservice_dnswire.moc"
