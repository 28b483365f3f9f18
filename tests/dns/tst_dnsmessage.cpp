// Reading the header and first question of DNS messages, and marking queries
// with the identity record.
#include "dnswire/DnsMessage.h"
#include "dnswire/QueryMarker.h"
#include "tests/dns/DnsTestMessages.h"

#include <QtTest>

using M = DnsTestMessages;

namespace {

QByteArray cut(const QByteArray& message, int size)
{
    return message.left(size);
}

} // namespace

class TestDnsMessage : public QObject
{
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
    void parseNeverReadsOutside_data();
    void parseNeverReadsOutside();
    void mark_data();
    void mark();
    void markRefused_data();
    void markRefused();
    void idHelpers();
    void serverFailure_data();
    void serverFailure();
};

void TestDnsMessage::parse_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("domain");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("answerIp");
    QTest::addColumn<bool>("wellFormed");

    const QByteArray mixed = M::query(0x1a2b, QStringLiteral("Mail.Example.ORG"), 1);
    QTest::newRow("upper case name, type A") << mixed << "1a2b"
                                             << "mail.example.org" << 1 << 1 << "0.1.0.1" << true;
    QTest::newRow("root name") << M::query(0x0001, QString(), 2) << "0001" << QString() << 2 << 1 << QString()
                               << true;
    QTest::newRow("AAAA has no answer address")
        << M::query(0xffff, QStringLiteral("example.org"), 28) << "ffff"
        << "example.org" << 28 << 1 << QString() << true;
    QTest::newRow("SRV") << M::query(0x00ab, QStringLiteral("_ldap._tcp.corp.example"), 33) << "00ab"
                         << "_ldap._tcp.corp.example" << 33 << 1 << QString() << true;
    QTest::newRow("answer carries its address")
        << M::answerA(M::query(0x0a0b, QStringLiteral("a.example"), 1), QStringLiteral("192.0.2.7")) << "0a0b"
        << "a.example" << 1 << 1 << "192.0.2.7" << true;
    QTest::newRow("with OPT record") << M::query(0x1234, QStringLiteral("x.test"), 1, 1, M::optRecord())
                                     << "1234"
                                     << "x.test" << 1 << 1 << "0.0.0.0" << true;
    QTest::newRow("empty message") << QByteArray() << QString() << QString() << 0 << 0 << QString() << false;
    QTest::newRow("one byte") << QByteArray("\xab", 1) << "ab00" << QString() << 0 << 0 << QString() << false;
    QTest::newRow("header only") << cut(mixed, 12) << "1a2b" << QString() << 0 << 1 << QString() << false;

    const QByteArray plain = M::query(0x0102, QStringLiteral("ab.cd"), 1);
    const int nameEnd = 12 + 7; // 2ab 2cd 0
    QTest::newRow("missing type bytes") << cut(plain, nameEnd) << "0102"
                                        << "ab.cd" << 0 << 1 << QString() << false;
    QTest::newRow("one type byte") << cut(plain, nameEnd + 1) << "0102"
                                   << "ab.cd" << 0 << 1 << QString() << false;
    QTest::newRow("missing class bytes") << cut(plain, nameEnd + 2) << "0102"
                                         << "ab.cd" << 1 << 1 << "100.0.0.1" << false;
    QTest::newRow("root name, missing type")
        << cut(M::query(0x0102, QString(), 1), 13) << "0102" << QString() << 0 << 1 << QString() << false;

    QByteArray longLabel = cut(plain, 12);
    longLabel.append(char(60)).append("abcde");
    QTest::newRow("label longer than what is left") << longLabel << "0102"
                                                    << "abcde" << 0 << 1 << QString() << false;

    QByteArray noEnd = cut(plain, 12);
    noEnd.append(char(2)).append("ab").append(char(2)).append("cd");
    QTest::newRow("name without its root label") << noEnd << "0102"
                                                 << "ab.cd" << 0 << 1 << QString() << false;

    QByteArray pointer = cut(plain, 12);
    pointer.append(char(2)).append("ab").append("\xc0\x0c", 2).append(QByteArray::fromHex("00010001"));
    // The pointer is read as a label length and never followed.
    QTest::newRow("compression pointer in the question")
        << pointer << "0102" << QStringLiteral("ab.\x0c") << 0 << 1 << QString() << false;

    QByteArray pointerFirst = cut(plain, 12);
    pointerFirst.append("\xc0\x0c", 2).append(QByteArray::fromHex("00010001"));
    QTest::newRow("question that is only a pointer")
        << pointerFirst << "0102" << QStringLiteral("\x0c") << 0 << 1 << QString() << false;

    QByteArray label64 = cut(plain, 12);
    label64.append(char(64)).append(QByteArray(64, 'a')).append('\0').append(QByteArray::fromHex("00010001"));
    QTest::newRow("label of 64 bytes")
        << label64 << "0102" << QString(64, QLatin1Char('a')) << 1 << 1 << "0.1.0.1" << false;

    QByteArray zero = cut(plain, 12);
    zero.append(char(5)).append("ab\0cd", 5).append(char(3)).append("org").append('\0');
    zero.append(QByteArray::fromHex("001c0001"));
    QTest::newRow("zero byte inside a label") << zero << "0102"
                                              << "ab.org" << 28 << 1 << QString() << true;

    QByteArray noQuestion = plain;
    noQuestion[5] = 0;
    QTest::newRow("QDCOUNT 0") << noQuestion << "0102"
                               << "ab.cd" << 1 << 0 << "0.1.0.1" << false;

    QString longName;
    for (int i = 0; i < 5; ++i)
        longName += QString(60, QLatin1Char('a' + i)) + QLatin1Char('.');
    const QByteArray tooLong = M::query(0x0001, longName, 1);
    QTest::newRow("name over 255 bytes")
        << tooLong << "0001" << longName.chopped(1) << 1 << 1 << "0.1.0.1" << false;

    QTest::newRow("UTF-8 label") << M::query(0x0001, QStringLiteral("Пример.Test"), 1) << "0001"
                                 << QStringLiteral("пример.test") << 1 << 1 << "0.1.0.1" << true;
    QTest::newRow("ASCII labels around a UTF-8 label")
        << M::query(0x0001, QStringLiteral("Mail.Пример.ORG"), 1) << "0001"
        << QStringLiteral("mail.пример.org") << 1 << 1 << "0.1.0.1" << true;
    // Each label is decoded on its own: a broken sequence stays in its label.
    QByteArray broken = cut(plain, 12);
    broken.append(char(2)).append("AB").append(char(2)).append("\xc3(").append('\0');
    broken.append(QByteArray::fromHex("00010001"));
    QTest::newRow("broken UTF-8 after an ASCII label")
        << broken << "0102" << QStringLiteral("ab.\ufffd(") << 1 << 1 << "0.1.0.1" << true;
    QTest::newRow("answer address of two-digit bytes")
        << M::answerA(M::query(0x0a0b, QStringLiteral("a.example"), 1), QStringLiteral("10.20.99.0"))
        << "0a0b"
        << "a.example" << 1 << 1 << "10.20.99.0" << true;
}

