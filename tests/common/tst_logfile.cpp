#include "LogFile.h"
#include "LogLine.h"

#include <QDir>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

class TestLogFile : public QObject
{
    Q_OBJECT

private slots:
    void lineFormat_data();
    void lineFormat();
    void fileName();
    void midnightSplit();
    void deletedFolderIsRecreated();
    void unwritableFolderLosesLineSilently();
    void concurrentLinesStayWhole();
};

static QByteArray readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

void TestLogFile::lineFormat_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("expected");
    const QString prefix = QStringLiteral("2024-05-01 10:15:02.031 | ");
    QTest::newRow("info") << int(QtInfoMsg) << prefix + QStringLiteral("INF | MAIN: CREATE\n");
    QTest::newRow("debug") << int(QtDebugMsg) << prefix + QStringLiteral("DBG | MAIN: CREATE\n");
    QTest::newRow("warning") << int(QtWarningMsg) << prefix + QStringLiteral("WRN | MAIN: CREATE\n");
    QTest::newRow("critical") << int(QtCriticalMsg) << prefix + QStringLiteral("CRT | MAIN: CREATE\n");
    QTest::newRow("fatal") << int(QtFatalMsg) << prefix + QStringLiteral("FTL | MAIN: CREATE\n");
    QTest::newRow("unknown type") << 17 << prefix + QStringLiteral(" | MAIN: CREATE\n");
}

void TestLogFile::lineFormat()
{
    QFETCH(int, type);
    QFETCH(QString, expected);
    const QDateTime time(QDate(2024, 5, 1), QTime(10, 15, 2, 31));
    QCOMPARE(LogLine::format(time, static_cast<QtMsgType>(type), "MAIN", QStringLiteral("CREATE")), expected);
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
    log.write(QStringLiteral("23:59:59.999 line\n"), before);
    log.write(QStringLiteral("00:00:00.000 line\n"), after);
    QCOMPARE(readAll(log.pathFor(before)), QByteArray("23:59:59.999 line\n"));
    QCOMPARE(readAll(log.pathFor(after)), QByteArray("00:00:00.000 line\n"));
}

void TestLogFile::deletedFolderIsRecreated()
{
    QTemporaryDir dir;
    LogFile log(dir.path(), QStringLiteral("agent"));
    const QDate day(2026, 12, 7);
    log.write(QStringLiteral("first\n"), day);
    QVERIFY(QDir(dir.path() + QStringLiteral("/log")).removeRecursively());
    log.write(QStringLiteral("second\n"), day);
    QCOMPARE(readAll(log.pathFor(day)), QByteArray("second\n"));
    // Appending keeps what was there.
    log.write(QStringLiteral("third\n"), day);
    QCOMPARE(readAll(log.pathFor(day)), QByteArray("second\nthird\n"));
}

void TestLogFile::unwritableFolderLosesLineSilently()
{
    QTemporaryDir dir;
    // A plain file where the folder should be: the folder cannot be made.
    QFile blocker(dir.path() + QStringLiteral("/log"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    LogFile log(dir.path(), QStringLiteral("agent"));
    log.write(QStringLiteral("lost\n"), QDate(2026, 12, 7));
    QCOMPARE(QFileInfo(blocker.fileName()).size(), qint64(0));
}

void TestLogFile::concurrentLinesStayWhole()
{
    QTemporaryDir dir;
    LogFile log(dir.path(), QStringLiteral("agent"));
    const QDate day(2026, 12, 7);
    constexpr int threads = 4;
    constexpr int lines = 500;
    QVector<QThread*> workers;
    for (int t = 0; t < threads; ++t) {
        workers.append(QThread::create([&log, day, t] {
            for (int i = 0; i < lines; ++i)
                log.write(
                    QStringLiteral("thread %1 line %2 %3\n").arg(t).arg(i).arg(QString(60, QLatin1Char('x'))),
                    day);
        }));
        workers.last()->start();
    }
    for (QThread* worker : workers) {
        QVERIFY(worker->wait(30000));
        delete worker;
    }
    const QList<QByteArray> written = readAll(log.pathFor(day)).split('\n');
    QCOMPARE(written.size(), threads * lines + 1);
    const QRegularExpression whole(QStringLiteral("^thread \\d line \\d+ x{60}$"));
    for (int i = 0; i < threads * lines; ++i)
        QVERIFY2(whole.match(QString::fromLatin1(written.at(i))).hasMatch(), written.at(i).constData());
}

QTEST_GUILESS_MAIN(TestLogFile)
#include "tst_logfile.moc"
