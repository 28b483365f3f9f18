#include "blockpage/BlockPage.h"
#include "settings/ConstData.h"
#include "settings/UserData.h"

#include <QDir>
#include <QLocale>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QThread>
#include <QtTest>

#include <vector>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// A block page server on a thread of its own, as the agent runs it.
class RunningBlockPage
{
public:
    explicit RunningBlockPage(quint16 port, int timeoutMs = BlockPage::defaultRequestTimeoutMs,
                              int maxConnections = BlockPage::defaultMaxConnections)
        : page(new BlockPage(port))
    {
        page->setRequestTimeoutMs(timeoutMs);
        page->setMaxConnections(maxConnections);
        page->moveToThread(&thread);
        QObject::connect(&thread, &QThread::started, page, &BlockPage::slotStart);
        thread.start();
    }
    ~RunningBlockPage()
    {
        QMetaObject::invokeMethod(page, &QObject::deleteLater);
        thread.quit();
        thread.wait();
    }
    bool waitListening() const
    {
        return QTest::qWaitFor([this] { return page->serverPort() != 0; }, 5000);
    }
    quint16 port() const { return page->serverPort(); }

    QThread thread;
    BlockPage* page;
};

// Reads everything until the server closes the connection.
QByteArray readUntilClosed(QTcpSocket& socket)
{
    QByteArray all;
    // The callers judge what arrived; a connection left open shows there.
    static_cast<void>(QTest::qWaitFor(
        [&socket, &all] {
            all += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        10000));
    all += socket.readAll();
    return all;
}

// One whole request on a fresh connection; the answer's bytes.
QByteArray askOnce(quint16 port)
{
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    if (!client.waitForConnected(5000))
        return QByteArray();
    client.write("GET /?blockpage=blockpage.corvane.test&hostname=h&url=u HTTP/1.1\r\n\r\n");
    return readUntilClosed(client);
}

} // namespace

class TestBlockPage : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void createUrl_data();
    void createUrl();
    void requestEnd_data();
    void requestEnd();
    void nocacheHeadersInEnglishWhateverTheLocale();
    void redirectResponseBytes();
    void requestInSegmentsGetsOneRedirect();
    void tokenOfTheMachineIsUsed();
    void malformedRequestStillRedirected_data();
    void malformedRequestStillRedirected();
    void incompleteRequestIsClosed();
    void oversizedRequestIsRefused();
    void answerSurvivesBytesLeftUnread();
    void peerThatNeverClosesIsDropped();
    void portInUseLeavesServerIdle();
    void idleConnectionsBeyondTheCap_data();
    void idleConnectionsBeyondTheCap();
    void acceptErrorDoesNotEndServer();
};

void TestBlockPage::initTestCase()
{
    UserData::resetMemoryState();
}

