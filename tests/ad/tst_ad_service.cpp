#include "backend/NetworkAccessManager.h"
#include "backend/RestAD.h"
#include "settings/ConstData.h"
#include "settings/UserData.h"
#include "tests/fakes/DevServiceAdmin.h"
#include "tests/fakes/FakeMachineInfo.h"
#include "tests/fakes/FakeProgramRunner.h"
#include "tests/testlib/LogCapture.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

#include <memory>

// Directory registration against the development service (inside the harness
// namespace), with the machine's domain, console user and group query faked.
namespace {

// The service's own log: requests of one method to paths containing `part`.
int serviceRequests(const QString& method, const QString& part)
{
    QFile log(qEnvironmentVariable("CORVANE_SERVICE_LOG"));
    if (!log.open(QIODevice::ReadOnly))
        return -1;
    int found = 0;
    const QList<QByteArray> lines = log.readAll().split('\n');
    for (const QByteArray& line : lines) {
        const QString text = QString::fromUtf8(line);
        if (text.contains(QStringLiteral("DEVSERVICE.HTTP")) &&
            text.contains(QLatin1Char(' ') + method + QLatin1Char(' ')) && text.contains(part))
            ++found;
    }
    return found;
}

QJsonObject demoAccount()
{
    const QJsonArray accounts = DevServiceAdmin::state().value("accounts").toArray();
    for (const QJsonValue& account : accounts) {
        if (account.toObject().value("id").toInt() == 101)
            return account.toObject();
    }
    return QJsonObject();
}

int domainIdOf(const QString& name)
{
    for (const QJsonValue& domain : demoAccount().value("ad_domains").toArray()) {
        if (domain.toObject().value("name").toString() == name)
            return domain.toObject().value("id").toInt(-1);
    }
    return -1;
}

int domainCount(const QString& name)
{
    int found = 0;
    for (const QJsonValue& domain : demoAccount().value("ad_domains").toArray())
        found += domain.toObject().value("name").toString() == name ? 1 : 0;
    return found;
}

// The service's group of that name in that domain; empty when there is none.
QJsonObject groupOf(const QString& name, int domain)
{
    for (const QJsonValue& group : demoAccount().value("ad_groups").toArray()) {
        const QJsonObject object = group.toObject();
        if (object.value("name").toString() == name && object.value("domain").toInt(-2) == domain)
            return object;
    }
    return QJsonObject();
}

int groupCount(const QString& name, int domain)
{
    int found = 0;
    for (const QJsonValue& group : demoAccount().value("ad_groups").toArray()) {
        const QJsonObject object = group.toObject();
        found +=
            object.value("name").toString() == name && object.value("domain").toInt(-2) == domain ? 1 : 0;
    }
    return found;
}

// Builds the backend door as every backend operation does; in directory mode
// that runs the registration when it is armed.
void touchBackend()
{
    NetworkAccessManager manager;
}

} // namespace

class TestAdService : public QObject
{
    Q_OBJECT

private:
    FakeMachineInfo machine;
    FakeProgramRunner runner;
    // Every line logged ("CATEGORY: message"); information and above also
    // reach the test framework.
    std::unique_ptr<LogCapture> log;

    void setMachine(const QString& domain, const QString& user)
    {
        machine.domain = domain;
        machine.user = user;
        ConstData::resetWorkingMode();
        UserData::checkUsername();
    }
    void setDirectoryGroups(const QString& idOutput, int exitCode = 0)
    {
        runner.setResult("id", FakeProgramRunner::output(idOutput.toUtf8(), exitCode));
    }
    // Arms the registration (as the central object does when the console user
    // changes) and runs it.
    void registerNow()
    {
        {
            NetworkAccessManager manager;
            manager.newUser();
        }
        touchBackend();
    }

private slots:
    void initTestCase()
    {
        log = std::make_unique<LogCapture>(LogCapture::Forward::AboveDebug);
        RestAD::registerBinding();
        UserData::resetMemoryState();
        UserData::setNoAdWork(false);
        setMachine("corp.example.org", "anna");
        setDirectoryGroups("Staff Developers\n");
        UserData::setAuthToken("demo-ad-key");
    }
    void init()
    {
        DevServiceAdmin::clearFaults();
        log->clear();
    }
    void cleanupTestCase() { log.reset(); }

    void directoryModeBuildsTheDirectoryBinding()
    {
        NetworkAccessManager manager;
        QVERIFY(qobject_cast<RestAD*>(manager.getImplementation()) != nullptr);
    }

    void nothingRegisteredBeforeNewUser()
    {
        QCOMPARE(RestAD::registrationState(), int(RestAD::notArmed));
        touchBackend();
        NetworkAccessManager manager;
        QVERIFY(manager.getFilteringStatus().error == 0);
        QCOMPARE(RestAD::registrationState(), int(RestAD::notArmed));
        QCOMPARE(domainIdOf("corp.example.org"), -1);
        QCOMPARE(log->countContaining("REQUEST checkDomain"), 0);
    }

