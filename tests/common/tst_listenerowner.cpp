#include "common/ListenerOwner.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <unistd.h>

namespace {

const QByteArray header4 =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
const QByteArray header6 =
    "  sl  local_address                         remote_address                        st "
    "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";

// One row as the kernel writes it; the port 49101 is BFCD.
QByteArray row(const char* local, const char* state, int uid, int inode, const char* remote = nullptr)
{
    const bool v6 = std::strlen(local) > 13;
    const QByteArray peer =
        remote ? QByteArray(remote)
               : (v6 ? QByteArray("00000000000000000000000000000000:0000") : QByteArray("00000000:0000"));
    return QByteArray("   0: ") + local + ' ' + peer + ' ' + state +
           " 00000000:00000000 00:00000000 00000000 " + QByteArray::number(uid) + "        0 " +
           QByteArray::number(inode) + " 1 0000000000000000 100 0 0 10 0\n";
}

const char* const loopback4 = "0100007F:BFCD";
const char* const any4 = "00000000:BFCD";
const char* const any6 = "00000000000000000000000000000000:BFCD";
const char* const mapped6 = "0000000000000000FFFF00000100007F:BFCD";
const char* const loopback6 = "00000000000000000000000001000000:BFCD";

// A process of the prepared /proc: its pid, the socket inode one of its
// descriptors holds, and the program its exe link names.
struct Process
{
    int pid;
    int inode;
    QByteArray exe;
};

} // namespace

Q_DECLARE_METATYPE(QList<Process>)

class TestListenerOwner : public QObject
{
    Q_OBJECT
private slots:
    void parseLine_data();
    void parseLine();
    void decision_data();
    void decision();
    void liveListenerOfThisProcess();
};

void TestListenerOwner::parseLine_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("v6");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("uid");

    const auto strip = [](const QByteArray& line) { return line.left(line.size() - 1); };
    QTest::newRow("loopback listener")
        << strip(row(loopback4, "0A", 0, 11)) << false << true << "127.0.0.1" << 49101 << 0;
    QTest::newRow("other user") << strip(row(any4, "0A", 65534, 12)) << false << true << "0.0.0.0" << 49101
                                << 65534;
    QTest::newRow("ipv6 loopback") << strip(row(loopback6, "0A", 0, 13)) << true << true << "::1" << 49101
                                   << 0;
    QTest::newRow("ipv4-mapped") << strip(row(mapped6, "0A", 1000, 14)) << true << true << "::ffff:127.0.0.1"
                                 << 49101 << 1000;
    QTest::newRow("ipv6 address in the ipv4 table")
        << strip(row(loopback6, "0A", 0, 13)) << false << false << "" << 0 << 0;
    QTest::newRow("ipv4 address in the ipv6 table")
        << strip(row(loopback4, "0A", 0, 13)) << true << false << "" << 0 << 0;
    QTest::newRow("too few fields") << QByteArray("   0: 0100007F:BFCD 00000000:0000 0A") << false << false
                                    << "" << 0 << 0;
    QTest::newRow("uid not a number") << QByteArray("   0: 0100007F:BFCD 00000000:0000 0A 00000000:00000000 "
                                                    "00:00000000 00000000 root 0 11 1 0 100 0 0 10 0")
                                      << false << false << "" << 0 << 0;
    QTest::newRow("negative uid") << QByteArray("   0: 0100007F:BFCD 00000000:0000 0A 00000000:00000000 "
                                                "00:00000000 00000000 -1 0 11 1 0 100 0 0 10 0")
                                  << false << false << "" << 0 << 0;
    QTest::newRow("uid beyond 32 bits")
        << QByteArray("   0: 0100007F:BFCD 00000000:0000 0A 00000000:00000000 "
                      "00:00000000 00000000 4294967296 0 11 1 0 100 0 0 10 0")
        << false << false << "" << 0 << 0;
    QTest::newRow("port of five digits")
        << QByteArray("   0: 0100007F:1BFCD 00000000:0000 0A 00000000:00000000 "
                      "00:00000000 00000000 0 0 11 1 0 100 0 0 10 0")
        << false << false << "" << 0 << 0;
    QTest::newRow("address not hexadecimal") << QByteArray("   0: 0100007G:BFCD 00000000:0000 0A "
                                                           "00000000:00000000 00:00000000 00000000 0 0 11")
                                             << false << false << "" << 0 << 0;
    QTest::newRow("state of three digits") << QByteArray("   0: 0100007F:BFCD 00000000:0000 0A0 "
                                                         "00000000:00000000 00:00000000 00000000 0 0 11")
                                           << false << false << "" << 0 << 0;
    QTest::newRow("slot without colon") << QByteArray("   0 0100007F:BFCD 00000000:0000 0A 00000000:00000000 "
                                                      "00:00000000 00000000 0 0 11")
                                        << false << false << "" << 0 << 0;
    QTest::newRow("control character") << QByteArray("   0: 0100007F:BFCD 00000000:0000 0A 00000000:00000000 "
                                                     "00:00000000 00000000 0 0 11\r")
                                       << false << false << "" << 0 << 0;
    QTest::newRow("overlong line") << strip(row(loopback4, "0A", 0, 11)) + QByteArray(600, ' ') << false
                                   << false << "" << 0 << 0;
}

