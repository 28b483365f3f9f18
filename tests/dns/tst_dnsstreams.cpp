// Cutting DNS-over-TLS and HTTP/1.1 streams into answers, and the bytes of
// one DNS-over-HTTPS request.
#include "dns/DohRemoteServer.h"
#include "dnswire/DotFrameReader.h"
#include "dnswire/HttpResponseReader.h"
#include "tests/dns/DnsTestMessages.h"

#include <QtTest>

#include <zlib.h>

using M = DnsTestMessages;

namespace {

QByteArray framed(const QByteArray& message)
{
    QByteArray out;
    out.append(char(message.size() >> 8)).append(char(message.size() & 0xff)).append(message);
    return out;
}

QByteArray http(const QByteArray& body, const QByteArray& extra = QByteArray(), int status = 200)
{
    return "HTTP/1.1 " + QByteArray::number(status) +
           " OK\r\nContent-Type: application/dns-message\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\n" + extra + "\r\n" + body;
}

QByteArray chunked(const QByteArray& body, int chunk)
{
    QByteArray out = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < body.size(); i += chunk) {
        const QByteArray piece = body.mid(i, chunk);
        out += QByteArray::number(piece.size(), 16) + ";ext=1\r\n" + piece + "\r\n";
    }
    out += "0\r\nX-Trailer: 1\r\n\r\n";
    return out;
}

QByteArray gzip(const QByteArray& data)
{
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&stream, uLong(data.size()))) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(int(stream.total_out));
    deflateEnd(&stream);
    return out;
}

// Feeds `stream` in pieces of `piece` bytes and collects every answer.
QList<QByteArray> readDot(const QByteArray& stream, int piece)
{
    DotFrameReader reader;
    QList<QByteArray> out;
    for (int i = 0; i < stream.size(); i += piece)
        out += reader.append(stream.mid(i, piece));
    return out;
}

QList<HttpResponseReader::Response> readHttp(const QByteArray& stream, int piece, bool close, QString* error)
{
    HttpResponseReader reader;
    QList<HttpResponseReader::Response> out;
    HttpResponseReader::Response response;
    for (int i = 0; i < stream.size(); i += piece) {
        reader.append(stream.mid(i, piece));
        while (reader.next(response))
            out.append(response);
    }
    if (close && reader.finish(response))
        out.append(response);
    if (error)
        *error = reader.errorString();
    return out;
}

} // namespace

class TestDnsStreams : public QObject
{
    Q_OBJECT
private slots:
    void dotFrames_data();
    void dotFrames();
    void dotFrameOfQuery();
    void dotPartialHeld();
    void httpResponses_data();
    void httpResponses();
    void httpBroken_data();
    void httpBroken();
    void httpBodyDecoding_data();
    void httpBodyDecoding();
    void dohRequestBytes_data();
    void dohRequestBytes();
};

void TestDnsStreams::dotFrames_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("piece");
    QTest::addColumn<int>("answers");
    const QByteArray a = M::answerA(M::query(1, QStringLiteral("a.example")), QStringLiteral("192.0.2.1"));
    const QByteArray b = M::answerA(M::query(2, QStringLiteral("bb.example")), QStringLiteral("192.0.2.2"));
    const QByteArray three = framed(a) + framed(b) + framed(a);
    QTest::newRow("one answer, one read") << framed(a) << 1000 << 1;
    QTest::newRow("three answers in one read") << three << 1000 << 3;
    QTest::newRow("byte by byte") << three << 1 << 3;
    QTest::newRow("split inside the prefix") << three << 1 + a.size() + 2 << 3;
    QTest::newRow("reads of 7 bytes") << three << 7 << 3;
    QTest::newRow("last answer incomplete") << three.chopped(1) << 5 << 2;
}

void TestDnsStreams::dotFrames()
{
    QFETCH(QByteArray, stream);
    QFETCH(int, piece);
    QFETCH(int, answers);
    const QList<QByteArray> out = readDot(stream, piece);
    QCOMPARE(out.size(), answers);
    // The answers come out whole and in stream order.
    QByteArray rebuilt;
    for (const QByteArray& answer : out)
        rebuilt += framed(answer);
    QVERIFY(stream.startsWith(rebuilt));
    QCOMPARE(M::id(out.first()), quint16(1));
}

void TestDnsStreams::dotFrameOfQuery()
{
    // A 29-byte query goes out as 00 1D and the query; marked, 00 2C and 44 bytes.
    const QByteArray query = M::query(0x0102, QStringLiteral("abc.example"), 1);
    QCOMPARE(query.size(), 29);
    const QByteArray frame = DotFrameReader::frame(query);
    QCOMPARE(frame.left(2).toHex(), QByteArray("001d"));
    QCOMPARE(frame.mid(2), query);
    QByteArray marked = query;
    marked.append(QByteArray(15, 'x'));
    QCOMPARE(DotFrameReader::frame(marked).left(2).toHex(), QByteArray("002c"));
    QVERIFY(DotFrameReader::frame(QByteArray(65536, 'x')).isEmpty());
}

