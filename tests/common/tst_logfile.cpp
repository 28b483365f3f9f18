#include "logging/LogFile.h"
#include "logging/LogFolder.h"
#include "logging/LogHex.h"
#include "logging/LogLine.h"
#include "logging/LogQueue.h"
#include "logging/LogStream.h"
#include "tests/testlib/LogCapture.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

class TestLogFile : public QObject
{
    Q_OBJECT

private slots:
    void lineFormat_data();
    void lineFormat();
    void queuedLinesMatchFormat();
    void hexAsQDebugPrintsIt_data();
    void hexAsQDebugPrintsIt();
    void streamAsQDebugPrintsIt_data();
    void streamAsQDebugPrintsIt();
    void streamSilentWhileCategoryOff();
    void fileName();
    void midnightSplit();
    void deletedFolderIsRecreated();
    void unwritableFolderLosesLineSilently();
    void concurrentLinesStayWholeAndInOrder();
    void criticalLineOnDiskBeforeReturn();
    void linesWrittenAtStop_data();
    void linesWrittenAtStop();
    void overloadDropsDebugFirst();
    void overloadReportedInFile();
    void folderBoundedAtStart_data();
    void folderBoundedAtStart();
    void fullDayContinuesInParts_data();
    void fullDayContinuesInParts();
};

// The file's text with line ends as written on Linux (text mode turns the
// CR LF of a Windows log back into LF).
static QByteArray readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QByteArray();
    return file.readAll();
}

static qint64 localMs(int year, int month, int day, int h, int m, int s, int ms)
{
    return QDateTime(QDate(year, month, day), QTime(h, m, s, ms), Qt::LocalTime).toMSecsSinceEpoch();
}

void TestLogFile::lineFormat_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("message");
    // The message as the line shows it.
    QTest::addColumn<QString>("shown");
    const QString create = QStringLiteral("CREATE");
    QTest::newRow("info") << int(QtInfoMsg) << create << create;
    QTest::newRow("debug") << int(QtDebugMsg) << create << create;
    QTest::newRow("warning") << int(QtWarningMsg) << create << create;
    QTest::newRow("critical") << int(QtCriticalMsg) << create << create;
    QTest::newRow("fatal") << int(QtFatalMsg) << create << create;
    QTest::newRow("unknown type") << 17 << create << create;
    // One message is one line, whatever a client put into it.
    QTest::newRow("forged line")
        << int(QtWarningMsg)
        << QStringLiteral("bad frame name x\n2024-05-01 10:15:02.031 | INF | MAIN: CREATE")
        << QStringLiteral("bad frame name x\\n2024-05-01 10:15:02.031 | INF | MAIN: CREATE");
    QTest::newRow("CR LF, tab") << int(QtDebugMsg) << QStringLiteral("Output: a\r\nb\tc")
                                << QStringLiteral("Output: a\\r\\nb\\tc");
    QTest::newRow("other controls") << int(QtInfoMsg)
                                    << QStringLiteral("nul\x00"
                                                      "esc\x1b[2Jdel\x7f")
                                    << QStringLiteral("nul\\x00esc\\x1b[2Jdel\\x7f");
    QTest::newRow("unicode line breaks")
        << int(QtInfoMsg) << QString::fromUtf8("a\u2028b\u2029c\u0085d \u00fc")
        << QString::fromUtf8("a\\u2028b\\u2029c\\x85d \u00fc");
    QTest::newRow("backslash stays") << int(QtInfoMsg) << QStringLiteral("\\HKEY_USERS\\.DEFAULT")
                                     << QStringLiteral("\\HKEY_USERS\\.DEFAULT");
    const QString longest(LogLine::messageLimit, QLatin1Char('a'));
    QTest::newRow("at the limit") << int(QtInfoMsg) << longest << longest;
    QTest::newRow("past the limit") << int(QtInfoMsg) << longest + QStringLiteral("bcd")
                                    << longest + LogLine::cutMarker(3);
    QTest::newRow("past the limit, escaped")
        << int(QtInfoMsg) << QString(LogLine::messageLimit, QLatin1Char('\n'))
        << QStringLiteral("\\n").repeated(LogLine::messageLimit / 2) +
               LogLine::cutMarker(LogLine::messageLimit / 2);
    // A character outside the BMP is never split by the cut.
    QTest::newRow("cut before a surrogate pair")
        << int(QtInfoMsg)
        << QString(LogLine::messageLimit - 1, QLatin1Char('a')) + QString::fromUcs4(U"\U0001F600") +
               QStringLiteral("z")
        << QString(LogLine::messageLimit - 1, QLatin1Char('a')) + QString::fromUcs4(U"\U0001F600") +
               LogLine::cutMarker(1);
}