void TestDnsMessage::parse()
{
    QFETCH(QByteArray, message);
    bool wellFormedResult = false;
    const DnsRequest request = DnsMessage::parse(message, &wellFormedResult);
    QTEST(request.id, "id");
    QTEST(request.domain, "domain");
    QTEST(int(request.type), "type");
    QTEST(int(request.countRequest), "count");
    QTEST(request.answerIp, "answerIp");
    QTEST(wellFormedResult, "wellFormed");

    // The numbers alone: same verdict and numbers, no texts; the texts made
    // afterwards are those of the whole parse.
    bool numbersWellFormed = !wellFormedResult;
    DnsRequest numbers = DnsMessage::parseNumbers(message, &numbersWellFormed);
    QCOMPARE(numbersWellFormed, wellFormedResult);
    QCOMPARE(numbers.type, request.type);
    QCOMPARE(numbers.countRequest, request.countRequest);
    QVERIFY(numbers.id.isEmpty());
    QVERIFY(numbers.domain.isEmpty());
    QVERIFY(numbers.answerIp.isEmpty());
    DnsMessage::fillTexts(message, numbers);
    QTEST(numbers.id, "id");
    QTEST(numbers.domain, "domain");
    QTEST(numbers.answerIp, "answerIp");
}

void TestDnsMessage::parseNeverReadsOutside_data()
{
    QTest::addColumn<int>("size");
    const QByteArray full = M::query(0x4242, QStringLiteral("www.example.com"), 1, 1, M::optRecord());
    for (int size = 0; size <= full.size(); ++size)
        QTest::newRow(qPrintable(QStringLiteral("cut to %1").arg(size))) << size;
}