    void firstRegistrationCreatesDomainUserAndGroups()
    {
        registerNow();
        QCOMPARE(RestAD::registrationState(), int(RestAD::registered));
        const int domain = domainIdOf("corp.example.org");
        QVERIFY(domain > 0);
        QCOMPARE(RestAD::domainId(), domain);
        QCOMPARE(log->countContaining("REQUEST addDomain"), 1);
        QVERIFY(RestAD::adUserId() > 0);
        bool found = false;
        for (const QJsonValue& user : demoAccount().value("ad_users").toArray()) {
            const QJsonObject object = user.toObject();
            if (object.value("id").toInt() == RestAD::adUserId()) {
                found = true;
                QCOMPARE(object.value("name").toString(), QStringLiteral("anna"));
                QCOMPARE(object.value("domain").toInt(), domain);
                QCOMPARE(UserData::getToken(), qint64(object.value("token").toInt()));
            }
        }
        QVERIFY(found);
        QCOMPARE(groupOf("Staff", domain).value("ad_users").toArray(), QJsonArray{RestAD::adUserId()});
        QCOMPARE(groupOf("Developers", domain).value("ad_users").toArray(), QJsonArray{RestAD::adUserId()});
    }

    void knownDomainIsNotCreatedAgain()
    {
        registerNow();
        QCOMPARE(RestAD::registrationState(), int(RestAD::registered));
        QCOMPARE(log->countContaining("REQUEST addDomain"), 0);
        QCOMPARE(domainCount("corp.example.org"), 1);
        QCOMPARE(log->countContaining("REQUEST changeUsersToGroup"), 0);
        QCOMPARE(log->countContaining("REQUEST addGroups"), 0);
    }

    void leavingAGroupIsOnePatch()
    {
        const int domain = RestAD::domainId();
        const int patchesBefore = serviceRequests("PATCH", "/ad_groups/");
        setDirectoryGroups("Staff\n");
        registerNow();
        QCOMPARE(RestAD::registrationState(), int(RestAD::registered));
        QCOMPARE(log->countContaining("REQUEST changeUsersToGroup"), 1);
        QCOMPARE(serviceRequests("PATCH", "/ad_groups/") - patchesBefore, 1);
        QCOMPARE(groupOf("Developers", domain).value("ad_users").toArray(), QJsonArray{});
        QCOMPARE(groupOf("Staff", domain).value("ad_users").toArray(), QJsonArray{RestAD::adUserId()});
    }

    void joiningAGroupIsOnePatch()
    {
        const int domain = RestAD::domainId();
        const int patchesBefore = serviceRequests("PATCH", "/ad_groups/");
        setDirectoryGroups("Staff Developers\n");
        registerNow();
        QCOMPARE(serviceRequests("PATCH", "/ad_groups/") - patchesBefore, 1);
        QCOMPARE(log->countContaining("REQUEST addGroups"), 0);
        QCOMPARE(groupOf("Developers", domain).value("ad_users").toArray(), QJsonArray{RestAD::adUserId()});
    }

    void groupsOfAnotherDomainAreUntouched()
    {
        const int corpDomain = RestAD::domainId();
        const int corpUser = RestAD::adUserId();
        const QJsonObject corpStaff = groupOf("Staff", corpDomain);

        setMachine("branch.example.org", "anna");
        setDirectoryGroups("Sales\n");
        registerNow();
        QCOMPARE(RestAD::registrationState(), int(RestAD::registered));
        const int branchDomain = domainIdOf("branch.example.org");
        QVERIFY(branchDomain > 0 && branchDomain != corpDomain);
        QVERIFY(RestAD::adUserId() != corpUser);
        // The corp groups still hold the corp user; nothing there was patched.
        QCOMPARE(groupOf("Staff", corpDomain), corpStaff);
        QCOMPARE(log->countContaining("REQUEST changeUsersToGroup"), 0);
        QCOMPARE(groupOf("Sales", branchDomain).value("ad_users").toArray(), QJsonArray{RestAD::adUserId()});

        // A corp group name in this domain is created here, not borrowed from corp.
        setDirectoryGroups("Sales Staff\n");
        registerNow();
        QCOMPARE(groupCount("Staff", branchDomain), 1);
        QCOMPARE(groupCount("Staff", corpDomain), 1);
        QCOMPARE(groupOf("Staff", corpDomain), corpStaff);
        setMachine("corp.example.org", "anna");
        setDirectoryGroups("Staff Developers\n");
        registerNow();
        QCOMPARE(RestAD::registrationState(), int(RestAD::registered));
    }