void TestDnsStreams::dotPartialHeld()
{
    DotFrameReader reader;
    QVERIFY(reader.append(QByteArray::fromHex("0010") + QByteArray(5, 'x')).isEmpty());
    QCOMPARE(reader.buffered(), 7);
    reader.clear();
    QCOMPARE(reader.buffered(), 0);
    // A zero-length frame comes out empty and does not stop the stream.
    const QList<QByteArray> out = reader.append(QByteArray::fromHex("0000") + framed("abc"));
    QCOMPARE(out, (QList<QByteArray>{QByteArray(), QByteArray("abc")}));
}

void TestDnsStreams::httpResponses_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("piece");
    QTest::addColumn<bool>("close");
    QTest::addColumn<QList<int>>("statuses");
    QTest::addColumn<QList<QByteArray>>("bodies");

    const QByteArray a = M::answerA(M::query(1, QStringLiteral("a.example")), QStringLiteral("192.0.2.1"));
    const QByteArray b = M::answerA(M::query(2, QStringLiteral("bb.example")), QStringLiteral("192.0.2.2"));
    const QByteArray body45 = QByteArray(45, 'z');
    QTest::newRow("one response, one read (45-byte body)")
        << http(body45) << 10000 << false << QList<int>{200} << QList<QByteArray>{body45};
    QTest::newRow("headers in one read, body in the next")
        << http(a) << http(a).indexOf("\r\n\r\n") + 4 << false << QList<int>{200} << QList<QByteArray>{a};
    QTest::newRow("two responses in one read")
        << QByteArray(http(a) + http(b)) << 10000 << false << QList<int>{200, 200} << QList<QByteArray>{a, b};
    QTest::newRow("byte by byte") << QByteArray(http(a) + http(b)) << 1 << false << QList<int>{200, 200}
                                  << QList<QByteArray>{a, b};
    QTest::newRow("chunked") << QByteArray(chunked(a, 10) + http(b)) << 13 << false << QList<int>{200, 200}
                             << QList<QByteArray>{a, b};
    // Chunk-size and trailer lines found where their CR LF is cut apart.
    QTest::newRow("chunked, byte by byte") << QByteArray(chunked(a, 10) + http(b)) << 1 << false
                                           << QList<int>{200, 200} << QList<QByteArray>{a, b};
    QTest::newRow("interim 100 before the response") << QByteArray("HTTP/1.1 100 Continue\r\n\r\n" + http(a))
                                                     << 4 << false << QList<int>{200} << QList<QByteArray>{a};
    QTest::newRow("error status keeps the stream")
        << QByteArray(http("Bad Request", QByteArray(), 400) + http(b)) << 10000 << false
        << QList<int>{400, 200} << QList<QByteArray>{"Bad Request", b};
    QTest::newRow("204 has no body")
        << QByteArray(QByteArray("HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n") + http(a)) << 10000
        << false << QList<int>{204, 200} << QList<QByteArray>{QByteArray(), a};
    QTest::newRow("body delimited by the close")
        << QByteArray("HTTP/1.0 200 OK\r\nConnection: close\r\n\r\n" + a) << 9 << true << QList<int>{200}
        << QList<QByteArray>{a};
    QTest::newRow("no header fields at all") << QByteArray("HTTP/1.1 200 OK\r\n\r\n" + a) << 100 << true
                                             << QList<int>{200} << QList<QByteArray>{a};
    QTest::newRow("incomplete body") << http(a).chopped(3) << 10000 << true << QList<int>{}
                                     << QList<QByteArray>{};
    QTest::newRow("empty line between responses, byte by byte")
        << QByteArray(http(a) + "\r\n" + http(b)) << 1 << false << QList<int>{200, 200}
        << QList<QByteArray>{a, b};
    QTest::newRow("lower-case and repeated equal Content-Length")
        << QByteArray("HTTP/1.1 200 OK\r\ncontent-length: 3\r\nContent-Length:3\r\n\r\nabc") << 10000 << false
        << QList<int>{200} << QList<QByteArray>{"abc"};
}

void TestDnsStreams::httpResponses()
{
    QFETCH(QByteArray, stream);
    QFETCH(int, piece);
    QFETCH(bool, close);
    QFETCH(QList<int>, statuses);
    QFETCH(QList<QByteArray>, bodies);
    QString error;
    const QList<HttpResponseReader::Response> out = readHttp(stream, piece, close, &error);
    QCOMPARE(error, QString());
    QList<int> gotStatuses;
    QList<QByteArray> gotBodies;
    for (const auto& response : out) {
        gotStatuses.append(response.status);
        gotBodies.append(response.body);
    }
    QCOMPARE(gotStatuses, statuses);
    QCOMPARE(gotBodies, bodies);
}

