#include "backend/CheckerVersion.h"
#include "settings/UserData.h"
#include "tests/fakes/DevServiceAdmin.h"
#include "tests/fakes/FakeMachineInfo.h"

#include <QSignalSpy>
#include <QtTest>

// The version check against the development service (inside the harness
// namespace): the service offers 4.0.1 for "Windows" and "Debian".
class TestCheckerVersionService : public QObject
{
    Q_OBJECT

private:
    FakeMachineInfo machine;

private slots:
    void initTestCase()
    {
        UserData::resetMemoryState();
        UserData::setLogin(QStringLiteral("demo"));
        UserData::setPassword(QStringLiteral("demo-password"));
    }
    void init() { DevServiceAdmin::clearFaults(); }
    void cleanup() { DevServiceAdmin::clearFaults(); }

    void offeredVersions_data()
    {
        QTest::addColumn<QString>("product");
        QTest::addColumn<QString>("current");
        QTest::addColumn<int>("status");
        QTest::newRow("update offered") << "Windows 10 Pro"
                                        << "4.0.0" << 2;
        QTest::newRow("same version") << "Windows 11 Pro"
                                      << "4.0.1" << 1;
        QTest::newRow("running version newer") << "Debian GNU/Linux 12"
                                               << "4.1.0" << 0;
        QTest::newRow("numeric comparison") << "Windows 10 Pro"
                                            << "4.0.0" << 2;
    }
    void offeredVersions()
    {
        QFETCH(QString, product);
        QFETCH(QString, current);
        QFETCH(int, status);
        machine.product = product;
        machine.build = 0;
        CheckerVersion checker(current);
        QSignalSpy versions(&checker, &CheckerVersion::signalVersions);
        if (status == 0)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^ERROR VERSION")));
        checker.slotGetVersion();
        QCOMPARE(versions.count(), 1);
        const QJsonObject report = versions.at(0).at(0).toJsonObject();
        QCOMPARE(report.value("status").toInt(-1), status);
        QCOMPARE(report.value("curr_version").toString(), current);
        QCOMPARE(report.value("get_version").toString(), QStringLiteral("4.0.1"));
        QVERIFY(
            report.value("url").toString().startsWith(QLatin1String("https://www.corvane.test/downloads/")));
        QVERIFY(checker.getTimer()->isActive());

        // The held version is emptied after each report.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^ERROR VERSION")));
        checker.checkGetVersion();
        QCOMPARE(versions.count(), 2);
        QCOMPARE(versions.at(1).at(0).toJsonObject().value("get_version").toString(), QString());
        QCOMPARE(versions.at(1).at(0).toJsonObject().value("status").toInt(-1), 0);
    }

    void unknownTagIsAReplyError()
    {
        machine.product = QStringLiteral("Fedora Linux 39");
        CheckerVersion checker(QStringLiteral("4.0.0"));
        QSignalSpy versions(&checker, &CheckerVersion::signalVersions);
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^REPLY ERROR getVersion")));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^ERROR getVersion")));
        checker.slotGetVersion();
        QCOMPARE(versions.count(), 0);
        QVERIFY(checker.getTimer()->isActive());
    }

    void garbageAnswerIsNoData()
    {
        machine.product = QStringLiteral("Windows 10 Pro");
        DevServiceAdmin::addHttpFault(
            QJsonObject{{"path", "/agents/*"}, {"method", "GET"}, {"action", "garbage"}, {"count", 1}});
        CheckerVersion checker(QStringLiteral("4.0.0"));
        QSignalSpy versions(&checker, &CheckerVersion::signalVersions);
        QTest::ignoreMessage(QtCriticalMsg, "NO DATA getVersion");
        checker.slotGetVersion();
        QCOMPARE(versions.count(), 0);
    }

    void serverErrorIsAReplyError()
    {
        machine.product = QStringLiteral("Windows 10 Pro");
        DevServiceAdmin::addHttpFault(QJsonObject{
            {"path", "/agents/*"}, {"method", "GET"}, {"action", "status"}, {"status", 500}, {"count", 3}});
        CheckerVersion checker(QStringLiteral("4.0.0"));
        QSignalSpy versions(&checker, &CheckerVersion::signalVersions);
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^REPLY ERROR getVersion")));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^ERROR getVersion")));
        checker.slotGetVersion();
        QCOMPARE(versions.count(), 0);
        // The next check (the hourly one, or a GUI request) works again.
        checker.slotGetVersion();
        QCOMPARE(versions.count(), 1);
        QCOMPARE(versions.at(0).at(0).toJsonObject().value("status").toInt(-1), 2);
    }
};

QTEST_GUILESS_MAIN(TestCheckerVersionService)
#include "tst_checker_version_service.moc"