void TestListenerOwner::parseLine()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, v6);
    QFETCH(bool, valid);
    ListenerOwner::Socket socket;
    QCOMPARE(ListenerOwner::parseProcNetLine(line, v6, socket), valid);
    if (!valid)
        return;
    QFETCH(QString, address);
    QFETCH(int, port);
    QFETCH(int, uid);
    QCOMPARE(socket.address, QHostAddress(address));
    QCOMPARE(int(socket.port), port);
    QCOMPARE(int(socket.uid), uid);
    QCOMPARE(socket.state, ListenerOwner::stateListen);
}

void TestListenerOwner::decision_data()
{
    QTest::addColumn<QByteArray>("tcp");
    // Empty: the machine has no IPv6 table.
    QTest::addColumn<QByteArray>("tcp6");
    QTest::addColumn<QList<Process>>("processes");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("trusted");
    QTest::addColumn<QString>("reason");

    const QByteArray agent = "/opt/corvane/agentcorvane";
    const QList<Process> agentHolds11{{412, 11, agent}};
    const QByteArray noV6;
    QTest::newRow("the agent as root")
        << header4 + row(loopback4, "0A", 0, 11) << header6 << agentHolds11 << "127.0.0.1" << true
        << "belongs to uid 0, program agentcorvane (pid 412)";
    QTest::newRow("the agent on the wildcard")
        << header4 + row(any4, "0A", 0, 11) << noV6 << agentHolds11 << "127.0.0.1" << true << "pid 412";
    QTest::newRow("the agent replaced on disk while it runs")
        << header4 + row(loopback4, "0A", 0, 11) << noV6 << QList<Process>{{412, 11, agent + " (deleted)"}}
        << "127.0.0.1" << true << "agentcorvane";
    QTest::newRow("owner not visible: uid decides") << header4 + row(loopback4, "0A", 0, 11) << noV6
                                                    << QList<Process>{} << "127.0.0.1" << true << "uid 0";
    QTest::newRow("squatter of another user")
        << header4 + row(loopback4, "0A", 65534, 21) << header6
        << QList<Process>{{900, 21, "/usr/bin/python3"}} << "127.0.0.1" << false << "belongs to uid 65534";
    QTest::newRow("root program that is not the agent")
        << header4 + row(loopback4, "0A", 0, 21) << noV6 << QList<Process>{{900, 21, "/usr/bin/nc.openbsd"}}
        << "127.0.0.1" << false << "held by the program \"nc.openbsd\" (pid 900)";
    QTest::newRow("a program named like the agent with a suffix")
        << header4 + row(loopback4, "0A", 0, 21) << noV6 << QList<Process>{{900, 21, "/tmp/agentcorvane-x"}}
        << "127.0.0.1" << false << "agentcorvane-x";
    QTest::newRow("the agent and a stranger share the socket")
        << header4 + row(loopback4, "0A", 0, 11) << noV6
        << QList<Process>{{412, 11, agent}, {901, 11, "/bin/sh"}} << "127.0.0.1" << false
        << "\"sh\" (pid 901)";
    QTest::newRow("no listener") << header4 + row(loopback4, "01", 0, 0, "0100007F:BFCD") << header6
                                 << QList<Process>{} << "127.0.0.1" << false
                                 << "nothing listens on 127.0.0.1:49101";
    QTest::newRow("listener on another port only")
        << header4 + row("0100007F:BFCE", "0A", 0, 11) << header6 << agentHolds11 << "127.0.0.1" << false
        << "nothing listens";
    QTest::newRow("listener on another loopback address only")
        << header4 + row("0200007F:BFCD", "0A", 0, 11) << header6 << agentHolds11 << "127.0.0.1" << false
        << "nothing listens";
    QTest::newRow("the agent on 127.0.0.1, a stranger on ::ffff:127.0.0.1")
        << header4 + row(loopback4, "0A", 0, 11) << header6 + row(mapped6, "0A", 1000, 31) << agentHolds11
        << "127.0.0.1" << false << "uid 1000";
    QTest::newRow("a stranger on the IPv6 wildcard")
        << header4 + row(loopback4, "0A", 0, 11) << header6 + row(any6, "0A", 1000, 31) << agentHolds11
        << "127.0.0.1" << false << "uid 1000";
    QTest::newRow("a stranger on ::1 does not take 127.0.0.1")
        << header4 + row(loopback4, "0A", 0, 11) << header6 + row(loopback6, "0A", 1000, 31) << agentHolds11
        << "127.0.0.1" << true << "uid 0";
    QTest::newRow("the agent on ::1")
        << header4 << header6 + row(loopback6, "0A", 0, 11) << agentHolds11 << "::1" << true << "pid 412";
    QTest::newRow("a stranger on ::1 for an IPv6 target")
        << header4 << header6 + row(loopback6, "0A", 1000, 31) << QList<Process>{} << "::1" << false
        << "uid 1000";
    QTest::newRow("malformed row") << header4 + row(loopback4, "0A", 0, 11) + "   1: garbage\n"
                                   << noV6 << agentHolds11 << "127.0.0.1" << false << "line 3 malformed";
    QTest::newRow("malformed IPv6 table") << header4 + row(loopback4, "0A", 0, 11) << header6 + "   0: x\n"
                                          << agentHolds11 << "127.0.0.1" << false << "tcp6 cannot be read";
    QTest::newRow("table cut short") << header4 + row(loopback4, "0A", 0, 11).chopped(1) << noV6
                                     << agentHolds11 << "127.0.0.1" << false << "line 2 malformed";
    QTest::newRow("no header") << row(loopback4, "0A", 0, 11) << noV6 << agentHolds11 << "127.0.0.1" << false
                               << "line 1 malformed";
    QTest::newRow("not a loopback target") << header4 + row(any4, "0A", 0, 11) << noV6 << agentHolds11
                                           << "192.0.2.1" << false << "not on this machine";
}