void TestBlockPage::createUrl_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("token");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("scheme");

    const QByteArray headers = "\r\nHost: 127.0.0.1:13107\r\nUser-Agent: curl/7.88.1\r\n\r\n";
    QTest::newRow("example") << QByteArray("GET /?blockpage=B&hostname=H&url=U HTTP/1.1") + headers << 12345
                             << "http://B/blocked?hostname=H&token=12345&url=U"
                             << "http";
    QTest::newRow("marker inside the block page host")
        << QByteArray("GET /?blockpage=blockpage-tls.corvane.test&hostname=ads.example&url=ads.example/x "
                      "HTTP/1.1") +
               headers
        << 7 << "https://blockpage-tls.corvane.test/blocked?hostname=ads.example&token=7&url=ads.example/x"
        << "https";
    QTest::newRow("marker at the very start of the query")
        << QByteArray("GET /?blockpage-tls=1&blockpage=B&hostname=H&url=U HTTP/1.1") + headers << 7
        << "http://B/blocked?hostname=H&token=7&url=U"
        << "http";
    QTest::newRow("no token") << QByteArray("GET /?blockpage=B&hostname=H&url=U HTTP/1.1") + headers << -1
                              << "http://B/blocked?hostname=H&token=&url=U"
                              << "http";
    QTest::newRow("negative token") << QByteArray("GET /?blockpage=B&hostname=H&url=U HTTP/1.1") + headers
                                    << -7 << "http://B/blocked?hostname=H&token=-7&url=U"
                                    << "http";
    QTest::newRow("repeated hostname, last wins")
        << QByteArray("GET /?hostname=first&blockpage=B&hostname=last&url=U HTTP/1.1") + headers << 1
        << "http://B/blocked?hostname=last&token=1&url=U"
        << "http";
    QTest::newRow("url with its own query is ignored")
        << QByteArray("GET /?blockpage=B&hostname=H&url=http://H/p?q=1 HTTP/1.1") + headers << 1
        << "http://B/blocked?hostname=H&token=1&url="
        << "http";
    QTest::newRow("percent-encoded values kept as they stand")
        << QByteArray("GET /?blockpage=B&hostname=H&url=http%3A%2F%2FH%2Fa%20b HTTP/1.1") + headers << 1
        << "http://B/blocked?hostname=H&token=1&url=http%3A%2F%2FH%2Fa%20b"
        << "http";
    QTest::newRow("empty pieces skipped")
        << QByteArray("GET /?&&blockpage=B&&hostname=H&&url=U& HTTP/1.1") + headers << 1
        << "http://B/blocked?hostname=H&token=1&url=U"
        << "http";
    QTest::newRow("piece without a value ignored")
        << QByteArray("GET /?blockpage=B&hostname=&url=U&flag HTTP/1.1") + headers << 1
        << "http://B/blocked?hostname=&token=1&url=U"
        << "http";
    QTest::newRow("no parameters") << QByteArray("GET / HTTP/1.1") + headers << 1
                                   << "http:///blocked?hostname=&token=1&url="
                                   << "http";
    // Without "GET /?" the query is taken from the sixth character on, so the
    // first parameter's name carries "/?" and is not recognised.
    QTest::newRow("not a GET: query from the sixth character")
        << QByteArray("POST /?blockpage=B&hostname=H&url=U HTTP/1.1") + headers << 1
        << "http:///blocked?hostname=H&token=1&url=U"
        << "http";
    QTest::newRow("UTF-8 host name") << QByteArray("GET /?blockpage=B&hostname=пример.рф&url=U HTTP/1.1") +
                                            headers
                                     << 1
                                     << QString::fromUtf8("http://B/blocked?hostname=пример.рф&token=1&url=U")
                                     << "http";
}

void TestBlockPage::createUrl()
{
    QFETCH(QByteArray, request);
    QFETCH(int, token);
    QFETCH(QString, url);
    QFETCH(QString, scheme);

    QString chosen;
    QCOMPARE(BlockPage::createUrl(request, token, &chosen), url);
    QCOMPARE(chosen, scheme);
}

void TestBlockPage::requestEnd_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<int>("end");

    QTest::newRow("complete") << QByteArray("GET / HTTP/1.1\r\nHost: a\r\n\r\n") << 27;
    QTest::newRow("body after headers") << QByteArray("GET / HTTP/1.1\r\n\r\nxyz") << 18;
    QTest::newRow("request line only") << QByteArray("GET / HTTP/1.1\r\n") << -1;
    QTest::newRow("headers cut") << QByteArray("GET / HTTP/1.1\r\nHost: a\r\n\r") << -1;
    QTest::newRow("bare line feeds") << QByteArray("GET / HTTP/1.1\nHost: a\n\n") << 24;
    QTest::newRow("empty") << QByteArray() << -1;
}

void TestBlockPage::requestEnd()
{
    QFETCH(QByteArray, buffer);
    QFETCH(int, end);
    QCOMPARE(BlockPage::requestEnd(buffer), end);
}