// Every prefix of a valid query, copied into a buffer of exactly its size
// (ASan reports a read past it); only the whole message is well formed.
void TestDnsMessage::parseNeverReadsOutside()
{
    QFETCH(int, size);
    const QByteArray full = M::query(0x4242, QStringLiteral("www.example.com"), 1, 1, M::optRecord());
    const QByteArray exact(full.constData(), size);
    bool wellFormed = true;
    const DnsRequest request = DnsMessage::parse(exact, &wellFormed);
    // Whole question (12 + 17 + 4 bytes) is what makes it well formed.
    QCOMPARE(wellFormed, size >= 33);
    bool numbersWellFormed = !wellFormed;
    QCOMPARE(DnsMessage::parseNumbers(exact, &numbersWellFormed).type, request.type);
    QCOMPARE(numbersWellFormed, wellFormed);
    if (size >= 29)
        QCOMPARE(request.domain, QStringLiteral("www.example.com"));
    else
        QVERIFY2(QStringLiteral("www.example.com").startsWith(request.domain), qPrintable(request.domain));
}

void TestDnsMessage::mark_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<int>("token");
    QTest::addColumn<int>("arCountAfter");
    QTest::addColumn<QByteArray>("recordHex");

    const QByteArray fixed = "00ffed00010000000000"
                             "04";
    QTest::newRow("ARCOUNT 0, token 305419896") << M::query(0x1111, QStringLiteral("a.example"), 1)
                                                << 305419896 << 1 << QByteArray(fixed + "12345678");
    QTest::newRow("ARCOUNT 1 with OPT") << M::query(0x2222, QStringLiteral("a.example"), 1, 1, M::optRecord())
                                        << 7 << 2 << QByteArray(fixed + "00000007");
    QTest::newRow("ARCOUNT 10") << M::query(0x3333, QStringLiteral("b.example"), 28, 10) << 1 << 11
                                << QByteArray(fixed + "00000001");
    QTest::newRow("ARCOUNT 255 becomes 256") << M::query(0x4444, QStringLiteral("c.example"), 1, 255)
                                             << 0x7fffffff << 256 << QByteArray(fixed + "7fffffff");
    QTest::newRow("token 0") << M::query(0x5555, QString(), 2) << 0 << 1 << QByteArray(fixed + "00000000");
    QTest::newRow("token with high bit") << M::query(0x6666, QStringLiteral("d.example"), 1)
                                         << int(0x80000001) << 1 << QByteArray(fixed + "80000001");
}

void TestDnsMessage::mark()
{
    QFETCH(QByteArray, message);
    QFETCH(int, token);
    QFETCH(int, arCountAfter);
    QFETCH(QByteArray, recordHex);

    QByteArray marked = message;
    QVERIFY(QueryMarker::mark(marked, token, false));
    QCOMPARE(marked.size(), message.size() + 15);
    QCOMPARE(int(M::arCount(marked)), arCountAfter);
    QCOMPARE(marked.right(15).toHex(), recordHex);
    // Nothing else changes: ID, flags, other counts, question, earlier records.
    QCOMPARE(marked.left(10), message.left(10));
    QCOMPARE(marked.mid(12, message.size() - 12), message.mid(12));
}

