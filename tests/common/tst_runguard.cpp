#include "common/RunGuard.h"

#include <QProcess>
#include <QtTest>

#include <QThread>

// A guard key of its own per run, so parallel test runs never meet.
static QString uniqueKey(const char* name)
{
    return QStringLiteral("corvane-test-%1-%2")
        .arg(QLatin1String(name))
        .arg(QCoreApplication::applicationPid());
}

class TestRunGuard : public QObject
{
    Q_OBJECT

private slots:
    void keyHash();
    void secondInstanceRefused();
    void segmentFreedWhenFirstEnds();
    void segmentOfKilledProcessIsReleased();
};

void TestRunGuard::keyHash()
{
    const QString hash =
        RunGuard::generateKeyHash(QStringLiteral("Qw7zR2mK9pLx4Tn8Vb3Y"), QStringLiteral("_memLockKey"));
    QCOMPARE(hash.size(), 64);
    QCOMPARE(
        hash,
        QString::fromLatin1(
            QCryptographicHash::hash("Qw7zR2mK9pLx4Tn8Vb3Y_memLockKey", QCryptographicHash::Sha256).toHex()));
    QVERIFY(hash != RunGuard::generateKeyHash(QStringLiteral("Qw7zR2mK9pLx4Tn8Vb3Y"),
                                              QStringLiteral("_sharedMemKey")));
}

void TestRunGuard::secondInstanceRefused()
{
    const QString key = uniqueKey("second");
    RunGuard first(key);
    QVERIFY(first.tryToRun());
    RunGuard second(key);
    QVERIFY(!second.tryToRun());
    RunGuard other(uniqueKey("other"));
    QVERIFY(other.tryToRun());
}

void TestRunGuard::segmentFreedWhenFirstEnds()
{
    const QString key = uniqueKey("freed");
    {
        RunGuard first(key);
        QVERIFY(first.tryToRun());
    }
    RunGuard next(key);
    QVERIFY(next.tryToRun());
}

void TestRunGuard::segmentOfKilledProcessIsReleased()
{
    const QString key = uniqueKey("killed");
    QProcess holder;
    holder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    holder.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--hold-guard"), key});
    QVERIFY(holder.waitForStarted());
    QVERIFY(holder.waitForReadyRead(10000));
    QCOMPARE(holder.readLine().trimmed(), QByteArray("holding"));
    {
        RunGuard whileHeld(key);
        QVERIFY(!whileHeld.tryToRun());
    }
    holder.kill(); // SIGKILL, or TerminateProcess on Windows: no clean-up runs
    QVERIFY(holder.waitForFinished(10000));
    // The dead holder could not release its segment; a new guard must still run.
    RunGuard after(key);
    QVERIFY(after.tryToRun());
}

int main(int argc, char** argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--hold-guard") == 0) {
        RunGuard guard(QString::fromLocal8Bit(argv[2]));
        if (!guard.tryToRun())
            return 2;
        std::puts("holding");
        std::fflush(stdout);
        for (;;)
            QThread::sleep(60);
    }
    QCoreApplication app(argc, argv);
    TestRunGuard test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_runguard.moc"
