// The listener's bring-up: the query it sends itself and its own answer to
// it, and a port held by another socket when it starts: reported as taken
// (once at critical level, with the holder), no go-ahead for the interfaces,
// then bound, self-checked and ready once the port is free.
#include "dns/SnifferDnsUdp.h"
#include "dnswire/DnsMessage.h"
#include "tests/testlib/LogCapture.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QThread>
#include <QUdpSocket>
#include <QtTest>

#include <memory>

namespace {

constexpr int waitMs = 8000;

} // namespace

Q_DECLARE_METATYPE(ResolverStatus::State)

class TestListenerBringUp : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void selfAnswer_data();
    void selfAnswer();
    void takenPortReportedThenTakenOver();
    void cleanupTestCase();

private:
    // Critical lines of the listener that contain `text`.
    int criticalCount(const QString& text) const
    {
        return log->countContaining(QtCriticalMsg, QStringLiteral("SNIFFERDNSUDP"), text);
    }

    std::unique_ptr<LogCapture> log;
};

void TestListenerBringUp::initTestCase()
{
    log = std::make_unique<LogCapture>();
    SnifferDnsUdp::registerMetaTypes();
}

void TestListenerBringUp::cleanupTestCase()
{
    log.reset();
}

void TestListenerBringUp::selfAnswer_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<bool>("answered");
    const QByteArray self = SnifferDnsUdp::selfQuery(0xBEEF);
    QTest::newRow("the self-query") << self << true;
    QByteArray withEdns = self;
    withEdns[11] = 1;
    withEdns.append(QByteArray::fromHex("0000291000000000000000"));
    QTest::newRow("with an OPT record") << withEdns << true;
    QByteArray response = self;
    response[2] = static_cast<char>(0x81);
    QTest::newRow("a response") << response << false;
    QTest::newRow("header only") << self.left(DnsMessage::headerSize) << false;
    QTest::newRow("question cut") << self.left(self.size() - 1) << false;
    QByteArray twoQuestions = self;
    twoQuestions[5] = 2;
    QTest::newRow("two questions") << twoQuestions << false;
}

void TestListenerBringUp::selfAnswer()
{
    QFETCH(QByteArray, query);
    QFETCH(bool, answered);
    const QByteArray answer = SnifferDnsUdp::selfAnswer(query);
    QCOMPARE(!answer.isEmpty(), answered);
    QCOMPARE(SnifferDnsUdp::answersSelfQuery(answer, 0xBEEF), answered);
    if (!answered)
        return;
    QCOMPARE(answer.size(), DnsMessage::questionEnd(query));
    QCOMPARE(static_cast<quint8>(answer.at(2)), quint8(0x81)); // response, RD kept
    QCOMPARE(static_cast<quint8>(answer.at(3)) & 0x0F, 3);     // NXDOMAIN
    QCOMPARE(DnsMessage::questionCount(answer), quint16(1));
    QCOMPARE(DnsMessage::additionalCount(answer), quint16(0));
    QCOMPARE(answer.mid(DnsMessage::headerSize), query.mid(DnsMessage::headerSize, answer.size() - 12));
    QVERIFY(!SnifferDnsUdp::answersSelfQuery(answer, 0xBEEE));
    QVERIFY(!SnifferDnsUdp::answersSelfQuery(query, 0xBEEF));
}

void TestListenerBringUp::takenPortReportedThenTakenOver()
{
    // Another program's server on 127.0.0.1: a port of the system's choosing.
    auto holder = std::make_unique<QUdpSocket>();
    QVERIFY(holder->bind(QHostAddress(QHostAddress::LocalHost), 0, QUdpSocket::DontShareAddress));
    const quint16 port = holder->localPort();
    const QString where = QStringLiteral("127.0.0.1:%1").arg(port);

    QThread thread;
    auto* sniffer = new SnifferDnsUdp;
    sniffer->setListenPort(port);
    sniffer->setBringUpTimes(100, 2000);
    sniffer->moveToThread(&thread);
    connect(&thread, &QThread::started, sniffer, &SnifferDnsUdp::slotStart);
    QSignalSpy status(sniffer, &SnifferDnsUdp::signalResolverStatus);
    QSignalSpy ready(sniffer, &SnifferDnsUdp::signalReady);
    QSignalSpy listening(sniffer, &SnifferDnsUdp::signalListening);
    thread.start();

    QTRY_VERIFY_WITH_TIMEOUT(listening.size() == 1, waitMs);
    QCOMPARE(listening.first().at(0).toBool(), false);
    QTRY_VERIFY_WITH_TIMEOUT(!status.isEmpty() && status.last().at(0).value<ResolverStatus>().state ==
                                                      ResolverStatus::State::PortTaken,
                             waitMs);
    const ResolverStatus taken = status.last().at(0).value<ResolverStatus>();
    QVERIFY2(taken.detail.contains(where), qPrintable(taken.detail));
    QVERIFY(taken.sinceMs > 0);
#ifdef Q_OS_LINUX
    // The kernel's name of this process (15 characters at most) and its pid.
    const QString name = QFileInfo(QCoreApplication::applicationFilePath()).fileName().left(15);
#else
    const QString name = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
#endif
    QVERIFY2(taken.detail.contains(
                 QStringLiteral("held by %1 (pid %2)").arg(name).arg(QCoreApplication::applicationPid())),
             qPrintable(taken.detail));
    QCOMPARE(criticalCount(QStringLiteral("PORT TAKEN: cannot bind ") + where), 1);

    // Several retries while the port stays taken: no go-ahead, no second
    // critical line, no second status.
    const int taking = status.size();
    QTest::qWait(600);
    QCOMPARE(ready.size(), 0);
    QCOMPARE(criticalCount(QStringLiteral("PORT TAKEN")), 1);
    QCOMPARE(status.size(), taking);

    holder.reset();
    QTRY_VERIFY_WITH_TIMEOUT(ready.size() == 1, waitMs);
    // Ready: from now on the resolver's health speaks (nothing has failed yet).
    QTRY_COMPARE(status.last().at(0).value<ResolverStatus>().state, ResolverStatus::State::Filtered);
    const ResolverStatus after = status.last().at(0).value<ResolverStatus>();
    QVERIFY(after.detail.isEmpty());
    QCOMPARE(criticalCount(QStringLiteral("PORT TAKEN")), 1);

    thread.quit();
    QVERIFY(thread.wait(waitMs));
    delete sniffer;
}

QTEST_GUILESS_MAIN(TestListenerBringUp)
#include "tst_listenerbringup.moc"