void TestDnsMessage::markRefused_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("warning");
    const QString start =
        QStringLiteral("preparationMessage() message cannot carry the identity record, size: ");
    QTest::newRow("shorter than a header") << QByteArray(11, '\0') << start + QStringLiteral("11 ARCOUNT: 0");
    QTest::newRow("empty") << QByteArray() << start + QStringLiteral("0 ARCOUNT: 0");
    QTest::newRow("ARCOUNT at its limit")
        << M::query(0x0001, QStringLiteral("a.b"), 1, 0xffff) << start + QStringLiteral("21 ARCOUNT: 65535");
    QByteArray huge = M::query(0x0001, QStringLiteral("a.b"), 1);
    huge.append(QByteArray(65521 - huge.size(), '\0'));
    QTest::newRow("no room for a TCP length prefix") << huge << start + QStringLiteral("65521 ARCOUNT: 0");
}

void TestDnsMessage::markRefused()
{
    QFETCH(QByteArray, message);
    QFETCH(QString, warning);
    QByteArray copy = message;
    QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    QVERIFY(!QueryMarker::mark(copy, 1, false));
    QCOMPARE(copy, message);
}

void TestDnsMessage::idHelpers()
{
    QByteArray message = M::query(0xbeef, QStringLiteral("a.b"), 1);
    QCOMPARE(DnsMessage::id(message), quint16(0xbeef));
    QVERIFY(DnsMessage::setId(message, 0x0102));
    QCOMPARE(M::id(message), quint16(0x0102));
    QCOMPARE(DnsMessage::idText(0x0a0b), QStringLiteral("0a0b"));
    QByteArray tiny("\x01", 1);
    QVERIFY(!DnsMessage::setId(tiny, 7));
    QCOMPARE(tiny, QByteArray("\x01", 1));
}

void TestDnsMessage::serverFailure_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("expected"); // empty: no answer can be built
    const QByteArray question =
        M::labels(QStringLiteral("www.example.test")) + QByteArray("\x00\x01\x00\x01", 4);
    const QByteArray answerHeader("\x12\x34\x81\x82\x00\x01\x00\x00\x00\x00\x00\x00", 12);
    QTest::newRow("plain query") << M::query(0x1234, QStringLiteral("www.example.test"))
                                 << answerHeader + question;
    QTest::newRow("EDNS record left out")
        << M::query(0x1234, QStringLiteral("www.example.test"), 1, 1, M::optRecord())
        << answerHeader + question;
    QByteArray notify = M::query(0x1234, QStringLiteral("www.example.test"));
    notify[2] = char(0x20 | 0x04 | 0x02); // opcode 4, AA and TC set, RD clear
    QTest::newRow("opcode kept, AA TC RD not")
        << notify << QByteArray("\x12\x34\xa0\x82", 4) + answerHeader.mid(4) + question;
    QByteArray compressed = M::query(0x1234, QStringLiteral("a.example"));
    compressed.chop(5);
    compressed.append(QByteArray("\xc0\x0c\x00\x01\x00\x01", 6));
    QTest::newRow("compressed question") << compressed << QByteArray();
    QTest::newRow("question cut") << M::query(0x1234, QStringLiteral("www.example.test")).left(20)
                                  << QByteArray();
    QTest::newRow("header only") << QByteArray(12, '\0') << QByteArray();
}

void TestDnsMessage::serverFailure()
{
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, expected);
    QCOMPARE(DnsMessage::serverFailure(query).toHex(), expected.toHex());
}

QTEST_GUILESS_MAIN(TestDnsMessage)
#include "tst_dnsmessage.moc"
