// The stop request that reaches the agent's application from the service
// host's thread.
#include "platform/AgentLifecycle.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <QtTest>

#include <thread>

class TestAgentLifecycle : public QObject
{
    Q_OBJECT

private slots:
    void init() { AgentLifecycle::reset(); }
    void cleanup() { AgentLifecycle::reset(); }

    void stopBeforeTheLoopRunsEndsIt_data()
    {
        QTest::addColumn<bool>("beforeAnnounce");
        QTest::newRow("requested before the application is announced") << true;
        QTest::newRow("requested between announce and exec") << false;
    }

    void stopBeforeTheLoopRunsEndsIt()
    {
        QFETCH(bool, beforeAnnounce);
        if (beforeAnnounce) {
            AgentLifecycle::requestQuit();
            AgentLifecycle::applicationCreated(QCoreApplication::instance());
        } else {
            AgentLifecycle::applicationCreated(QCoreApplication::instance());
            AgentLifecycle::requestQuit();
        }
        QVERIFY(AgentLifecycle::quitRequested());
        // A lost request would leave exec() running until this guard ends it
        // with 7.
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, this, [] { QCoreApplication::exit(7); });
        guard.start(10000);
        QCOMPARE(QCoreApplication::exec(), 0);
        AgentLifecycle::applicationDestroying();
    }

    void stopDuringALocalLoopEndsTheApplication()
    {
        // A request to the service waits in a local event loop; the stop
        // arrives from another thread meanwhile.
        AgentLifecycle::applicationCreated(QCoreApplication::instance());
        int localResult = -1;
        QTimer::singleShot(0, this, [&localResult] {
            QEventLoop local;
            QTimer::singleShot(10000, &local, [&local] { local.exit(7); });
            std::thread([] { AgentLifecycle::requestQuit(); }).join();
            localResult = local.exec();
        });
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, this, [] { QCoreApplication::exit(7); });
        guard.start(15000);
        QCOMPARE(QCoreApplication::exec(), 0);
        QCOMPARE(localResult, 0);
        AgentLifecycle::applicationDestroying();
    }

    void finishWakesTheWaiter()
    {
        AgentLifecycle::agentStarted();
        QVERIFY(AgentLifecycle::agentRunning());
        QVERIFY(!AgentLifecycle::waitAgentFinished(0));
        std::thread agent([] { AgentLifecycle::agentFinished(3); });
        QVERIFY(AgentLifecycle::waitAgentFinished(10000));
        agent.join();
        QVERIFY(!AgentLifecycle::agentRunning());
        QCOMPARE(AgentLifecycle::agentExitCode(), 3);
    }
};

QTEST_GUILESS_MAIN(TestAgentLifecycle)
#include "tst_agentlifecycle.moc"