void TestBlockPage::nocacheHeadersInEnglishWhateverTheLocale()
{
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const QDateTime moment(QDate(2024, 5, 6), QTime(10, 15, 2), Qt::UTC);
    const QString headers = BlockPage::nocacheHeaders(moment);
    // The same moment given in another time zone gives the same line.
    const QString fromOffset = BlockPage::nocacheHeaders(moment.toOffsetFromUtc(3 * 3600));
    QLocale::setDefault(previous);
    QCOMPARE(headers, QStringLiteral("Date: Mon, 06 May 2024 10:15:02 GMT\r\n"
                                     "Cache-Control: no-cache,no-store,max-age=0,must-revalidate\r\n"));
    QCOMPARE(fromOffset, headers);
}

void TestBlockPage::redirectResponseBytes()
{
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
    const QDateTime moment(QDate(2023, 12, 31), QTime(23, 59, 59), Qt::UTC);
    const QByteArray response = BlockPage::redirectResponse(
        QUrl(QStringLiteral("http://blockpage.corvane.test/blocked?hostname=ads.example&token=42&url=a b")),
        moment);
    QLocale::setDefault(previous);
    QCOMPARE(response,
             QByteArray("HTTP/1.1 303 See Other\r\n"
                        "Location: http://blockpage.corvane.test/blocked?hostname=ads.example&token=42"
                        "&url=a%20b\r\n"
                        "Connection: close\r\n"
                        "Date: Sun, 31 Dec 2023 23:59:59 GMT\r\n"
                        "Cache-Control: no-cache,no-store,max-age=0,must-revalidate\r\n"
                        "\r\n\r\n"));
}

void TestBlockPage::requestInSegmentsGetsOneRedirect()
{
    UserData::setToken(4711);
    RunningBlockPage server(0, 5000);
    QVERIFY(server.waitListening());
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(client.waitForConnected(5000));

    const QByteArray request =
        "GET /?blockpage=blockpage.corvane.test&hostname=ads.example&url=ads.example/banner "
        "HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\n\r\n";
    // Three segments, each on its way before the next is written.
    const QList<int> cuts{10, 70, request.size()};
    int from = 0;
    for (int cut : cuts) {
        client.write(request.mid(from, cut - from));
        QVERIFY(client.waitForBytesWritten(5000));
        from = cut;
        if (cut != request.size())
            QVERIFY(!client.waitForReadyRead(100)); // nothing answered for a part
    }
    const QByteArray all = readUntilClosed(client);
    QCOMPARE(all.count("HTTP/1.1 303 See Other"), 1);
    QVERIFY2(
        all.startsWith("HTTP/1.1 303 See Other\r\nLocation: http://blockpage.corvane.test/blocked?"
                       "hostname=ads.example&token=4711&url=ads.example/banner\r\nConnection: close\r\n"),
        all.constData());
    QVERIFY(all.endsWith("must-revalidate\r\n\r\n\r\n"));
}

void TestBlockPage::tokenOfTheMachineIsUsed()
{
    UserData::setToken(99);
    RunningBlockPage server(0, 5000);
    QVERIFY(server.waitListening());
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(client.waitForConnected(5000));
    client.write("GET /?blockpage=blockpage-tls.corvane.test&hostname=h&url=u HTTP/1.1\r\n\r\n");
    const QByteArray all = readUntilClosed(client);
    QVERIFY2(
        all.contains("Location: https://blockpage-tls.corvane.test/blocked?hostname=h&token=99&url=u\r\n"),
        all.constData());
}

