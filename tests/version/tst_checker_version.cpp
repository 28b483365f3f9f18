#include "backend/AnswerParser.h"
#include "backend/CheckerVersion.h"
#include "tests/fakes/FakeMachineInfo.h"

#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

class TestCheckerVersion : public QObject
{
    Q_OBJECT

private slots:
    void comparison_data()
    {
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("offered");
        QTest::addColumn<int>("status");
        QTest::newRow("newer patch") << "4.0.0"
                                     << "4.0.1" << 2;
        QTest::newRow("same") << "4.0.0"
                              << "4.0.0" << 1;
        QTest::newRow("older offered") << "4.0.0"
                                       << "3.9.9" << 0;
        QTest::newRow("two parts") << "4.0.0"
                                   << "4.0" << 0;
        QTest::newRow("numeric not textual") << "4.9.0"
                                             << "4.10.0" << 2;
        QTest::newRow("newer major") << "4.0.0"
                                     << "5.0.0" << 2;
        QTest::newRow("older minor") << "4.2.0"
                                     << "4.1.9" << 0;
        QTest::newRow("four parts") << "4.0.0"
                                    << "4.0.0.1" << 0;
        QTest::newRow("empty offered") << "4.0.0"
                                       << "" << 0;
        QTest::newRow("empty parts dropped") << "4.0.0"
                                             << "4..0.1" << 2;
        QTest::newRow("letters count as 0") << "4.0.0"
                                            << "4.0.x" << 1;
        QTest::newRow("letters in current") << "4.0.beta"
                                            << "4.0.1" << 2;
        QTest::newRow("sign is not a number") << "4.0.0"
                                              << "4.0.+1" << 1;
        QTest::newRow("huge number counts as 0") << "4.0.0"
                                                 << "4.0.99999999999999999999999" << 1;
        QTest::newRow("big but valid") << "4.0.0"
                                       << "4.0.4294967296" << 2;
        QTest::newRow("leading zeros") << "4.0.1"
                                       << "4.0.001" << 1;
        QTest::newRow("current malformed") << "4.0"
                                           << "4.0.1" << 0;
    }
    void comparison()
    {
        QFETCH(QString, current);
        QFETCH(QString, offered);
        QTEST(CheckerVersion::comparisonVersion(current, offered), "status");
    }

    void tag_data()
    {
        QTest::addColumn<QString>("product");
        QTest::addColumn<QString>("tag");
        QTest::newRow("windows") << "Windows 10 Pro"
                                 << "Windows";
        QTest::newRow("windows 11") << "Windows 11 Enterprise"
                                    << "Windows";
        QTest::newRow("AlterOS before Alt") << "AlterOS 7.5"
                                            << "AlterOS";
        QTest::newRow("Alt") << "Alt Workstation 10"
                             << "Alt";
        QTest::newRow("Debian first") << "Debian GNU/Linux 12 (bookworm)"
                                      << "Debian";
        QTest::newRow("Ubuntu") << "Ubuntu 22.04.3 LTS"
                                << "Ubuntu";
        QTest::newRow("Astra") << "Astra Linux 1.7"
                               << "Astra";
        QTest::newRow("CentOS") << "CentOS Stream 9"
                                << "CentOS";
        QTest::newRow("Fedora") << "Fedora Linux 39"
                                << "Fedora";
        QTest::newRow("PopOS") << "PopOS 22.04"
                               << "PopOS";
        QTest::newRow("case-sensitive") << "windows 10"
                                        << "";
        QTest::newRow("none") << "Plan 9"
                              << "";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("list order wins") << "Ubuntu on Windows"
                                         << "Ubuntu";
    }
    void tag()
    {
        QFETCH(QString, product);
        QTEST(CheckerVersion::tagForProductName(product), "tag");
    }

    void tagFromMachine()
    {
        FakeMachineInfo machine;
        machine.product = QStringLiteral("AlterOS Server");
        machine.build = 0;
        CheckerVersion checker(QStringLiteral("4.0.0"));
        QCOMPARE(checker.getTagOs(), QStringLiteral("AlterOS"));
    }

    void versionFormatting_data()
    {
        QTest::addColumn<qint64>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("4.0.0") << qint64(400000000) << "4.0.0";
        QTest::newRow("4.2.3") << qint64(4 * 100000000LL + 2 * 10000 + 3) << "4.2.3";
        QTest::newRow("4.0.1") << qint64(400000001) << "4.0.1";
        QTest::newRow("zero") << qint64(0) << "0.0.0";
        QTest::newRow("parts reduced to 8 bits") << qint64(256 * 100000000LL + 257 * 10000 + 258) << "0.1.2";
    }
    void versionFormatting()
    {
        QFETCH(qint64, value);
        QTEST(AnswerParser::versionText(value), "text");
    }

    void constructorPreparesHourlyTimerWithoutStarting()
    {
        CheckerVersion checker(QStringLiteral("4.0.0"));
        QVERIFY(checker.getTimer() != nullptr);
        QCOMPARE(checker.getTimer()->interval(), 3600000);
        QVERIFY(!checker.getTimer()->isActive());
    }

    void noTagReportsWithoutRequest()
    {
        FakeMachineInfo machine;
        machine.product = QStringLiteral("Plan 9 from Bell Labs");
        machine.build = 0;
        CheckerVersion checker(QStringLiteral("4.0.0"));
        QSignalSpy versions(&checker, &CheckerVersion::signalVersions);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^ERROR VERSION")));
        checker.slotGetVersion();
        QCOMPARE(versions.count(), 1);
        const QJsonObject report = versions.at(0).at(0).toJsonObject();
        QCOMPARE(report,
                 (QJsonObject{{"status", 0}, {"curr_version", "4.0.0"}, {"get_version", ""}, {"url", ""}}));
        QVERIFY(checker.getTimer()->isActive());
        QCOMPARE(checker.getTimer()->interval(), 3600000);
    }

    void reportObject()
    {
        QCOMPARE(
            CheckerVersion::versionsObject(2, "4.0.0", "4.0.1", "https://x/"),
            (QJsonObject{
                {"status", 2}, {"curr_version", "4.0.0"}, {"get_version", "4.0.1"}, {"url", "https://x/"}}));
    }
};

QTEST_GUILESS_MAIN(TestCheckerVersion)
#include "tst_checker_version.moc"
