#include "backend/CheckerCli.h"
#include "settings/ConstData.h"
#include "settings/UserData.h"
#include "tests/fakes/FakeMachineInfo.h"
#include "tests/testlib/LogCapture.h"

#include <QJsonObject>
#include <QSignalSpy>
#include <QStringList>
#include <QtTest>

#include <memory>

namespace {

// Stands in for the sign-in object: answers each request synchronously with
// the next scripted status (no answer when the script is empty).
struct Responder
{
    QList<int> authAnswers;
    QList<int> pinAnswers;
    QList<QJsonObject> authRequests;
    QList<QJsonObject> pinRequests;

    void attach(CheckerCli& cli)
    {
        QObject::connect(&cli, &CheckerCli::signalCheckAuth, &cli, [this, &cli](const QJsonObject& request) {
            authRequests.append(request);
            if (!authAnswers.isEmpty())
                cli.slotStatusCheckAuth(QJsonObject{{QStringLiteral("status"), authAnswers.takeFirst()}});
        });
        QObject::connect(&cli, &CheckerCli::signalCreatePin, &cli, [this, &cli](const QJsonObject& request) {
            pinRequests.append(request);
            if (!pinAnswers.isEmpty())
                cli.slotStatusCreatePin(QJsonObject{{QStringLiteral("status"), pinAnswers.takeFirst()}});
        });
    }
};

const QStringList fullArguments{QStringLiteral("agentcorvane"), QStringLiteral("-login"),
                                QStringLiteral("anna"),         QStringLiteral("--password=s3cret-pw"),
                                QStringLiteral("-pin"),         QStringLiteral("4711")};

} // namespace

class TestCheckerCli : public QObject
{
    Q_OBJECT

private:
    FakeMachineInfo machine;
    // The log lines of the command-line sign-in; information and above also
    // reach the test framework.
    std::unique_ptr<LogCapture> log;

    QStringList takeLines() { return log->takeMessages(QStringLiteral("CHECKERCLI")); }

    void setAdMode(bool on)
    {
        machine.domain = on ? QStringLiteral("corp.example.org") : QString();
        ConstData::resetWorkingMode();
        UserData::setNoAdWork(false);
    }

private slots:
    void initTestCase()
    {
        log = std::make_unique<LogCapture>(LogCapture::Forward::AboveDebug);
        QLoggingCategory::setFilterRules(QStringLiteral("CHECKERCLI.debug=true"));
    }
    void init()
    {
        UserData::resetMemoryState();
        setAdMode(false);
        takeLines();
    }
    void cleanupTestCase() { log.reset(); }