void TestListenerOwner::decision()
{
    QFETCH(QByteArray, tcp);
    QFETCH(QByteArray, tcp6);
    QFETCH(QList<Process>, processes);
    QFETCH(QString, target);
    QFETCH(bool, trusted);
    QFETCH(QString, reason);

    QTemporaryDir proc;
    QVERIFY(proc.isValid());
    QVERIFY(QDir(proc.path()).mkpath(QStringLiteral("net")));
    const auto write = [&](const QString& name, const QByteArray& contents) {
        QFile file(proc.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
    };
    QVERIFY(write(QStringLiteral("net/tcp"), tcp));
    if (!tcp6.isEmpty())
        QVERIFY(write(QStringLiteral("net/tcp6"), tcp6));
    for (const Process& process : processes) {
        const QString dir = proc.filePath(QString::number(process.pid));
        QVERIFY(QDir().mkpath(dir + QStringLiteral("/fd")));
        // Descriptors that are no socket, or another socket, come first.
        QVERIFY(QFile::link(QStringLiteral("/dev/null"), dir + QStringLiteral("/fd/0")));
        QVERIFY(QFile::link(QStringLiteral("socket:[999999]"), dir + QStringLiteral("/fd/1")));
        QVERIFY(QFile::link(QStringLiteral("socket:[%1]").arg(process.inode), dir + QStringLiteral("/fd/7")));
        QVERIFY(QFile::link(QString::fromUtf8(process.exe), dir + QStringLiteral("/exe")));
    }
    // Entries of /proc that are not processes are passed over.
    QVERIFY(QDir(proc.path()).mkpath(QStringLiteral("sys/fd")));

    ListenerOwner::Expectation expectation;
    expectation.procRoot = proc.path();
    const ListenerOwner::Verdict verdict = ListenerOwner::check(QHostAddress(target), 49101, expectation);
    QVERIFY2(verdict.trusted == trusted, qPrintable(verdict.reason));
    QVERIFY2(verdict.reason.contains(reason), qPrintable(verdict.reason));
}

void TestListenerOwner::liveListenerOfThisProcess()
{
    // The real tables of this machine: a listener this test holds is this
    // process's, and it is not the agent.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const quint16 port = server.serverPort();
    const ListenerOwner::Expectation self = ListenerOwner::Expectation::thisProcess();
    const ListenerOwner::Verdict mine = ListenerOwner::check(QHostAddress::LocalHost, port, self);
    QVERIFY2(mine.trusted, qPrintable(mine.reason));
    QVERIFY2(mine.reason.contains(QStringLiteral("pid %1").arg(::getpid())), qPrintable(mine.reason));

    ListenerOwner::Expectation agent = self;
    agent.program = QStringLiteral("agentcorvane");
    const ListenerOwner::Verdict notAgent = ListenerOwner::check(QHostAddress::LocalHost, port, agent);
    QVERIFY(!notAgent.trusted);
    QVERIFY2(notAgent.reason.contains(QStringLiteral("tst_listenerowner")), qPrintable(notAgent.reason));

    server.close();
    const ListenerOwner::Verdict closed = ListenerOwner::check(QHostAddress::LocalHost, port, self);
    QVERIFY(!closed.trusted);
    QVERIFY2(closed.reason.contains(QStringLiteral("nothing listens")), qPrintable(closed.reason));
}

QTEST_GUILESS_MAIN(TestListenerOwner)
#include "tst_listenerowner.moc"