void TestLogFile::lineFormat()
{
    QFETCH(int, type);
    QFETCH(QString, message);
    QFETCH(QString, shown);
    const QDateTime time(QDate(2024, 5, 1), QTime(10, 15, 2, 31));
    const auto msgType = static_cast<QtMsgType>(type);
    const QString expected = QStringLiteral("2024-05-01 10:15:02.031 | ") + LogLine::levelTag(msgType) +
                             QStringLiteral(" | MAIN: ") + shown + QLatin1Char('\n');
    QCOMPARE(LogLine::format(time, msgType, "MAIN", message), expected);
    // The writer's own path: the line built in the queue.
    LogQueue queue;
    QVERIFY(queue.push(msgType, time.toMSecsSinceEpoch(), "MAIN", message));
    const QVector<LogQueue::Chunk> chunks = queue.take(0);
    QCOMPARE(chunks.size(), 1);
    QCOMPARE(chunks.at(0).bytes, expected.toUtf8());
    QCOMPARE(chunks.at(0).bytes.count('\n'), 1);
}

void TestLogFile::queuedLinesMatchFormat()
{
    // The queue keeps the text of the current second: every change of the
    // millisecond, the second, the day and a step back must still show.
    const QList<qint64> times{localMs(2026, 12, 31, 23, 59, 58, 5),  localMs(2026, 12, 31, 23, 59, 58, 999),
                              localMs(2026, 12, 31, 23, 59, 59, 0),  localMs(2026, 12, 31, 23, 59, 59, 999),
                              localMs(2027, 1, 1, 0, 0, 0, 0),       localMs(2027, 1, 1, 0, 0, 0, 10),
                              localMs(2026, 12, 31, 23, 59, 59, 500)};
    const QString message = QStringLiteral("Größe %1");
    LogQueue queue;
    QByteArray before;
    QByteArray after;
    for (int i = 0; i < times.size(); ++i) {
        QVERIFY(queue.push(QtDebugMsg, times.at(i), "SNIFFERDNSUDP", message.arg(i)));
        const QDateTime local = QDateTime::fromMSecsSinceEpoch(times.at(i), Qt::LocalTime);
        (local.date().year() == 2026 ? before : after) +=
            LogLine::format(local, QtDebugMsg, "SNIFFERDNSUDP", message.arg(i)).toUtf8();
    }
    const QVector<LogQueue::Chunk> chunks = queue.take(0);
    // One batch across midnight: the last line goes back to the old day's file.
    QCOMPARE(chunks.size(), 3);
    QCOMPARE(chunks.at(0).day, QDate(2026, 12, 31));
    QCOMPARE(chunks.at(1).day, QDate(2027, 1, 1));
    QCOMPARE(chunks.at(2).day, QDate(2026, 12, 31));
    QCOMPARE(chunks.at(0).bytes + chunks.at(2).bytes, before);
    QCOMPARE(chunks.at(1).bytes, after);
}

