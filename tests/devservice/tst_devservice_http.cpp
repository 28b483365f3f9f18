#include "devservice/HttpParser.h"
#include "devservice/HttpResponse.h"

#include <QtTest>

class TestHttpParser : public QObject
{
    Q_OBJECT
private slots:
    void pipelinedRequestsComeOneByOne();
    void requestSplitAcrossReads();
    void refusesBadRequests_data();
    void refusesBadRequests();
    void keepAliveRules();
    void responseCarriesLength();
};

void TestHttpParser::pipelinedRequestsComeOneByOne()
{
    HttpParser parser;
    parser.feed("POST / HTTP/1.1\r\nHost: doh.corvane.test\r\nContent-Length: 3\r\n\r\nabc"
                "GET /x?tag=Windows HTTP/1.1\r\nHost: a\r\n\r\n");
    HttpRequest first;
    QCOMPARE(parser.next(first), HttpParser::State::Ready);
    QCOMPARE(first.method, QByteArray("POST"));
    QCOMPARE(first.body, QByteArray("abc"));
    QCOMPARE(first.header("host"), QByteArray("doh.corvane.test"));
    HttpRequest second;
    QCOMPARE(parser.next(second), HttpParser::State::Ready);
    QCOMPARE(second.path, QStringLiteral("/x"));
    QCOMPARE(second.query.queryItemValue(QStringLiteral("tag")), QStringLiteral("Windows"));
    HttpRequest none;
    QCOMPARE(parser.next(none), HttpParser::State::NeedMore);
}

void TestHttpParser::requestSplitAcrossReads()
{
    const QByteArray whole = "POST /api/json/v2 HTTP/1.1\r\nContent-Length: 10\r\n\r\n0123456789";
    for (int split = 1; split < whole.size(); ++split) {
        HttpParser parser;
        HttpRequest request;
        parser.feed(whole.left(split));
        QCOMPARE(parser.next(request), HttpParser::State::NeedMore);
        parser.feed(whole.mid(split));
        QCOMPARE(parser.next(request), HttpParser::State::Ready);
        QCOMPARE(request.body, QByteArray("0123456789"));
    }
}

void TestHttpParser::refusesBadRequests_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("status");
    QTest::newRow("two words") << QByteArray("GET /\r\n\r\n") << 400;
    QTest::newRow("not HTTP") << QByteArray("GET / SPDY/3\r\n\r\n") << 400;
    QTest::newRow("header without colon") << QByteArray("GET / HTTP/1.1\r\nbroken\r\n\r\n") << 400;
    QTest::newRow("negative length") << QByteArray("POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n") << 400;
    QTest::newRow("length not a number")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n") << 400;
    QTest::newRow("huge length") << QByteArray("POST / HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n")
                                 << 413;
    QTest::newRow("chunked") << QByteArray("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n") << 501;
    QTest::newRow("endless header") << QByteArray("GET / HTTP/1.1\r\nX: ") +
                                           QByteArray(HttpParser::maxHeaderBytes + 1, 'a')
                                    << 431;
}

void TestHttpParser::refusesBadRequests()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, status);
    HttpParser parser;
    parser.feed(bytes);
    HttpRequest request;
    QCOMPARE(parser.next(request), HttpParser::State::Bad);
    QCOMPARE(parser.errorStatus(), status);
    QVERIFY(!parser.error().isEmpty());
    QCOMPARE(parser.buffered(), 0);
}

void TestHttpParser::keepAliveRules()
{
    HttpRequest request;
    request.version = "HTTP/1.1";
    QVERIFY(request.keepAlive());
    request.headers.append(qMakePair(QByteArray("connection"), QByteArray("close")));
    QVERIFY(!request.keepAlive());
    HttpRequest old;
    old.version = "HTTP/1.0";
    QVERIFY(!old.keepAlive());
    old.headers.append(qMakePair(QByteArray("connection"), QByteArray("Keep-Alive")));
    QVERIFY(old.keepAlive());
}

void TestHttpParser::responseCarriesLength()
{
    const QByteArray wire = HttpResponse::detail(404, QStringLiteral("Not found.")).serialise(true);
    QVERIFY(wire.startsWith("HTTP/1.1 404 Not Found\r\n"));
    QVERIFY(wire.contains("Content-Type: application/json\r\n"));
    QVERIFY(wire.contains("Content-Length: 23\r\n"));
    QVERIFY(wire.contains("Connection: keep-alive\r\n"));
    QVERIFY(wire.endsWith("\r\n\r\n{\"detail\":\"Not found.\"}"));
    QVERIFY(
        HttpResponse::detail(400, QStringLiteral("x")).serialise(false).contains("Connection: close\r\n"));
}

QTEST_GUILESS_MAIN(TestHttpParser)
#include "tst_devservice_http.moc"