void TestBlockPage::malformedRequestStillRedirected_data()
{
    QTest::addColumn<QByteArray>("request");
    // Empty: refused with 400 and no token.
    QTest::addColumn<QByteArray>("location");

    QTest::newRow("no query") << QByteArray("GET / HTTP/1.1\r\n\r\n") << QByteArray();
    QTest::newRow("binary garbage") << QByteArray::fromHex("00ff10fe0d0a0d0a") << QByteArray();
    // Without " HTTP" the header lines fall into the query; their line breaks
    // must not reach the response unencoded.
    QTest::newRow("no protocol word")
        << QByteArray("GET /?blockpage=blockpage.corvane.test&hostname=H&url=U\r\nX-A: b\r\n\r\n")
        << QByteArray("Location: http://blockpage.corvane.test/blocked?hostname=H&token=5&url=U%0D%0AX-A:"
                      "%20b%0D%0A%0D%0A\r\n");
    QTest::newRow("the service domain itself")
        << QByteArray("GET /?blockpage=Corvane.Test.&hostname=H&url=U HTTP/1.1\r\n\r\n")
        << QByteArray("Location: http://corvane.test./blocked?hostname=H&token=5&url=U\r\n");
    // Any web page can send a browser here: only the service's hosts get the token.
    const auto foreign = [](const char* value) -> QByteArray {
        return QByteArray("GET /?blockpage=") + value + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    };
    QTest::newRow("foreign host") << foreign("evil.example&hostname=H&url=U") << QByteArray();
    QTest::newRow("service name as a prefix") << foreign("corvane.test.evil.example&url=U") << QByteArray();
    QTest::newRow("name ending like the domain") << foreign("evilcorvane.test&url=U") << QByteArray();
    QTest::newRow("path hiding the domain") << foreign("evil.example/x.corvane.test&url=U") << QByteArray();
    QTest::newRow("user info hiding the host")
        << foreign("blockpage.corvane.test@evil.example") << QByteArray();
    QTest::newRow("fragment") << foreign("evil.example%23.corvane.test") << QByteArray();
    QTest::newRow("backslash") << foreign("evil.example\\.corvane.test") << QByteArray();
    QTest::newRow("empty value") << foreign("&hostname=H") << QByteArray();
}

void TestBlockPage::malformedRequestStillRedirected()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, location);

    UserData::setToken(5);
    RunningBlockPage server(0, 5000);
    QVERIFY(server.waitListening());
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(client.waitForConnected(5000));
    client.write(request);
    const QByteArray all = readUntilClosed(client);
    if (location.isEmpty()) {
        QVERIFY2(all.startsWith("HTTP/1.1 400 Bad Request\r\n"), all.constData());
        QVERIFY2(!all.contains("token") && !all.contains("Location"), all.constData());
        return;
    }
    QVERIFY2(all.startsWith("HTTP/1.1 303 See Other\r\n"), all.constData());
    QVERIFY2(all.contains(location), all.constData());
    // Every header line ends where it should: no injected lines.
    const QByteArray head = all.left(all.indexOf("\r\n\r\n"));
    QCOMPARE(head.count("\r\n"), 4);
}

void TestBlockPage::incompleteRequestIsClosed()
{
    RunningBlockPage server(0, 200);
    QVERIFY(server.waitListening());
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(client.waitForConnected(5000));
    QTest::ignoreMessage(QtWarningMsg, "Request incomplete, closing");
    client.write("GET /?blockpage=B&hostname=H HTTP/1.1\r\nHost: x\r\n");
    const QByteArray all = readUntilClosed(client);
    QCOMPARE(client.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(all, QByteArray());
}

void TestBlockPage::oversizedRequestIsRefused()
{
    RunningBlockPage server(0, 5000);
    QVERIFY(server.waitListening());
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(client.waitForConnected(5000));
    QTest::ignoreMessage(QtWarningMsg, "Request too large, closing");
    client.write("GET /?blockpage=B&hostname=H&url=" + QByteArray(2 * 1024 * 1024, 'a') +
                 " HTTP/1.1\r\n\r\n");
    const QByteArray all = readUntilClosed(client);
    QVERIFY2(all.startsWith("HTTP/1.1 431 "), all.left(100).constData());
    QCOMPARE(all.count("HTTP/1.1"), 1);
}

void TestBlockPage::answerSurvivesBytesLeftUnread()
{
    // A request followed by more than the server reads (a body it has no use
    // for): the redirect must still arrive whole, not be lost to a reset.
    UserData::setToken(8);
    RunningBlockPage server(0, 5000);
    QVERIFY(server.waitListening());
    for (int round = 0; round < 5; ++round) {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, server.port());
        QVERIFY(client.waitForConnected(5000));
        client.write("GET /?blockpage=blockpage.corvane.test&hostname=H&url=U HTTP/1.1\r\n\r\n" +
                     QByteArray(4 * 1024 * 1024, 'b'));
        const QByteArray all = readUntilClosed(client);
        QVERIFY2(
            all.startsWith("HTTP/1.1 303 See Other\r\nLocation: "
                           "http://blockpage.corvane.test/blocked?hostname=H&token=8&url=U\r\n"),
            qPrintable(QStringLiteral("round %1: %2").arg(round).arg(QString::fromLatin1(all.left(100)))));
    }
    // Each peer closed after reading the end of the answer; the server let go.
    QTRY_COMPARE(server.page->connectionCount(), 0);
}