void TestLogFile::hexAsQDebugPrintsIt_data()
{
    QTest::addColumn<QByteArray>("bytes");
    // Trailing bytes that print as "**" each: the token of an identity record.
    QTest::addColumn<int>("hidden");
    const QByteArray query =
        QByteArray::fromHex("12340100000100000000000003777777076578616d706c650474657374000001"
                            "0001");
    QTest::newRow("empty") << QByteArray() << 0;
    QTest::newRow("query") << query << 0;
    QTest::newRow("quote, backslash, nul") << QByteArray("\"\\\0\xff", 4) << 0;
    // The query as it goes to the resolver: the account's token never shows.
    QTest::newRow("marked query") << query + QByteArray::fromHex("00ffed000100000000000400bc614e") << 4;
    QTest::newRow("record of another type")
        << query + QByteArray::fromHex("00ffee000100000000000400bc614e") << 0;
    QTest::newRow("record too short for a message")
        << QByteArray::fromHex("00ffed000100000000000400bc614e") << 0;
}

void TestLogFile::hexAsQDebugPrintsIt()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, hidden);
    QByteArray hex = bytes.toHex();
    hex.replace(hex.size() - 2 * hidden, 2 * hidden, QByteArray(2 * hidden, '*'));
    QString expected;
    QDebug(&expected) << "writeDatagram" << hex << 7 << QByteArray("x");
    QString written;
    QDebug(&written) << "writeDatagram" << LogHex(bytes) << 7 << QByteArray("x");
    QCOMPARE(written, expected);
}

Q_LOGGING_CATEGORY(streamTest, "STREAMTEST")

void TestLogFile::streamAsQDebugPrintsIt_data()
{
    QTest::addColumn<QString>("text");
    // Also streamed as a UTF-8 C string (up to its first nul) and as a hex dump.
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("quote");
    QTest::addColumn<bool>("space");
    const QString plain = QStringLiteral("www.example.test");
    const QString umlauts = QStringLiteral("Gr\u00f6\u00dfe \u2713");
    QTest::newRow("plain") << plain << QByteArray("abc") << true << true;
    QTest::newRow("plain, noquote") << plain << QByteArray("abc") << false << true;
    QTest::newRow("plain, nospace") << plain << QByteArray("abc") << true << false;
    QTest::newRow("empty") << QString() << QByteArray() << true << true;
    QTest::newRow("trailing space") << QStringLiteral("end ") << QByteArray("end ") << true << true;
    QTest::newRow("non-ascii") << umlauts << umlauts.toUtf8() << true << true;
    QTest::newRow("non-ascii, noquote") << umlauts << umlauts.toUtf8() << false << true;
    QTest::newRow("quotes, backslash")
        << QStringLiteral("say \"hi\" \\ there") << QByteArray("a\"b\\c") << true << true;
    QTest::newRow("control characters") << QStringLiteral("tab\there\nnew")
                                        << QByteArray("\x01"
                                                      "a\x7f\n\t")
                                        << true << true;
    QTest::newRow("surrogates") << QString::fromUcs4(U"\U0001F600 ") + QChar(0xD800) + QChar(0x200B)
                                << QByteArray("\xf0\x9f\x98\x80\xff") << true << false;
}

void TestLogFile::streamAsQDebugPrintsIt()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, quote);
    QFETCH(bool, space);
    const quint16 port = 53;
    const qint64 smallest = std::numeric_limits<qint64>::min();
    const QStringList list{text, QStringLiteral("b")};
    auto log = std::make_unique<LogCapture>(LogCapture::Forward::Nothing);
    // The same items into QDebug and into LogStream; each sends its message when it ends.
    const auto print = [&](auto&& out) {
        if (!quote)
            out.noquote();
        if (!space)
            out.nospace();
        out << "label:" << bytes.constData() << text << bytes << LogHex(bytes) << port << -7 << smallest
            << true << false << 'c' << list << QStringLiteral("send (") + text + QStringLiteral(")")
            << QLatin1String("latin");
    };
    print(QMessageLogger(nullptr, 0, nullptr, "STREAMTEST").debug());
    print(LogStream(QtDebugMsg, nullptr, 0, nullptr, "STREAMTEST"));
    LOG_DEBUG(streamTest) << text;
    const QList<LogCapture::Line> captured = log->lines();
    log.reset();
    QCOMPARE(captured.size(), 3);
    QCOMPARE(captured.at(1).message, captured.at(0).message);
    QCOMPARE(captured.at(1).category, QStringLiteral("STREAMTEST"));
    QCOMPARE(captured.at(2).category, QStringLiteral("STREAMTEST"));
    QString alone;
    QDebug(&alone) << text;
    QCOMPARE(captured.at(2).message + QLatin1Char(' '), alone);
}

