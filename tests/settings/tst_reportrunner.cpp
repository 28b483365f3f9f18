#include "backend/ReportRunner.h"
#include "settings/ConstData.h"
#include "settings/SystemReport.h"
#include "settings/UserData.h"
#include "tests/fakes/FakeMachineInfo.h"
#include "tests/fakes/FakeProgramRunner.h"
#include "tests/fakes/ScratchStore.h"

#include <QSemaphore>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <atomic>

// The debug report's programs run off the agent thread, shared by the
// requests that come while they run, reused while fresh, and answered within
// a bound when they hang.
class TestReportRunner : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void debugOffThreadSharedAndReused();
    void debugAnsweredWithinBound();

private:
    // Every diagnostic program blocks until the test lets it go.
    void blockPrograms();

    std::unique_ptr<ScratchStore> dir;
    std::unique_ptr<FakeMachineInfo> machine;
    std::unique_ptr<FakeProgramRunner> programs;
    QSemaphore started;
    QSemaphore gate;
    std::atomic<bool> ranOnMainThread{false};
};

void TestReportRunner::init()
{
    dir = std::make_unique<ScratchStore>();
    QVERIFY(dir->isValid());
    machine = std::make_unique<FakeMachineInfo>();
    UserData::resetMemoryState();
    programs = std::make_unique<FakeProgramRunner>();
    started.acquire(started.available());
    gate.acquire(gate.available());
    ranOnMainThread = false;
}

void TestReportRunner::cleanup()
{
    // The runs' thread objects go with the deferred deletions.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    programs.reset();
    machine.reset();
    UserData::resetMemoryState();
    dir.reset();
}

void TestReportRunner::blockPrograms()
{
    QThread* const main = QThread::currentThread();
    const auto blocking = [this, main](const QStringList&) {
        if (QThread::currentThread() == main)
            ranOnMainThread = true;
        started.release();
        (void)gate.tryAcquire(1, 20000);
    };
    // Whichever of the route and lookup tools the system has.
    for (const QString& name :
         {QStringLiteral("traceroute"), QStringLiteral("tracepath"), QStringLiteral("tracert"),
          QStringLiteral("nslookup"), QStringLiteral("dig")}) {
        programs->setAction(name, blocking);
        programs->setResult(name, FakeProgramRunner::output(name.toUtf8() + " out"));
    }
}

void TestReportRunner::debugOffThreadSharedAndReused()
{
    blockPrograms();
    ReportRunner runner;
    QObject context;
    QStringList replies;
    const auto keep = [&replies](const QString& text) { replies << text; };
    runner.requestDebugInfo(&context, keep);
    runner.requestDebugInfo(&context, keep);
    QVERIFY(replies.isEmpty());
    QVERIFY(started.tryAcquire(1, 10000));
    // The agent thread is free while the route trace hangs: its timers run.
    bool ticked = false;
    QTimer::singleShot(0, &context, [&ticked] { ticked = true; });
    QTRY_VERIFY(ticked);
    QVERIFY(replies.isEmpty());
    QVERIFY(runner.debugRunning());
    gate.release(2);
    QTRY_COMPARE(replies.size(), 2);
    QVERIFY(!ranOnMainThread);
    QCOMPARE(replies.at(0), replies.at(1));
    QVERIFY2(replies.at(0).contains(QLatin1String(" out")), qPrintable(replies.at(0)));
    // One run of the two programs for both requests.
    QCOMPARE(runner.debugRuns(), 1);
    QCOMPARE(programs->calls().size(), 2);
    // Fresh: given again without running anything.
    runner.requestDebugInfo(&context, keep);
    QVERIFY(replies.size() == 2);
    QTRY_COMPARE(replies.size(), 3);
    QCOMPARE(replies.at(2), replies.at(0));
    QCOMPARE(programs->calls().size(), 2);
    // A requester that leaves gets nothing.
    {
        QObject gone;
        runner.requestDebugInfo(&gone, keep);
    }
    QTest::qWait(1);
    QCOMPARE(replies.size(), 3);
}

void TestReportRunner::debugAnsweredWithinBound()
{
    blockPrograms();
    ReportRunner::Limits limits;
    limits.debugBoundMs = 200;
    ReportRunner runner(limits);
    QObject context;
    QStringList replies;
    const auto keep = [&replies](const QString& text) { replies << text; };
    runner.requestDebugInfo(&context, keep);
    QVERIFY(started.tryAcquire(1, 10000));
    // The programs still hang: the requester has its answer all the same.
    QTRY_COMPARE(replies.size(), 1);
    QVERIFY(runner.debugRunning());
    const QString empty = SystemReport::debugJson(QString(), QString());
    QCOMPARE(replies.at(0), empty);
    // And so does one who asks while the overdue run goes on.
    runner.requestDebugInfo(&context, keep);
    QTRY_COMPARE(replies.size(), 2);
    QCOMPARE(replies.at(1), empty);
    QCOMPARE(runner.debugRuns(), 1);
    gate.release(2);
    QTRY_VERIFY(!runner.debugRunning());
    // The late result is kept for the next request.
    runner.requestDebugInfo(&context, keep);
    QTRY_COMPARE(replies.size(), 3);
    QVERIFY2(replies.at(2).contains(QLatin1String(" out")), qPrintable(replies.at(2)));
    QCOMPARE(runner.debugRuns(), 1);
}

QTEST_GUILESS_MAIN(TestReportRunner)
#include "tst_reportrunner.moc"
