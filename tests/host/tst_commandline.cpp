#include "common/RegistryStore.h"
#include "host/AgentCommandLine.h"
#include "settings/ConstData.h"
#include "settings/UserData.h"
#include "tests/fakes/FakeMachineInfo.h"
#include "tests/fakes/FakeProgramRunner.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {
int entryRuns = 0;
int countingEntry(int, char**)
{
    ++entryRuns;
    return 0;
}

// Runs the command line as the program would see it.
int runWords(const QStringList& words)
{
    QVector<QByteArray> storage;
    storage.append(QByteArrayLiteral("/opt/corvane/agentcorvane"));
    for (const QString& word : words)
        storage.append(word.toLocal8Bit());
    QVector<char*> argv;
    for (QByteArray& arg : storage)
        argv.append(arg.data());
    argv.append(nullptr);
    return AgentCommandLine::run(argv.size() - 1, argv.data(), countingEntry);
}
} // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void install_data();
    void install();
    void guiPath();
    void checkUninstallRightPin();
    void checkUninstallWrongPin();
    void checkUninstallGuiMissing();
    void checkUninstallWithoutGui_data();
    void checkUninstallWithoutGui();
    void deploy_data();
    void deploy();
    void uninstallWithoutPermissionChangesNothing();
    void uninstallConsumesPermission();

private:
    void storeSignIn(const QString& pin);
    void guiTypes(const QString& pin);
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<FakeMachineInfo> machine;
    std::unique_ptr<FakeProgramRunner> runner;
};

void TestCommandLine::init()
{
    dir = std::make_unique<QTemporaryDir>();
    qputenv("CORVANE_STATE_DIR", QFile::encodeName(dir->path() + QStringLiteral("/state")));
    qputenv("CORVANE_SYSTEMD_UNIT_DIR", QFile::encodeName(dir->path() + QStringLiteral("/units")));
    machine = std::make_unique<FakeMachineInfo>();
    runner = std::make_unique<FakeProgramRunner>();
    UserData::resetMemoryState();
    ConstData::resetWorkingMode();
    entryRuns = 0;
}

void TestCommandLine::cleanup()
{
    runner.reset();
    machine.reset();
    dir.reset();
    qunsetenv("CORVANE_SYSTEMD_UNIT_DIR");
}

void TestCommandLine::storeSignIn(const QString& pin)
{
    UserData::setLogin(QStringLiteral("admin"));
    UserData::setPassword(QStringLiteral("pw"));
    QVERIFY(UserData::setPin(pin));
    UserData::resetMemoryState();
}

void TestCommandLine::guiTypes(const QString& pin)
{
    // The tray program writes what the user typed into the agent's settings.
    runner->setAction(QStringLiteral("agentcorvanegui"), [pin](const QStringList& arguments) {
        QCOMPARE(arguments, QStringList{QStringLiteral("checkuninst")});
        auto store = RegistryStore::open(ConstData::getAddressConf());
        store->setValue(QStringLiteral("CONTROL/UNINSTALL/PIN"), pin);
    });
}

void TestCommandLine::install_data()
{
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<bool>("noAd");
    QTest::newRow("noAd") << QStringList{"install", "noAd"} << true;
    QTest::newRow("letter case differs") << QStringList{"install", "noad"} << false;
    QTest::newRow("no second word") << QStringList{"install"} << false;
    QTest::newRow("other second word") << QStringList{"install", "AD"} << false;
}

void TestCommandLine::install()
{
    QFETCH(QStringList, words);
    QFETCH(bool, noAd);
    UserData::setNoAdWork(!noAd);
    QCOMPARE(runWords(words), 0);
    QCOMPARE(UserData::getNoAdWork(), noAd);
    auto store = RegistryStore::open(ConstData::getAddressConf());
    QCOMPARE(store->value(QStringLiteral("CONTROL/NO_AD")).toBool(), noAd);
    QFile unit(dir->path() + QStringLiteral("/units/corvane-agent.service"));
    QVERIFY(unit.open(QIODevice::ReadOnly));
    const QByteArray text = unit.readAll();
    QVERIFY(text.contains("ExecStart=\""));
    // A killed agent is started again a second later, however often.
    QVERIFY(text.contains("\nRestart=always\nRestartSec=1\n"));
    QVERIFY(text.contains("\nStartLimitIntervalSec=0\n"));
    // The service manager starts the agent; the installer does not run it.
    QCOMPARE(entryRuns, 0);
}

void TestCommandLine::guiPath()
{
    QCOMPARE(AgentCommandLine::guiProgramPath(QStringLiteral("/opt/corvane/agentcorvane")),
             QStringLiteral("/opt/corvane/agentcorvanegui/agentcorvanegui"));
}

void TestCommandLine::checkUninstallRightPin()
{
    storeSignIn(QStringLiteral("2580"));
    guiTypes(QStringLiteral("2580"));
    QCOMPARE(runWords({QStringLiteral("checkuninst")}), 0);
    QVERIFY(UserData::getCheckUninstallStatus());
    const auto calls = runner->calls();
    QCOMPARE(calls.size(), 1);
    QCOMPARE(calls.first().program, QStringLiteral("/opt/corvane/agentcorvanegui/agentcorvanegui"));
    QCOMPARE(calls.first().timeoutMs, 30000);
    // A second check is answered from the stored permission without the GUI.
    QCOMPARE(runWords({QStringLiteral("checkuninst")}), 0);
    QCOMPARE(runner->calls().size(), 1);
    // The typed PIN does not stay in the store.
    auto store = RegistryStore::open(ConstData::getAddressConf());
    QVERIFY(!store->contains(QStringLiteral("CONTROL/UNINSTALL/PIN")));
}