void TestLogFile::streamSilentWhileCategoryOff()
{
    int formatted = 0;
    const auto counted = [&formatted] {
        ++formatted;
        return QStringLiteral("x");
    };
    auto log = std::make_unique<LogCapture>(LogCapture::Forward::Nothing);
    QLoggingCategory::setFilterRules(QStringLiteral("STREAMTEST.debug=false"));
    LOG_DEBUG(streamTest) << counted();
    QLoggingCategory::setFilterRules(QString());
    LOG_DEBUG(streamTest) << counted();
    const int captured = log->size();
    log.reset();
    QCOMPARE(formatted, 1);
    QCOMPARE(captured, 1);
}

void TestLogFile::fileName()
{
    LogFile log(QStringLiteral("/opt/agent"), QStringLiteral("Corvane Agent"));
    QCOMPARE(QDir::fromNativeSeparators(log.pathFor(QDate(2026, 1, 9))),
             QStringLiteral("/opt/agent/log/Corvane Agent_2026-01-09.log"));
}

void TestLogFile::midnightSplit()
{
    QTemporaryDir dir;
    LogFile log(dir.path(), QStringLiteral("Corvane Agent"));
    const QDate before(2026, 12, 31);
    const QDate after(2027, 1, 1);
    // Queued together, so most likely one batch.
    log.write(QStringLiteral("23:59:59.999 line\n"), before);
    log.write(QStringLiteral("00:00:00.000 line\n"), after);
    log.flush();
    QCOMPARE(readAll(log.pathFor(before)), QByteArray("23:59:59.999 line\n"));
    // On disk each line ends as the system's text files do.
    QFile raw(log.pathFor(before));
    QVERIFY(raw.open(QIODevice::ReadOnly));
#ifdef Q_OS_WIN
    QCOMPARE(raw.readAll(), QByteArray("23:59:59.999 line\r\n"));
#else
    QCOMPARE(raw.readAll(), QByteArray("23:59:59.999 line\n"));
#endif
    QCOMPARE(readAll(log.pathFor(after)), QByteArray("00:00:00.000 line\n"));
}

void TestLogFile::deletedFolderIsRecreated()
{
    QTemporaryDir dir;
    LogFile log(dir.path(), QStringLiteral("agent"));
    const QDate day(2026, 12, 7);
    log.write(QStringLiteral("first\n"), day);
    log.flush();
    QVERIFY(QDir(dir.path() + QStringLiteral("/log")).removeRecursively());
    log.write(QStringLiteral("second\n"), day);
    log.flush();
    QCOMPARE(readAll(log.pathFor(day)), QByteArray("second\n"));
    // The file alone, removed between batches, comes back too.
    QVERIFY(QFile::remove(log.pathFor(day)));
    log.write(QStringLiteral("third\n"), day);
    log.flush();
    QCOMPARE(readAll(log.pathFor(day)), QByteArray("third\n"));
    // Appending keeps what was there.
    log.write(QStringLiteral("fourth\n"), day);
    log.flush();
    QCOMPARE(readAll(log.pathFor(day)), QByteArray("third\nfourth\n"));
}