    void parseForms_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("login");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("pin");
        QTest::addColumn<QString>("token");
        const QString p = QStringLiteral("agentcorvane");
        QTest::newRow("one dash, value next")
            << QStringList{p, "-login", "a", "-password", "b", "-pin", "1234", "-token", "k"} << "a"
            << "b"
            << "1234"
            << "k";
        QTest::newRow("two dashes, value after =")
            << QStringList{p, "--login=a", "--password=b", "--pin=1234", "--token=k"} << "a"
            << "b"
            << "1234"
            << "k";
        QTest::newRow("one dash with =") << QStringList{p, "-login=a", "-password=b=c"} << "a"
                                         << "b=c"
                                         << ""
                                         << "";
        QTest::newRow("two dashes, value next") << QStringList{p, "--login", "a", "--pin", "99999"} << "a"
                                                << ""
                                                << "99999"
                                                << "";
        QTest::newRow("no options") << QStringList{p} << ""
                                    << ""
                                    << ""
                                    << "";
        QTest::newRow("empty list") << QStringList{} << ""
                                    << ""
                                    << ""
                                    << "";
        QTest::newRow("empty values") << QStringList{p, "--login=", "-password", ""} << ""
                                      << ""
                                      << ""
                                      << "";
        QTest::newRow("repeated option keeps last")
            << QStringList{p, "-login", "first", "--login=second"} << "second"
            << ""
            << ""
            << "";
        QTest::newRow("unknown options ignored")
            << QStringList{p, "-x", "--verbose", "-login", "a", "--other=1", "-password", "b"} << "a"
            << "b"
            << ""
            << "";
        QTest::newRow("service word before options") << QStringList{p, "install", "-login", "a"} << "a"
                                                     << ""
                                                     << ""
                                                     << "";
        QTest::newRow("missing value at the end") << QStringList{p, "-login", "a", "-password"} << "a"
                                                  << ""
                                                  << ""
                                                  << "";
        QTest::newRow("value that looks like an option")
            << QStringList{p, "-password", "-pin", "-login", "x"} << "x"
            << "-pin"
            << ""
            << "";
        QTest::newRow("unicode and blanks")
            << QStringList{p, "--login=Jürgen Smith", "--password=p w\"'$"} << "Jürgen Smith"
            << "p w\"'$"
            << ""
            << "";
        QTest::newRow("letters are not short options") << QStringList{p, "-lp", "z"} << ""
                                                       << ""
                                                       << ""
                                                       << "";
    }
    void parseForms()
    {
        QFETCH(QStringList, arguments);
        const CheckerCli::Params params = CheckerCli::parseParams(arguments);
        QTEST(params.login, "login");
        QTEST(params.password, "password");
        QTEST(params.pin, "pin");
        QTEST(params.token, "token");
    }

    void constructorStartsTheTick()
    {
        CheckerCli cli({QStringLiteral("agentcorvane")});
        QCOMPARE(cli.tickInterval(), 500);
        QVERIFY(cli.isTicking());
        QCOMPARE(cli.getState(), int(CheckerCli::EMPTY));
    }

    void withoutOptionsFinishesOnFirstTickAndStopsOnSecond()
    {
        CheckerCli cli(
            {QStringLiteral("agentcorvane"), QStringLiteral("-login"), QStringLiteral("only-login")});
        QSignalSpy auth(&cli, &CheckerCli::signalCheckAuth);
        QSignalSpy success(&cli, &CheckerCli::signalSuccess);
        cli.slotStep();
        QCOMPARE(cli.getState(), int(CheckerCli::SUCCESS));
        QVERIFY(cli.isTicking());
        cli.slotStep();
        QVERIFY(!cli.isTicking());
        QCOMPARE(auth.count(), 0);
        QCOMPARE(success.count(), 0);
    }

    void realTimerRunsToTheEnd()
    {
        CheckerCli cli(fullArguments);
        Responder responder{{1}, {1}, {}, {}};
        responder.attach(cli);
        QSignalSpy success(&cli, &CheckerCli::signalSuccess);
        QTRY_COMPARE_WITH_TIMEOUT(success.count(), 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!cli.isTicking(), 5000);
        QCOMPARE(cli.getState(), int(CheckerCli::SUCCESS));
    }

    void fullFlowOneStepPerTick()
    {
        CheckerCli cli(fullArguments);
        Responder responder{{1}, {1}, {}, {}};
        responder.attach(cli);
        QSignalSpy success(&cli, &CheckerCli::signalSuccess);

        cli.slotStep();
        QCOMPARE(cli.getState(), int(CheckerCli::HAVE_AUTHDATA));
        cli.slotStep();
        QCOMPARE(responder.authRequests.size(), 1);
        QCOMPARE(responder.authRequests.first(), (QJsonObject{{"login", "anna"}, {"password", "s3cret-pw"}}));
        QCOMPARE(cli.getState(), int(CheckerCli::HAVE_PIN));
        cli.slotStep();
        QCOMPARE(responder.pinRequests.size(), 1);
        QCOMPARE(responder.pinRequests.first(), (QJsonObject{{"pin_code", "4711"}}));
        QCOMPARE(cli.getState(), int(CheckerCli::SUCCESS));
        QCOMPARE(success.count(), 1);
        cli.slotStep();
        QVERIFY(!cli.isTicking());
        QCOMPARE(success.count(), 1);
    }

    void checkAuthAnswers_data()
    {
        QTest::addColumn<QJsonObject>("answer");
        QTest::addColumn<int>("expected");
        QTest::newRow("0 wrong credentials") << QJsonObject{{"status", 0}} << int(CheckerCli::SUCCESS);
        QTest::newRow("1 signed in") << QJsonObject{{"status", 1}} << int(CheckerCli::HAVE_PIN);
        QTest::newRow("2 transport error") << QJsonObject{{"status", 2}} << int(CheckerCli::HAVE_AUTHDATA);
        QTest::newRow("3 unknown") << QJsonObject{{"status", 3}} << int(CheckerCli::WAIT_ANSWER_AUTHDATA);
        QTest::newRow("-1 unknown") << QJsonObject{{"status", -1}} << int(CheckerCli::WAIT_ANSWER_AUTHDATA);
        QTest::newRow("status missing") << QJsonObject{} << int(CheckerCli::WAIT_ANSWER_AUTHDATA);
        QTest::newRow("status as text")
            << QJsonObject{{"status", "1"}} << int(CheckerCli::WAIT_ANSWER_AUTHDATA);
        QTest::newRow("status as bool")
            << QJsonObject{{"status", true}} << int(CheckerCli::WAIT_ANSWER_AUTHDATA);
    }
    void checkAuthAnswers()
    {
        QFETCH(QJsonObject, answer);
        CheckerCli cli(fullArguments);
        Responder silent;
        silent.attach(cli);
        QSignalSpy success(&cli, &CheckerCli::signalSuccess);
        cli.slotStep();
        cli.slotStep();
        QCOMPARE(cli.getState(), int(CheckerCli::WAIT_ANSWER_AUTHDATA));
        cli.slotStep(); // waiting changes nothing
        QCOMPARE(cli.getState(), int(CheckerCli::WAIT_ANSWER_AUTHDATA));
        cli.slotStatusCheckAuth(answer);
        QTEST(cli.getState(), "expected");
        QCOMPARE(success.count(), 0);
    }

    void createPinAnswers_data()
    {
        QTest::addColumn<QJsonObject>("answer");
        QTest::addColumn<int>("expected");
        QTest::addColumn<int>("successes");
        QTest::addColumn<bool>("wrongSize");
        QTest::newRow("0") << QJsonObject{{"status", 0}} << int(CheckerCli::SUCCESS) << 1 << true;
        QTest::newRow("1 stored") << QJsonObject{{"status", 1}} << int(CheckerCli::SUCCESS) << 1 << false;
        QTest::newRow("2 WRONG_SIZE still success")
            << QJsonObject{{"status", 2}} << int(CheckerCli::SUCCESS) << 1 << true;
        QTest::newRow("3") << QJsonObject{{"status", 3}} << int(CheckerCli::SUCCESS) << 1 << false;
        QTest::newRow("4 try again") << QJsonObject{{"status", 4}} << int(CheckerCli::HAVE_PIN) << 0 << false;
        QTest::newRow("5 unknown") << QJsonObject{{"status", 5}} << int(CheckerCli::WAIT_ANSWER_PIN) << 0
                                   << false;
        QTest::newRow("missing") << QJsonObject{} << int(CheckerCli::WAIT_ANSWER_PIN) << 0 << false;
    }
    void createPinAnswers()
    {
        QFETCH(QJsonObject, answer);
        QFETCH(int, successes);
        QFETCH(bool, wrongSize);
        CheckerCli cli(fullArguments);
        Responder responder{{1}, {}, {}, {}};
        responder.attach(cli);
        QSignalSpy success(&cli, &CheckerCli::signalSuccess);
        cli.slotStep();
        cli.slotStep();
        cli.slotStep();
        QCOMPARE(cli.getState(), int(CheckerCli::WAIT_ANSWER_PIN));
        takeLines();
        cli.slotStatusCreatePin(answer);
        QTEST(cli.getState(), "expected");
        QCOMPARE(success.count(), successes);
        QCOMPARE(takeLines().contains(QStringLiteral("WRONG_SIZE!")), wrongSize);
    }

    void transportErrorRepeatsTheCheckEveryTick()
    {
        CheckerCli cli(fullArguments);
        Responder responder{{2, 2, 1}, {1}, {}, {}};
        responder.attach(cli);
        QSignalSpy success(&cli, &CheckerCli::signalSuccess);
        cli.slotStep(); // EMPTY -> HAVE_AUTHDATA
        cli.slotStep(); // sent, answer 2
        QCOMPARE(cli.getState(), int(CheckerCli::HAVE_AUTHDATA));
        cli.slotStep(); // sent again, answer 2
        cli.slotStep(); // sent again, answer 1
        QCOMPARE(responder.authRequests.size(), 3);
        QCOMPARE(cli.getState(), int(CheckerCli::HAVE_PIN));
        cli.slotStep();
        QCOMPARE(success.count(), 1);
    }

    void wrongCredentialsFinishSilently()
    {
        CheckerCli cli(fullArguments);
        Responder responder{{0}, {}, {}, {}};
        responder.attach(cli);
        QSignalSpy success(&cli, &CheckerCli::signalSuccess);
        for (int i = 0; i < 5; ++i)
            cli.slotStep();
        QCOMPARE(cli.getState(), int(CheckerCli::SUCCESS));
        QVERIFY(!cli.isTicking());
        QCOMPARE(responder.pinRequests.size(), 0);
        QCOMPARE(success.count(), 0);
    }

    void noPinFinishesWithoutSuccess()
    {
        CheckerCli cli({QStringLiteral("agentcorvane"), QStringLiteral("-login"), QStringLiteral("a"),
                        QStringLiteral("-password"), QStringLiteral("b")});
        Responder responder{{1}, {}, {}, {}};
        responder.attach(cli);
        QSignalSpy success(&cli, &CheckerCli::signalSuccess);
        for (int i = 0; i < 5; ++i)
            cli.slotStep();
        QCOMPARE(cli.getState(), int(CheckerCli::SUCCESS));
        QCOMPARE(responder.pinRequests.size(), 0);
        QCOMPARE(success.count(), 0);
    }

    void shortPinStillEndsInSuccess()
    {
        // The sign-in object refuses a 3-character PIN with status 2.
        CheckerCli cli({QStringLiteral("agentcorvane"), QStringLiteral("-login"), QStringLiteral("a"),
                        QStringLiteral("-password"), QStringLiteral("b"), QStringLiteral("-pin"),
                        QStringLiteral("123")});
        Responder responder{{1}, {2}, {}, {}};
        responder.attach(cli);
        QSignalSpy success(&cli, &CheckerCli::signalSuccess);
        takeLines();
        for (int i = 0; i < 4; ++i)
            cli.slotStep();
        QCOMPARE(success.count(), 1);
        QVERIFY(takeLines().contains(QStringLiteral("WRONG_SIZE!")));
    }

    void adModeUsesTheKeyAlone()
    {
        setAdMode(true);
        CheckerCli cli({QStringLiteral("agentcorvane"), QStringLiteral("-login"), QStringLiteral("a"),
                        QStringLiteral("-password"), QStringLiteral("b"),
                        QStringLiteral("--token=demo-ad-key"), QStringLiteral("-pin"),
                        QStringLiteral("4711")});
        Responder responder{{1}, {1}, {}, {}};
        responder.attach(cli);
        QSignalSpy success(&cli, &CheckerCli::signalSuccess);
        for (int i = 0; i < 4; ++i)
            cli.slotStep();
        QCOMPARE(responder.authRequests.size(), 1);
        QCOMPARE(responder.authRequests.first(), (QJsonObject{{"token", "demo-ad-key"}}));
        QCOMPARE(success.count(), 1);
    }

    void adModeWithoutKeyDoesNothing()
    {
        setAdMode(true);
        CheckerCli cli(fullArguments);
        Responder responder;
        responder.attach(cli);
        cli.slotStep();
        QCOMPARE(cli.getState(), int(CheckerCli::SUCCESS));
        QCOMPARE(responder.authRequests.size(), 0);
    }

    void adModeSwitchedOffUsesLogin()
    {
        setAdMode(true);
        UserData::setNoAdWork(true);
        CheckerCli cli({QStringLiteral("agentcorvane"), QStringLiteral("-login"), QStringLiteral("a"),
                        QStringLiteral("-password"), QStringLiteral("b"), QStringLiteral("-token"),
                        QStringLiteral("k")});
        Responder responder;
        responder.attach(cli);
        cli.slotStep();
        cli.slotStep();
        QCOMPARE(responder.authRequests.size(), 1);
        QCOMPARE(responder.authRequests.first(), (QJsonObject{{"login", "a"}, {"password", "b"}}));
    }

    void answersOutsideItsOwnRunAreIgnored()
    {
        // The GUI's sign-in shares the sign-in object: its answers reach this
        // object too, before and after the command-line run.
        CheckerCli cli(fullArguments);
        QSignalSpy success(&cli, &CheckerCli::signalSuccess);
        cli.slotStatusCheckAuth(QJsonObject{{"status", 1}});
        QCOMPARE(cli.getState(), int(CheckerCli::EMPTY));
        cli.slotStatusCreatePin(QJsonObject{{"status", 1}});
        QCOMPARE(success.count(), 0);

        CheckerCli finished({QStringLiteral("agentcorvane")});
        QSignalSpy finishedSuccess(&finished, &CheckerCli::signalSuccess);
        finished.slotStep();
        finished.slotStatusCheckAuth(QJsonObject{{"status", 1}});
        finished.slotStatusCreatePin(QJsonObject{{"status", 1}});
        QCOMPARE(finished.getState(), int(CheckerCli::SUCCESS));
        QCOMPARE(finishedSuccess.count(), 0);
    }

    void logMasksPasswordAndPin()
    {
        takeLines();
        CheckerCli cli(fullArguments);
        Responder responder{{1}, {1}, {}, {}};
        responder.attach(cli);
        for (int i = 0; i < 4; ++i)
            cli.slotStep();
        const QStringList lines = takeLines();
        QVERIFY(lines.contains(QStringLiteral("CREATE")));
        QVERIFY(lines.contains(QStringLiteral("parsed params:")));
        QVERIFY2(lines.contains(QStringLiteral("params.login =  anna")), qPrintable(lines.join('\n')));
        QVERIFY(lines.contains(QStringLiteral("params.password =  *********")));
        QVERIFY(lines.contains(QStringLiteral("params.pin =  ****")));
        QVERIFY(lines.contains(QStringLiteral("Status EMPTY")));
        QVERIFY(lines.contains(QStringLiteral("Status HAVE_AUTHDATA")));
        QVERIFY(lines.contains(QStringLiteral("Status HAVE_PIN ****")));
        for (const QString& line : lines) {
            QVERIFY2(!line.contains(QLatin1String("s3cret-pw")), qPrintable(line));
            QVERIFY2(!line.contains(QLatin1String("4711")), qPrintable(line));
        }
    }

    void logShowsWaitingStates()
    {
        CheckerCli cli(fullArguments);
        Responder silent;
        silent.attach(cli);
        cli.slotStep();
        cli.slotStep();
        takeLines();
        cli.slotStep();
        QCOMPARE(takeLines(), QStringList{QStringLiteral("Status WAIT_ANSWER_AUTHDATA")});
    }
};

QTEST_GUILESS_MAIN(TestCheckerCli)
#include "tst_checker_cli.moc"
