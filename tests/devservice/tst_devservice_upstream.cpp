#include "devservice/DnsWire.h"
#include "devservice/UpstreamClient.h"

#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtTest>

// The upstream side is a plain UDP socket on a free loopback port; the test
// plays the upstream server by hand.
class TestUpstreamClient : public QObject
{
    Q_OBJECT
private slots:
    void answerGetsClientIdBack();
    void foreignAnswersAreDropped();
    void silenceBecomesServerFailure();
};

namespace {
struct Result
{
    int calls = 0;
    QByteArray answer;
    QString note;
};

QNetworkDatagram receive(QUdpSocket& server)
{
    if (!server.hasPendingDatagrams() && !server.waitForReadyRead(5000)) {
        return QNetworkDatagram();
    }
    return server.receiveDatagram();
}

QByteArray answerFor(const QByteArray& query, quint16 id)
{
    DnsWire::Question question;
    DnsWire::parseQuestion(query, question);
    QByteArray answer =
        DnsWire::makeResponse(query, question, DnsWire::NoError,
                              {DnsWire::Record{question.name, DnsWire::typeA, DnsWire::classIn, 5,
                                               QByteArray::fromHex("c000020a")}},
                              true);
    DnsWire::writeU16(answer, 0, id);
    return answer;
}
} // namespace

void TestUpstreamClient::answerGetsClientIdBack()
{
    QUdpSocket server;
    QVERIFY(server.bind(QHostAddress(QHostAddress::LocalHost), 0));
    UpstreamClient client(QHostAddress::LocalHost, server.localPort(), 5000);
    Result result;
    const QByteArray query =
        DnsWire::makeQuery(0x1111, QStringLiteral("www.example.test"), DnsWire::typeA, false);
    client.send(query, false, [&result](const QByteArray& answer, const QString& note) {
        ++result.calls;
        result.answer = answer;
        result.note = note;
    });
    const QNetworkDatagram sent = receive(server);
    QVERIFY(sent.isValid());
    const quint16 upstreamId = DnsWire::readU16(sent.data(), 0);
    QCOMPARE(sent.data().mid(2), query.mid(2)); // only the ID differs
    server.writeDatagram(answerFor(sent.data(), upstreamId), sent.senderAddress(),
                         static_cast<quint16>(sent.senderPort()));
    QTRY_COMPARE(result.calls, 1);
    QCOMPARE(DnsWire::readU16(result.answer, 0), quint16(0x1111));
    QCOMPARE(DnsWire::readU16(result.answer, 6), quint16(1));
    QCOMPARE(client.pending(), 0);
}

void TestUpstreamClient::foreignAnswersAreDropped()
{
    QUdpSocket server;
    QVERIFY(server.bind(QHostAddress(QHostAddress::LocalHost), 0));
    UpstreamClient client(QHostAddress::LocalHost, server.localPort(), 5000);
    Result result;
    const QByteArray query =
        DnsWire::makeQuery(0x2222, QStringLiteral("www.example.test"), DnsWire::typeA, false);
    client.send(query, false, [&result](const QByteArray& answer, const QString&) {
        ++result.calls;
        result.answer = answer;
    });
    const QNetworkDatagram sent = receive(server);
    QVERIFY(sent.isValid());
    const quint16 upstreamId = DnsWire::readU16(sent.data(), 0);
    const QHostAddress to = sent.senderAddress();
    const auto port = static_cast<quint16>(sent.senderPort());
    // Wrong ID, another question under the right ID, and a runt: all dropped.
    server.writeDatagram(answerFor(sent.data(), upstreamId ^ 1), to, port);
    const QByteArray other =
        DnsWire::makeQuery(upstreamId, QStringLiteral("evil.example.test"), DnsWire::typeA, false);
    server.writeDatagram(answerFor(other, upstreamId), to, port);
    server.writeDatagram(QByteArray("abc"), to, port);
    // Then the real answer, which must be the only one delivered.
    server.writeDatagram(answerFor(sent.data(), upstreamId), to, port);
    QTRY_COMPARE(result.calls, 1);
    DnsWire::Question question;
    QVERIFY(DnsWire::parseQuestion(result.answer, question));
    QCOMPARE(question.name, QStringLiteral("www.example.test"));
}

void TestUpstreamClient::silenceBecomesServerFailure()
{
    QUdpSocket server;
    QVERIFY(server.bind(QHostAddress(QHostAddress::LocalHost), 0));
    UpstreamClient client(QHostAddress::LocalHost, server.localPort(), 200);
    Result result;
    const QByteArray query =
        DnsWire::makeQuery(0x3333, QStringLiteral("slow.example.test"), DnsWire::typeA, false);
    client.send(query, false, [&result](const QByteArray& answer, const QString& note) {
        ++result.calls;
        result.answer = answer;
        result.note = note;
    });
    QTRY_COMPARE(result.calls, 1);
    QCOMPARE(DnsWire::readU16(result.answer, 0), quint16(0x3333));
    QCOMPARE(DnsWire::readU16(result.answer, 2) & 0x0F, int(DnsWire::ServFail));
    QCOMPARE(result.note, QStringLiteral("upstream timeout"));
    // A late answer after the deadline is not delivered a second time. A second
    // query answered behind it proves the late datagram has been read.
    const QNetworkDatagram late = receive(server);
    QVERIFY(late.isValid());
    Result second;
    client.send(DnsWire::makeQuery(0x4444, QStringLiteral("next.example.test"), DnsWire::typeA, false), false,
                [&second](const QByteArray& answer, const QString&) {
                    ++second.calls;
                    second.answer = answer;
                });
    const QNetworkDatagram next = receive(server);
    QVERIFY(next.isValid());
    server.writeDatagram(answerFor(late.data(), DnsWire::readU16(late.data(), 0)), late.senderAddress(),
                         static_cast<quint16>(late.senderPort()));
    server.writeDatagram(answerFor(next.data(), DnsWire::readU16(next.data(), 0)), next.senderAddress(),
                         static_cast<quint16>(next.senderPort()));
    QTRY_COMPARE(second.calls, 1);
    QCOMPARE(DnsWire::readU16(second.answer, 0), quint16(0x4444));
    QCOMPARE(result.calls, 1);
    QCOMPARE(client.pending(), 0);
}

QTEST_GUILESS_MAIN(TestUpstreamClient)
#include "tst_devservice_upstream.moc"