void TestDnsStreams::httpBroken_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("answersBefore");
    const QByteArray a = M::answerA(M::query(1, QStringLiteral("a.example")), QStringLiteral("192.0.2.1"));
    QTest::newRow("raw DNS instead of HTTP") << a << QString("not an HTTP response") << 0;
    QTest::newRow("garbage after a good response")
        << QByteArray(http(a) + "\x01\x02garbage") << QString("not an HTTP response") << 1;
    QTest::newRow("bad status code") << QByteArray("HTTP/1.1 2x0 OK\r\n\r\n") << QString("bad status code")
                                     << 0;
    QTest::newRow("header line without colon")
        << QByteArray("HTTP/1.1 200 OK\r\nbroken\r\n\r\n") << QString("bad header line: broken") << 0;
    QTest::newRow("negative Content-Length")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n") << QString("bad Content-Length") << 0;
    QTest::newRow("conflicting Content-Length")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n")
        << QString("conflicting Content-Length") << 0;
    QTest::newRow("body too large") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 65536\r\n\r\n")
                                    << QString("body too large") << 0;
    QTest::newRow("endless header") << QByteArray("HTTP/1.1 200 OK\r\nX: " + QByteArray(20000, 'a'))
                                    << "header too large" << 0;
    QTest::newRow("bad chunk size") << QByteArray(
                                           "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n")
                                    << QString("bad chunk size") << 0;
    QTest::newRow("chunk without CR LF")
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcXX")
        << "chunk not followed by CR LF" << 0;
    QTest::newRow("unknown transfer coding")
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n")
        << QString("unsupported Transfer-Encoding") << 0;
    QTest::newRow("protocol switch") << QByteArray("HTTP/1.1 101 Switching\r\n\r\n")
                                     << "unexpected protocol switch" << 0;
}

void TestDnsStreams::httpBroken()
{
    QFETCH(QByteArray, stream);
    QFETCH(QString, error);
    QFETCH(int, answersBefore);
    QString got;
    const auto out = readHttp(stream, 10000, true, &got);
    QCOMPARE(got, error);
    QCOMPARE(out.size(), answersBefore);
}

void TestDnsStreams::httpBodyDecoding_data()
{
    QTest::addColumn<QByteArray>("coding");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("decoded");
    const QByteArray a = M::answerA(M::query(1, QStringLiteral("a.example")), QStringLiteral("192.0.2.1"));
    QTest::newRow("none") << QByteArray() << a << true << a;
    QTest::newRow("identity") << QByteArray("identity") << a << true << a;
    QTest::newRow("gzip") << QByteArray("gzip") << gzip(a) << true << a;
    QTest::newRow("deflate (zlib)") << QByteArray("deflate") << qCompress(a).mid(4) << true << a;
    QTest::newRow("gzip, cut short") << QByteArray("gzip") << gzip(a).chopped(4) << false << QByteArray();
    QTest::newRow("gzip, garbage") << QByteArray("gzip") << QByteArray("not gzip at all") << false
                                   << QByteArray();
    QTest::newRow("unknown coding") << QByteArray("br") << a << false << QByteArray();
    QTest::newRow("inflates too far")
        << QByteArray("gzip") << gzip(QByteArray(70000, 'a')) << false << QByteArray();
}

void TestDnsStreams::httpBodyDecoding()
{
    QFETCH(QByteArray, coding);
    QFETCH(QByteArray, body);
    QFETCH(bool, ok);
    QFETCH(QByteArray, decoded);
    QByteArray out;
    QCOMPARE(HttpResponseReader::decodeBody(coding, body, out), ok);
    if (ok)
        QCOMPARE(out, decoded);
}

void TestDnsStreams::dohRequestBytes_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("length");
    const QByteArray query = M::query(0x0102, QStringLiteral("abc.example"), 1);
    QTest::newRow("29 bytes unmarked") << query << QByteArray("29");
    QTest::newRow("44 bytes marked") << QByteArray(query + QByteArray(15, '\x01')) << QByteArray("44");
}

void TestDnsStreams::dohRequestBytes()
{
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, length);
    const QByteArray request = DohRemoteServer::buildHttpRequest(QStringLiteral("doh.corvane.test"),
                                                                 QStringLiteral("UA/1 (OS)"), message);
    const QByteArray expectedHead = "POST / HTTP/1.1\r\n"
                                    "Host: doh.corvane.test\r\n"
                                    "Accept: application/dns-message\r\n"
                                    "Content-Type: application/dns-message\r\n"
                                    "Content-Length: " +
                                    length +
                                    "\r\n"
                                    "Connection: Keep-Alive\r\n"
                                    "Accept-Encoding: gzip, deflate\r\n"
                                    "Accept-Language: ru-RU,en,*\r\n"
                                    "User-Agent: UA/1 (OS)\r\n"
                                    "\r\n";
    QCOMPARE(request, expectedHead + message);
    QVERIFY(request.endsWith(message));
}

QTEST_GUILESS_MAIN(TestDnsStreams)
#include "tst_dnsstreams.moc"