void TestBlockPage::peerThatNeverClosesIsDropped()
{
    // After its answer the server only waits for the peer to close; a peer
    // that never does may not hold the connection past the deadline.
    RunningBlockPage server(0, 300);
    QVERIFY(server.waitListening());
    QTcpSocket client;
    // A one-byte read buffer: the client stops reading after the first byte
    // and never sees the end of the answer, so it never closes its side.
    client.setReadBufferSize(1);
    client.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(client.waitForConnected(5000));
    QTest::ignoreMessage(QtDebugMsg, "Answer not taken, closing");
    client.write("GET /?blockpage=B&hostname=H&url=U HTTP/1.1\r\n\r\n");
    QVERIFY(client.waitForReadyRead(5000)); // the answer has begun: accepted and answered
    QTRY_COMPARE_WITH_TIMEOUT(server.page->connectionCount(), 0, 10000);
    QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
}

void TestBlockPage::portInUseLeavesServerIdle()
{
    RunningBlockPage first(0);
    QVERIFY(first.waitListening());
    QTest::ignoreMessage(QtCriticalMsg, "HTTP (TCP) server is not started");
    {
        RunningBlockPage second(first.port());
        // The failure is logged on the server's thread; wait for it there.
        QVERIFY(QTest::qWaitFor([&second] { return second.thread.isRunning(); }, 5000));
        QMetaObject::invokeMethod(
            second.page, [] {}, Qt::BlockingQueuedConnection);
        QCOMPARE(second.port(), quint16(0));
    }
}

void TestBlockPage::idleConnectionsBeyondTheCap_data()
{
    QTest::addColumn<int>("cap");
    QTest::addColumn<int>("idle");
    QTest::newRow("50 beyond a cap of 20") << 20 << 70;
    QTest::newRow("50 beyond the default cap")
        << BlockPage::defaultMaxConnections << BlockPage::defaultMaxConnections + 50;
}

void TestBlockPage::idleConnectionsBeyondTheCap()
{
    QFETCH(int, cap);
    QFETCH(int, idle);
    UserData::setToken(7);
    // Deadlines far away: only the cap closes anything here.
    RunningBlockPage server(0, 60000, cap);
    QVERIFY(server.waitListening());
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < idle; ++i) {
        clients.push_back(std::make_unique<QTcpSocket>());
        clients.back()->connectToHost(QHostAddress::LocalHost, server.port());
        QVERIFY(clients.back()->waitForConnected(5000));
        // One at a time through the server, so that the order it sees is ours.
        QVERIFY(QTest::qWaitFor(
            [&] { return server.page->connectionCount() + server.page->droppedConnections() == i + 1; },
            5000));
    }
    QCOMPARE(server.page->connectionCount(), cap);
    QCOMPARE(server.page->droppedConnections(), idle - cap);

    // A browser's request after them is answered.
    const QByteArray answer = askOnce(server.port());
    QVERIFY2(answer.startsWith("HTTP/1.1 303 See Other\r\nLocation: http://blockpage.corvane.test/blocked?"),
             answer.constData());
    QVERIFY(server.page->connectionCount() <= cap);
    // Room was made by closing the oldest: exactly the first ones are gone.
    const int closed = server.page->droppedConnections();
    QVERIFY(closed >= idle - cap + 1);
    QVERIFY(QTest::qWaitFor(
        [&] {
            for (int i = 0; i < closed && i < idle; ++i) {
                if (clients.at(size_t(i))->state() != QAbstractSocket::UnconnectedState)
                    return false;
            }
            return true;
        },
        5000));
    for (int i = closed; i < idle; ++i)
        QCOMPARE(clients.at(size_t(i))->state(), QAbstractSocket::ConnectedState);
    QVERIFY(server.thread.isRunning());
}