void TestLogFile::unwritableFolderLosesLineSilently()
{
    QTemporaryDir dir;
    // A plain file where the folder should be: the folder cannot be made.
    QFile blocker(dir.path() + QStringLiteral("/log"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    LogFile log(dir.path(), QStringLiteral("agent"));
    const QDate day(2026, 12, 7);
    log.write(QStringLiteral("lost\n"), day);
    log.flush();
    QCOMPARE(QFileInfo(blocker.fileName()).size(), qint64(0));
    // The writer goes on once the folder can be made.
    QVERIFY(blocker.remove());
    log.write(QStringLiteral("kept\n"), day);
    log.flush();
    QCOMPARE(readAll(log.pathFor(day)), QByteArray("kept\n"));
}

void TestLogFile::concurrentLinesStayWholeAndInOrder()
{
    QTemporaryDir dir;
    LogFile log(dir.path(), QStringLiteral("agent"));
    constexpr int threads = 4;
    constexpr int lines = 2000;
    QVector<QThread*> workers;
    for (int t = 0; t < threads; ++t) {
        workers.append(QThread::create([&log, t] {
            for (int i = 0; i < lines; ++i)
                log.log(
                    QtDebugMsg, "TEST",
                    QStringLiteral("thread %1 line %2 %3").arg(t).arg(i).arg(QString(60, QLatin1Char('x'))));
        }));
        workers.last()->start();
    }
    for (QThread* worker : workers) {
        QVERIFY(worker->wait(30000));
        delete worker;
    }
    log.flush();
    QByteArray all;
    for (const QFileInfo& file : QDir(dir.path() + QStringLiteral("/log")).entryInfoList(QDir::Files))
        all += readAll(file.filePath()); // two files if the test ran across midnight
    const QList<QByteArray> written = all.split('\n');
    QCOMPARE(written.size(), threads * lines + 1);
    const QRegularExpression whole(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\| "
                                                  "DBG \\| TEST: thread (\\d) line (\\d+) x{60}$"));
    QVector<int> next(threads, 0);
    for (int i = 0; i < threads * lines; ++i) {
        const QRegularExpressionMatch match = whole.match(QString::fromLatin1(written.at(i)));
        QVERIFY2(match.hasMatch(), written.at(i).constData());
        // Each thread's lines appear in the order it logged them.
        const int thread = match.captured(1).toInt();
        QCOMPARE(match.captured(2).toInt(), next[thread]++);
    }
}

void TestLogFile::criticalLineOnDiskBeforeReturn()
{
    QTemporaryDir dir;
    LogFile log(dir.path(), QStringLiteral("agent"));
    log.log(QtDebugMsg, "CORE", QStringLiteral("queued first"));
    log.log(QtCriticalMsg, "CORE", QStringLiteral("THREAD DNS FINISHED"));
    // No flush: the critical line and everything before it are already written.
    const QList<QByteArray> written = readAll(log.pathFor(QDate::currentDate())).split('\n');
    QCOMPARE(written.size(), 3);
    QVERIFY(written.at(0).endsWith(" | DBG | CORE: queued first"));
    QVERIFY(written.at(1).endsWith(" | CRT | CORE: THREAD DNS FINISHED"));
}

void TestLogFile::linesWrittenAtStop_data()
{
    QTest::addColumn<bool>("bounded");
    QTest::newRow("normal stop") << false;
    // A stop that gave up on the agent ends the process with _exit: no
    // destructor writes what is left.
    QTest::newRow("stop that gave up, bounded flush") << true;
}

void TestLogFile::linesWrittenAtStop()
{
    QFETCH(bool, bounded);
    QTemporaryDir dir;
    QString path;
    constexpr int lines = 5000;
    {
        LogFile log(dir.path(), QStringLiteral("agent"));
        path = log.pathFor(QDate::currentDate());
        // The agent's stop: everything queued is written before it goes on.
        for (int i = 0; i < lines; ++i)
            log.log(QtDebugMsg, "CORE", QStringLiteral("line %1").arg(i));
        if (bounded)
            QVERIFY(log.flushFor(std::chrono::seconds(10)));
        else
            log.flush();
        QCOMPARE(readAll(path).count('\n'), lines);
        // The end of the process: the writer leaves after the last line.
        for (int i = lines; i < 2 * lines; ++i)
            log.log(QtDebugMsg, "CORE", QStringLiteral("line %1").arg(i));
    }
    const QList<QByteArray> written = readAll(path).split('\n');
    QCOMPARE(written.size(), 2 * lines + 1);
    QVERIFY(written.at(2 * lines - 1).endsWith(" | DBG | CORE: line 9999"));
}

void TestLogFile::overloadDropsDebugFirst()
{
    // Room for about 10 debug lines, and for 10 more of other levels.
    const qint64 now = localMs(2026, 12, 7, 12, 0, 0, 0);
    LogQueue probe;
    probe.push(QtDebugMsg, now, "CORE", QStringLiteral("debug line"));
    const qsizetype size = probe.bytes();
    LogQueue queue(LogQueue::Limits{10 * size, 20 * size});
    int debugKept = 0;
    for (int i = 0; i < 50; ++i)
        debugKept += queue.push(QtDebugMsg, now, "CORE", QStringLiteral("debug line")) ? 1 : 0;
    int warningsKept = 0;
    for (int i = 0; i < 50; ++i)
        warningsKept += queue.push(QtWarningMsg, now, "CORE", QStringLiteral("warn line!")) ? 1 : 0;
    for (int i = 0; i < 50; ++i)
        QVERIFY(queue.push(QtCriticalMsg, now, "CORE", QStringLiteral("crit")));
    QCOMPARE(debugKept, 10);
    QCOMPARE(warningsKept, 10);

    const QVector<LogQueue::Chunk> chunks = queue.take(now);
    QCOMPARE(chunks.size(), 1);
    const QList<QByteArray> lines = chunks.at(0).bytes.split('\n');
    QCOMPARE(lines.size(), 10 + 10 + 50 + 1 + 1);
    QCOMPARE(lines.at(70),
             QByteArray("2026-12-07 12:00:00.000 | WRN | LOGGING: Dropped 80 log lines (40 debug, "
                        "40 info or warning): the log writer could not keep up"));
    // Said once: the next batch has no such line.
    QVERIFY(queue.push(QtDebugMsg, now, "CORE", QStringLiteral("debug line")));
    QVERIFY(!queue.take(now).at(0).bytes.contains("Dropped"));
}

void TestLogFile::overloadReportedInFile()
{
    QTemporaryDir dir;
    // No room for any debug line: each is dropped and the file says how many.
    LogFile log(dir.path(), QStringLiteral("agent"), LogQueue::Limits{1, 1024 * 1024});
    for (int i = 0; i < 5; ++i)
        log.log(QtDebugMsg, "CORE", QStringLiteral("debug"));
    log.log(QtWarningMsg, "CORE", QStringLiteral("kept"));
    log.flush();
    const QList<QByteArray> written = readAll(log.pathFor(QDate::currentDate())).split('\n');
    QCOMPARE(written.size(), 3);
    QVERIFY(written.at(0).endsWith(" | WRN | CORE: kept"));
    QVERIFY2(
        written.at(1).endsWith(" | WRN | LOGGING: Dropped 5 log lines (5 debug, 0 info or warning): the log "
                               "writer could not keep up"),
        written.at(1).constData());
}

namespace {
void makeFile(const QString& path, int size)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(QByteArray(size, 'x')), qint64(size));
}
} // namespace