    void noDirectoryGroupsIsSuccess()
    {
        const int domain = RestAD::domainId();
        setDirectoryGroups("\n");
        registerNow();
        QCOMPARE(RestAD::registrationState(), int(RestAD::registered));
        // The memberships the user no longer has are removed all the same.
        QCOMPARE(groupOf("Staff", domain).value("ad_users").toArray(), QJsonArray{});
        QCOMPARE(groupOf("Developers", domain).value("ad_users").toArray(), QJsonArray{});
        setDirectoryGroups("Staff Developers\n");
        registerNow();
    }

    void failingDirectoryQueryIsRetried()
    {
        setDirectoryGroups("id: 'anna': no such user\n", 1);
        QTest::ignoreMessage(QtWarningMsg, "Failed to get Groups! 1");
        registerNow();
        QCOMPARE(RestAD::registrationState(), int(RestAD::registerNext));
        setDirectoryGroups("Staff Developers\n");
        touchBackend(); // the next backend operation tries again
        QCOMPARE(RestAD::registrationState(), int(RestAD::registered));
    }

    void failedCreationFailsTheRegistration()
    {
        const int domain = RestAD::domainId();
        setDirectoryGroups("Staff Developers Auditors\n");
        DevServiceAdmin::addHttpFault(
            QJsonObject{{"path", QStringLiteral("/ad/rest_api/v1/users/101/ad_groups/")},
                        {"method", "POST"},
                        {"action", "status"},
                        {"status", 400},
                        {"count", 3}});
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^ERROR addGroups"));
        registerNow();
        QCOMPARE(RestAD::registrationState(), int(RestAD::registerNext));
        QCOMPARE(groupCount("Auditors", domain), 0);
        touchBackend();
        QCOMPARE(RestAD::registrationState(), int(RestAD::registered));
        QCOMPARE(groupCount("Auditors", domain), 1);
    }

    void unreachableGroupListFailsTheRegistration()
    {
        DevServiceAdmin::addHttpFault(
            QJsonObject{{"path", QStringLiteral("/ad/rest_api/v1/users/101/ad_groups/")},
                        {"method", "GET"},
                        {"action", "status"},
                        {"status", 503},
                        {"count", 3}});
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^ERROR checkGroups"));
        registerNow();
        QCOMPARE(RestAD::registrationState(), int(RestAD::registerNext));
        touchBackend();
        QCOMPARE(RestAD::registrationState(), int(RestAD::registered));
    }

    void noConsoleUserMeansNoRegistration()
    {
        setMachine("corp.example.org", QString());
        registerNow();
        QCOMPARE(RestAD::registrationState(), int(RestAD::registerNext));
        QCOMPARE(log->countContaining("REQUEST checkUser"), 0);
        setMachine("corp.example.org", "anna");
        touchBackend();
        QCOMPARE(RestAD::registrationState(), int(RestAD::registered));
    }

    void profilesAndDebugReportOfTheDirectoryUser()
    {
        NetworkAccessManager manager;
        const ApiResult profiles = manager.getProfiles();
        QCOMPARE(profiles.error, 0);
        const QJsonArray list = profiles.data.value("result").toArray();
        QCOMPARE(list.size(), 1);
        QVERIFY(list.first().toObject().value("id").toInt() > 0);
        QCOMPARE(int(UserData::getProfileId()), list.first().toObject().value("id").toInt());

        const QString report = QStringLiteral(
            R"([{"log_name":"tracert","log_message":"1 hop"},{"log_name":"nslookup","log_message":"txt"}])");
        const ApiResult sent = manager.sendDebugInfo(report);
        QCOMPARE(sent.error, 0);
        QCOMPARE(sent.data.value("result").toInt(-1), 1);
        QCOMPARE(log->countContaining("REQUEST sendDebugInfo"), 2);
    }

    void signInWithTheKey()
    {
        UserData::deleteAuthData();
        NetworkAccessManager manager;
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^ERROR by-ad-key"));
        QCOMPARE(manager.checkAuth("not-a-key").data.value("result").toBool(), false);
        // Tokens of a key are not kept for another one.
        QCOMPARE(manager.checkAuth("demo-ad-key").data.value("result").toBool(), true);
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^ERROR by-ad-key"));
        QCOMPARE(manager.checkAuth("wrong-again").data.value("result").toBool(), false);
        QCOMPARE(manager.checkAuth("demo-ad-key").data.value("result").toBool(), true);
        // Machine operations of the password mode do nothing here.
        const ApiResult uid = manager.getUid();
        QCOMPARE(uid.error, 0);
        QVERIFY(uid.data.isEmpty());
    }

    void noKeyNoRegistration()
    {
        UserData::deleteAuthData();
        registerNow();
        QCOMPARE(RestAD::registrationState(), int(RestAD::registerNext));
        QCOMPARE(log->countContaining("REQUEST checkDomain"), 0);
        UserData::setAuthToken("demo-ad-key");
        touchBackend();
        QCOMPARE(RestAD::registrationState(), int(RestAD::registered));
    }
};

QTEST_GUILESS_MAIN(TestAdService)
#include "tst_ad_service.moc"