void TestCommandLine::checkUninstallWrongPin()
{
    storeSignIn(QStringLiteral("2580"));
    guiTypes(QStringLiteral("0000"));
    QCOMPARE(runWords({QStringLiteral("checkuninst")}), 1);
    QVERIFY(!UserData::getCheckUninstallStatus());
    guiTypes(QString());
    QCOMPARE(runWords({QStringLiteral("checkuninst")}), 1);
}

void TestCommandLine::checkUninstallGuiMissing()
{
    storeSignIn(QStringLiteral("11"));
    {
        auto store = RegistryStore::open(ConstData::getAddressConf());
        store->setValue(QStringLiteral("CONTROL/UNINSTALL/PIN"), QStringLiteral("11"));
    }
    // No action and no result: the program cannot be started.
    QCOMPARE(runWords({QStringLiteral("checkuninst")}), 0);
    QCOMPARE(runner->calls().size(), 1);
}

void TestCommandLine::checkUninstallWithoutGui_data()
{
    QTest::addColumn<QString>("storedPin");
    QTest::addColumn<QString>("givenPin");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("right PIN") << "7391"
                               << "7391" << 0;
    QTest::newRow("wrong PIN") << "7391"
                               << "0000" << 1;
    QTest::newRow("no PIN given while signed in") << "7391"
                                                  << "" << 1;
    QTest::newRow("nothing signed in: nothing to protect") << ""
                                                           << "" << 0;
    QTest::newRow("nothing signed in, a PIN given") << ""
                                                    << "7391" << 0;
}

void TestCommandLine::checkUninstallWithoutGui()
{
    QFETCH(QString, storedPin);
    QFETCH(QString, givenPin);
    QFETCH(int, exitCode);
    if (!storedPin.isEmpty())
        storeSignIn(storedPin);
    if (!givenPin.isEmpty()) {
        auto store = RegistryStore::open(ConstData::getAddressConf());
        store->setValue(QStringLiteral("CONTROL/UNINSTALL/PIN"), givenPin);
    }
    QCOMPARE(runWords({QStringLiteral("checkuninst"), QStringLiteral("nogui")}), exitCode);
    QCOMPARE(UserData::getCheckUninstallStatus(), exitCode == 0);
    // An installer without a desktop: the tray program is never started.
    QVERIFY(runner->calls().isEmpty());
    auto store = RegistryStore::open(ConstData::getAddressConf());
    QVERIFY(!store->contains(QStringLiteral("CONTROL/UNINSTALL/PIN")));
}

void TestCommandLine::deploy_data()
{
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<bool>("before");
    QTest::addColumn<bool>("noAd");
    QTest::newRow("noAd") << QStringList{"deploy", "noAd"} << false << true;
    QTest::newRow("ad") << QStringList{"deploy", "ad"} << true << false;
    QTest::newRow("kept on (an upgrade)") << QStringList{"deploy"} << true << true;
    QTest::newRow("kept off (an upgrade)") << QStringList{"deploy"} << false << false;
}

void TestCommandLine::deploy()
{
    QFETCH(QStringList, words);
    QFETCH(bool, before);
    QFETCH(bool, noAd);
    UserData::setNoAdWork(before);
    QCOMPARE(runWords(words), 0);
    QCOMPARE(UserData::getNoAdWork(), noAd);
    QVERIFY(QFile::exists(dir->path() + QStringLiteral("/units/corvane-agent.service")));
    // The package starts the service itself: no hand-over to the dispatcher.
    QCOMPARE(entryRuns, 0);
}

void TestCommandLine::uninstallWithoutPermissionChangesNothing()
{
    QVERIFY(QDir().mkpath(dir->path() + QStringLiteral("/units")));
    QFile unit(dir->path() + QStringLiteral("/units/corvane-agent.service"));
    QVERIFY(unit.open(QIODevice::WriteOnly));
    unit.close();
    QCOMPARE(runWords({QStringLiteral("uninstall")}), 0);
    QVERIFY(unit.exists());
    QVERIFY(runner->calls().isEmpty());
}

void TestCommandLine::uninstallConsumesPermission()
{
    QCOMPARE(runWords({QStringLiteral("install")}), 0);
    storeSignIn(QStringLiteral("5"));
    guiTypes(QStringLiteral("5"));
    QCOMPARE(runWords({QStringLiteral("checkuninst")}), 0);
    QCOMPARE(runWords({QStringLiteral("uninstall")}), 0);
    QVERIFY(!QFile::exists(dir->path() + QStringLiteral("/units/corvane-agent.service")));
    QVERIFY(!UserData::getCheckUninstallStatus());
    // The permission served one uninstall only.
    QCOMPARE(runWords({QStringLiteral("install")}), 0);
    QCOMPARE(runWords({QStringLiteral("uninstall")}), 0);
    QVERIFY(QFile::exists(dir->path() + QStringLiteral("/units/corvane-agent.service")));
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