void TestLogFile::folderBoundedAtStart_data()
{
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<qint64>("folderBytes");
    QTest::addColumn<QStringList>("kept");
    const QDate today = QDate::currentDate();
    const auto name = [&](int daysBack, int part = 0) {
        return LogFolder::fileName(QStringLiteral("agent"), today.addDays(-daysBack), part);
    };
    // Never deleted, whatever their age: names that are not this program's log files.
    const QStringList foreign{
        QStringLiteral("notes.txt"),
        LogFolder::fileName(QStringLiteral("agentcorvanegui"), today.addDays(-30), 0),
        QStringLiteral("agent_2026-13-45.log"),
        QStringLiteral("agent_") + today.addDays(-30).toString(Qt::ISODate) + QStringLiteral("_x1.log"),
        QStringLiteral("agent_") + today.addDays(-30).toString(Qt::ISODate) + QStringLiteral(".log.bak")};
    const qint64 large = qint64(1) << 40;
    QTest::newRow("by age") << QStringList{name(30), name(15), name(15, 2), name(14), name(1), name(0)} +
                                   foreign
                            << large << QStringList{name(14), name(1), name(0)} + foreign;
    // 4 × 300 bytes of older files and room for a full file of 400: the two
    // oldest go (the earlier part of a day before the later one).
    QTest::newRow("by size") << QStringList{name(5), name(4), name(4, 1), name(3)} + foreign << qint64(1000)
                             << QStringList{name(4, 1), name(3), name(0)} + foreign;
    QTest::newRow("nothing to do") << QStringList{name(3)} + foreign << qint64(1000)
                                   << QStringList{name(3), name(0)} + foreign;
}