void TestBlockPage::acceptErrorDoesNotEndServer()
{
#ifdef Q_OS_WIN
    QSKIP("no per-process descriptor limit on Windows");
#else
    // In a process of its own: what other tests left behind (sockets closed
    // later, descriptors freed meanwhile) must not give the server room.
    // UndefinedBehaviorSanitizer's vptr check probes memory through a pipe of
    // its own: with no descriptor left, every check reports an invalid object.
    // The Release and ThreadSanitizer runs keep this test.
    if (qEnvironmentVariableIsSet("UBSAN_OPTIONS"))
        QSKIP("UBSan's checks need free descriptors of their own");
    if (qEnvironmentVariableIsEmpty("CORVANE_BLOCKPAGE_LOW_LIMIT")) {
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("CORVANE_BLOCKPAGE_LOW_LIMIT"), QStringLiteral("1"));
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("acceptErrorDoesNotEndServer")});
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        return;
    }
    UserData::setToken(8);
    RunningBlockPage server(0, 60000, 1000);
    QVERIFY(server.waitListening());
    // Client sockets made while descriptors are plenty; connecting them
    // later needs none, while each accept on the server side needs one.
    constexpr int connections = 40;
    std::vector<int> raw;
    for (int i = 0; i < connections; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        QVERIFY(fd >= 0);
        raw.push_back(fd);
    }
    struct Restore
    {
        rlimit saved{};
        std::vector<int>* fds;
        ~Restore()
        {
            ::setrlimit(RLIMIT_NOFILE, &saved);
            for (int fd : *fds)
                ::close(fd);
        }
    } restore{{}, &raw};
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &restore.saved), 0);
    // Exactly a few descriptors left: the limit just above the highest one
    // open, and every free number below it taken by a copy of stderr.
    int highest = 0;
    const QStringList entries =
        QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
    for (const QString& entry : entries)
        highest = qMax(highest, entry.toInt());
    constexpr int left = 3;
    rlimit low = restore.saved;
    low.rlim_cur = rlim_t(highest + 1 + left);
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fillers;
    for (int fd = ::dup(2); fd >= 0; fd = ::dup(2))
        fillers.push_back(fd);
    QVERIFY(int(fillers.size()) >= left);
    for (int i = 0; i < left; ++i) {
        ::close(fillers.back());
        fillers.pop_back();
    }
    raw.insert(raw.end(), fillers.begin(), fillers.end());
    const size_t clients = raw.size() - fillers.size();

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(server.port());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (size_t i = 0; i < clients; ++i)
        ::connect(raw[i], reinterpret_cast<const sockaddr*>(&to), sizeof to);
    // The server runs out of descriptors accepting them.
    QTRY_VERIFY_WITH_TIMEOUT(server.page->acceptErrors() > 0, 10000);
    for (int fd : raw)
        ::close(fd);
    raw.clear();
    // Still at the low limit: the server accepts again by itself and answers.
    const QByteArray answer = askOnce(server.port());
    QVERIFY2(answer.startsWith("HTTP/1.1 303 See Other\r\n"), answer.constData());
    QVERIFY(server.thread.isRunning());
#endif
}

QTEST_GUILESS_MAIN(TestBlockPage)
#include "tst_blockpage.moc"
