#include "backend/CheckerCli.h"
#include "common/RegistryStore.h"
#include "host/DeploymentValues.h"
#include "settings/ConstData.h"
#include "settings/UserData.h"
#include "tests/fakes/FakeMachineInfo.h"
#include "tests/fakes/ScratchStore.h"

#include <QtTest>

// What an installer leaves in the group DEPLOY reaches the agent once: read,
// deleted, and handed to the command-line sign-in in a form it reads back
// unchanged.
class TestDeploymentValues : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void takenOnceAndDeleted();
    void signInArgumentsReadBack_data();
    void signInArgumentsReadBack();
    void protocol_data();
    void protocol();

private:
    std::unique_ptr<ScratchStore> store;
    std::unique_ptr<FakeMachineInfo> machine;
};

void TestDeploymentValues::init()
{
    store = std::make_unique<ScratchStore>();
    QVERIFY(store->isValid());
    machine = std::make_unique<FakeMachineInfo>();
    UserData::resetMemoryState();
    ConstData::resetWorkingMode();
}

void TestDeploymentValues::cleanup()
{
    machine.reset();
    store.reset();
}

void TestDeploymentValues::takenOnceAndDeleted()
{
    {
        auto settings = RegistryStore::open(ConstData::getAddressConf());
        settings->setValue(QStringLiteral("DEPLOY/ACCESSKEY"), QStringLiteral("key-1"));
        settings->setValue(QStringLiteral("DEPLOY/LOGIN"), QStringLiteral("admin"));
        settings->setValue(QStringLiteral("DEPLOY/PASSWORD"), QStringLiteral("p w"));
        settings->setValue(QStringLiteral("DEPLOY/PIN"), QStringLiteral("2580"));
        settings->setValue(QStringLiteral("DEPLOY/PROTOCOL"), QStringLiteral("DoT"));
        settings->setValue(QStringLiteral("CONTROL/LOG_STATUS"), true);
    }
    const DeploymentValues::Values values = DeploymentValues::take();
    QCOMPARE(values.accessKey, QStringLiteral("key-1"));
    QCOMPARE(values.login, QStringLiteral("admin"));
    QCOMPARE(values.password, QStringLiteral("p w"));
    QCOMPARE(values.pin, QStringLiteral("2580"));
    QCOMPARE(values.protocol, QStringLiteral("DoT"));
    {
        auto settings = RegistryStore::open(ConstData::getAddressConf());
        QVERIFY(!settings->childGroups().contains(QStringLiteral("DEPLOY")));
        // Only the group goes.
        QVERIFY(settings->contains(QStringLiteral("CONTROL/LOG_STATUS")));
    }
    QVERIFY(DeploymentValues::take().isEmpty());

    DeploymentValues::apply(values);
    QCOMPARE(UserData::getDnsProtocol(), UserData::DOT);
}

void TestDeploymentValues::signInArgumentsReadBack_data()
{
    QTest::addColumn<QString>("accessKey");
    QTest::addColumn<QString>("login");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("pin");
    QTest::addColumn<QStringList>("expected"); // token, login, password, pin as read back
    QTest::newRow("login") << ""
                           << "admin"
                           << "secret"
                           << "2580" << QStringList{"", "admin", "secret", "2580"};
    QTest::newRow("access key") << "key-1"
                                << ""
                                << ""
                                << "2580" << QStringList{"key-1", "", "", "2580"};
    QTest::newRow("both") << "key-1"
                          << "admin"
                          << "secret"
                          << "2580" << QStringList{"key-1", "admin", "secret", "2580"};
    // Values that look like options or hold separators stay values.
    QTest::newRow("password like an option") << ""
                                             << "admin"
                                             << "-pin=1"
                                             << "2580" << QStringList{"", "admin", "-pin=1", "2580"};
    QTest::newRow("spaces and equals") << ""
                                       << "a b"
                                       << "x=y z"
                                       << "12 34" << QStringList{"", "a b", "x=y z", "12 34"};
    QTest::newRow("PIN without credentials signs nothing in") << ""
                                                              << ""
                                                              << ""
                                                              << "2580" << QStringList{"", "", "", ""};
}

void TestDeploymentValues::signInArgumentsReadBack()
{
    QFETCH(QString, accessKey);
    QFETCH(QString, login);
    QFETCH(QString, password);
    QFETCH(QString, pin);
    QFETCH(QStringList, expected);
    DeploymentValues::Values values;
    values.accessKey = accessKey;
    values.login = login;
    values.password = password;
    values.pin = pin;
    const QStringList arguments =
        QStringList{QStringLiteral("agentcorvane")} + DeploymentValues::signInArguments(values);
    const CheckerCli::Params params = CheckerCli::parseParams(arguments);
    QCOMPARE((QStringList{params.token, params.login, params.password, params.pin}), expected);
}

void TestDeploymentValues::protocol_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("known");
    QTest::addColumn<int>("protocol");
    QTest::newRow("dns") << "dns" << true << int(UserData::DNS);
    QTest::newRow("dot") << "dot" << true << int(UserData::DOT);
    QTest::newRow("doh, upper case") << "DOH" << true << int(UserData::DOH);
    QTest::newRow("blanks around") << " doh " << true << int(UserData::DOH);
    QTest::newRow("number") << "1" << false << int(UserData::DNS);
    QTest::newRow("other word") << "https" << false << int(UserData::DNS);
}

void TestDeploymentValues::protocol()
{
    QFETCH(QString, text);
    QFETCH(bool, known);
    QFETCH(int, protocol);
    UserData::ETypeOfDnsProtocol result = UserData::DNS;
    QCOMPARE(DeploymentValues::protocolFromText(text, result), known);
    QCOMPARE(int(result), protocol);
}

QTEST_GUILESS_MAIN(TestDeploymentValues)
#include "tst_deploymentvalues.moc"