void TestLogFile::folderBoundedAtStart()
{
    QFETCH(QStringList, present);
    QFETCH(qint64, folderBytes);
    QFETCH(QStringList, kept);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("log")));
    const QString folder = dir.path() + QStringLiteral("/log/");
    for (const QString& file : present)
        makeFile(folder + file, 300);
    LogFolder::Bounds bounds;
    bounds.folderBytes = folderBytes;
    bounds.fileBytes = 400;
    {
        LogFile log(dir.path(), QStringLiteral("agent"), LogQueue::Limits{}, bounds);
        log.log(QtInfoMsg, "MAIN", QStringLiteral("CREATE"));
        log.flush();
    }
    QStringList left = QDir(folder).entryList(QDir::Files);
    std::sort(kept.begin(), kept.end());
    QCOMPARE(left, kept);
}

void TestLogFile::fullDayContinuesInParts_data()
{
    QTest::addColumn<qint64>("folderBytes");
    QTest::addColumn<bool>("allKept");
    QTest::newRow("folder unbounded") << (qint64(1) << 40) << true;
    // Today's lines are bounded too: the day's first parts go.
    QTest::newRow("folder of three files") << qint64(600) << false;
}

void TestLogFile::fullDayContinuesInParts()
{
    QFETCH(qint64, folderBytes);
    QFETCH(bool, allKept);
    QTemporaryDir dir;
    LogFolder::Bounds bounds;
    bounds.folderBytes = folderBytes;
    bounds.fileBytes = 200;
    constexpr int lines = 40;
    QByteArray expected;
    {
        LogFile log(dir.path(), QStringLiteral("agent"), LogQueue::Limits{}, bounds);
        for (int i = 0; i < lines; ++i) {
            const QString text = QStringLiteral("line %1 %2")
                                     .arg(i, 2, 10, QLatin1Char('0'))
                                     .arg(QString(10, QLatin1Char('x')));
            log.log(QtInfoMsg, "CORE", text);
            // Several batches, some lines across a part's end.
            if (i % 7 == 0)
                log.flush();
            expected += text.toUtf8() + '\n';
        }
        log.flush();
    }
    const QDate today = QDate::currentDate();
    const QVector<LogFolder::Entry> files =
        LogFolder::list(dir.path() + QStringLiteral("/log"), QStringLiteral("agent"));
    QVERIFY(files.size() >= 3);
    QByteArray all;
    qint64 total = 0;
    for (const LogFolder::Entry& file : files) {
        QCOMPARE(file.day, today);
        // Whole lines only, never past the bound.
        QVERIFY2(file.size <= bounds.fileBytes, qPrintable(file.fileName));
        const QByteArray text = readAll(dir.path() + QStringLiteral("/log/") + file.fileName);
        QVERIFY(text.endsWith('\n'));
        for (const QByteArray& line : text.split('\n'))
            if (!line.isEmpty())
                all += line.mid(line.indexOf("CORE: ") + 6) + '\n';
        total += file.size;
    }
    QCOMPARE(files.last().part, files.first().part + files.size() - 1);
    QVERIFY(total <= folderBytes);
    if (allKept)
        QCOMPARE(all, expected);
    else
        QVERIFY(expected.endsWith(all) && all.size() < expected.size());
}

QTEST_GUILESS_MAIN(TestLogFile)
#include "tst_logfile.moc"
