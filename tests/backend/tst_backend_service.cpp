#include "backend/AuthLogin.h"
#include "backend/Jrpc.h"
#include "backend/Network.h"
#include "backend/NetworkAccessManager.h"
#include "backend/RestAD.h"
#include "backend/RestLocal.h"
#include "common/RegistryStore.h"
#include "host/MessageHandler.h"
#include "logging/LogFile.h"
#include "logging/LogMask.h"
#include "settings/ConstData.h"
#include "settings/UserData.h"
#include "tests/testlib/LogCapture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

// The backend client against the development filtering service, a real HTTPS
// server inside a private namespace, with the service's fault injection.
namespace {

const QString demoLogin = QStringLiteral("demo");
const QString demoPassword = QStringLiteral("demo-password");
// The account the runner adds: its password must never reach the log.
const QString secretLogin = QStringLiteral("secretive");
const QString secretPassword = QString::fromUtf8("Qv\"7\\x-\xc3\x9c-kelp-9317");
const QString secretPin = QStringLiteral("pinXq7Zr");

// One request to the service's admin endpoint (plain HTTP), with a deadline.
QJsonObject admin(const QByteArray& method, const QString& path, const QJsonObject& body = QJsonObject())
{
    QNetworkAccessManager manager;
    QNetworkRequest request(
        QUrl(qEnvironmentVariable("CORVANE_ADMIN_URL", QStringLiteral("http://127.53.0.2:8053")) + path));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    const QByteArray data =
        body.isEmpty() ? QByteArray() : QJsonDocument(body).toJson(QJsonDocument::Compact);
    QNetworkReply* reply = manager.sendCustomRequest(request, method, data);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    const QJsonObject answer = QJsonDocument::fromJson(reply->readAll()).object();
    delete reply;
    return answer;
}

void addFault(const QJsonObject& rule)
{
    admin("POST", QStringLiteral("/admin/faults"), QJsonObject{{QStringLiteral("http"), QJsonArray{rule}}});
}

QJsonObject fault(const QString& path, const QString& method, const QString& action, int countValue,
                  int extra = 0)
{
    QJsonObject rule{{QStringLiteral("path"), path},
                     {QStringLiteral("action"), action},
                     {QStringLiteral("count"), countValue}};
    if (!method.isEmpty())
        rule.insert(QStringLiteral("method"), method);
    if (action == QLatin1String("status"))
        rule.insert(QStringLiteral("status"), extra);
    if (action == QLatin1String("delay"))
        rule.insert(QStringLiteral("delay_ms"), extra);
    return rule;
}

int pendingFaults()
{
    return admin("GET", QStringLiteral("/admin/faults")).value(QLatin1String("http")).toArray().size();
}

int statusOf(const QSignalSpy& spy)
{
    if (spy.count() != 1)
        return -100 - spy.count();
    return spy.at(0).at(0).toJsonObject().value(QLatin1String("status")).toInt(-1);
}

void setBackendSetting(const QString& value)
{
    auto store = RegistryStore::open(ConstData::getAddressConf());
    if (value.isEmpty())
        store->remove(QStringLiteral("CONTROL/BACKEND"));
    else
        store->setValue(QStringLiteral("CONTROL/BACKEND"), value);
    store->sync();
}

} // namespace

class TestBackendService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void signInCreatePinAndAccountQueries();
    void wrongPasswordAndEmptyPassword();
    void createPinLengthRule();
    void tokenRefreshAfterExpiry();
    void everyTokenExpiredGivesUpBounded();
    void notFoundRetriedTwiceThenReturned();
    void neverAnsweringBackendGivesError5();
    void neverAnsweringBackendAtRealTimings();
    void garbageAnswerGivesDefaults();
    void checkPinStatuses();
    void checkPinUidRefusedWith401Detail();
    void checkPinUnknownUidGetsNewOne();
    void checkPinBackendDown();
    void setProfileRefusedKeepsOldId();
    void removeAgentProfile();
    void systemReportSignedInAndOut();
    void debugInfoShapeAndUpload();
    void jsonRpcBinding();
    void jsonRpcCheckAuthTransportError();
    void overlappingOperations();
    void secretsNeverLogged();

private:
    void signIn(const QString& login, const QString& password);
    std::unique_ptr<QTemporaryDir> state;
    std::unique_ptr<QTemporaryDir> logDir;
    // Every message goes to the agent's log file and to the lines the checks
    // read; information and above also to the test framework, which matches
    // the expected ones.
    std::unique_ptr<LogCapture> log;

    int linesSoFar() const { return log->size(); }
    // Lines logged since `from` that contain `needle`.
    int count(int from, const QString& needle) const { return log->countContaining(needle, from); }
};

void TestBackendService::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("CORVANE_HARNESS_RUN"), "run through tests/backend/service-run.sh");
    state = std::make_unique<QTemporaryDir>();
    logDir = std::make_unique<QTemporaryDir>();
    QVERIFY(state->isValid() && logDir->isValid());
    qputenv("CORVANE_STATE_DIR", state->path().toLocal8Bit());
    LogFile::instance().setLocation(logDir->path(), ConstData::getAppName());
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=true\nqt.*.debug=false"));
    log = std::make_unique<LogCapture>(LogCapture::Forward::AboveDebug, messageHandler);
}

void TestBackendService::init()
{
    Network::setAttemptBaseMs(1000);
    admin("DELETE", QStringLiteral("/admin/faults"));
    setBackendSetting(QString());
    UserData::deleteAuthData();
}

void TestBackendService::cleanupTestCase()
{
    admin("DELETE", QStringLiteral("/admin/faults"));
    log.reset();
}

void TestBackendService::signIn(const QString& login, const QString& password)
{
    AuthLogin auth;
    QSignalSpy checkAuth(&auth, &IAuth::signalStatusCheckAuth);
    auth.slotCheckAuth(QJsonObject{{"login", login}, {"password", password}});
    QCOMPARE(statusOf(checkAuth), IAuth::checkAuthOk);
    QSignalSpy createPin(&auth, &IAuth::signalStatusCreatePin);
    auth.slotCreatePin(QJsonObject{{"pin_code", secretPin}});
    QCOMPARE(statusOf(createPin), IAuth::createPinOk);
}

void TestBackendService::signInCreatePinAndAccountQueries()
{
    const int mark = linesSoFar();
    signIn(demoLogin, demoPassword);
    QCOMPARE(UserData::getLogin(), demoLogin);
    QVERIFY(UserData::checkAuthData());
    // The first CREATEPIN has no identifier to confirm: a new one is issued.
    const QString uid = UserData::getSaveUid();
    QVERIFY(!uid.isEmpty());
    QVERIFY(UserData::getToken() > 0);
    QCOMPARE(UserData::getProfileId(), 2u);
    QCOMPARE(RestLocal::userId(), 101);
    QCOMPARE(count(mark, QStringLiteral("REQUEST getUid")), 1);

    const QMap<unsigned, QString> profiles = UserData::getProfiles();
    QCOMPARE(profiles, (QMap<unsigned, QString>{{1, "Unfiltered"}, {2, "Kids"}, {3, "Work"}}));
    const QJsonObject info = UserData::getUserInfo();
    QCOMPARE(info.value("username").toString(), demoLogin);
    QCOMPARE(info.value("plan_name").toString(), QStringLiteral("Family"));
    QCOMPARE(info.value("date_end").toString(), QStringLiteral("31.12.2030"));
    QVERIFY(info.value("ip").toString().startsWith(QLatin1String("127.")));
    QVERIFY(UserData::getIp().startsWith(QLatin1String("127.")));
    QCOMPARE(UserData::getFilteringStatus(), true);

    QVERIFY(UserData::setProfileId(3));
    QCOMPARE(UserData::getProfileId(), 3u);
    // The service now files this machine under profile 3.
    bool found = false;
    const QJsonArray accounts = admin("GET", QStringLiteral("/admin/state")).value("accounts").toArray();
    for (const QJsonValue& account : accounts) {
        for (const QJsonValue& machine : account.toObject().value("machines").toArray()) {
            if (machine.toObject().value("uid").toString() == uid) {
                QCOMPARE(machine.toObject().value("profile").toInt(), 3);
                found = true;
            }
        }
    }
    QVERIFY(found);
    // One password sign-in served every operation.
    QCOMPARE(count(mark, QStringLiteral("REQUEST by-password")), 1);
    QCOMPARE(count(mark, QStringLiteral("RESPONSE getProfiles():")), 1);
}

void TestBackendService::wrongPasswordAndEmptyPassword()
{
    AuthLogin auth;
    QSignalSpy spy(&auth, &IAuth::signalStatusCheckAuth);
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^ERROR by-password")));
    auth.slotCheckAuth(QJsonObject{{"login", demoLogin}, {"password", QStringLiteral("wrong")}});
    QCOMPARE(statusOf(spy), IAuth::checkAuthRefused);
    QVERIFY(UserData::getLogin().isEmpty());
    QVERIFY(UserData::getPassword().isEmpty());
    // Refused data is not retried by later operations.
    const int after = linesSoFar();
    QVERIFY(UserData::getProfiles().isEmpty());
    QCOMPARE(count(after, QStringLiteral("REQUEST by-password")), 0);

    spy.clear();
    const int mark = linesSoFar();
    auth.slotCheckAuth(QJsonObject{{"login", demoLogin}, {"password", QString()}});
    QCOMPARE(statusOf(spy), IAuth::checkAuthRefused);
    QCOMPARE(count(mark, QStringLiteral("REQUEST by-password")), 0);
}

void TestBackendService::createPinLengthRule()
{
    AuthLogin auth;
    QSignalSpy checkAuth(&auth, &IAuth::signalStatusCheckAuth);
    auth.slotCheckAuth(QJsonObject{{"login", demoLogin}, {"password", demoPassword}});
    QCOMPARE(statusOf(checkAuth), IAuth::checkAuthOk);
    QSignalSpy spy(&auth, &IAuth::signalStatusCreatePin);
    auth.slotCreatePin(QJsonObject{{"pin_code", QString(21, QLatin1Char('5'))}});
    QCOMPARE(statusOf(spy), IAuth::createPinRefused);
    QVERIFY(!UserData::checkAuthData());
    spy.clear();
    auth.slotCreatePin(QJsonObject{{"pin_code", QStringLiteral("4567")}});
    QCOMPARE(statusOf(spy), IAuth::createPinOk);
    QVERIFY(UserData::checkAuthData());
}

void TestBackendService::tokenRefreshAfterExpiry()
{
    UserData::setLogin(demoLogin);
    UserData::setPassword(demoPassword);
    // The sign-in hands out an access token that has already expired.
    addFault(fault(QStringLiteral("/api/token/by-password/"), QStringLiteral("POST"),
                   QStringLiteral("expired_tokens"), 1));
    const int mark = linesSoFar();
    NetworkAccessManager manager;
    const ApiResult result = manager.getProfiles();
    QCOMPARE(result.error, 0);
    QCOMPARE(result.data.value("result").toArray().size(), 3);
    QCOMPARE(count(mark, QStringLiteral("REQUEST by-password")), 1);
    QCOMPARE(count(mark, QStringLiteral("REQUEST refresh")), 1);
    QCOMPARE(pendingFaults(), 0);
    // The refreshed token is valid: the next operation needs no token request.
    const int next = linesSoFar();
    QCOMPARE(manager.getIp().error, 0);
    QCOMPARE(count(next, QStringLiteral("REQUEST refresh")), 0);
    QCOMPARE(count(next, QStringLiteral("REQUEST by-password")), 0);
}

void TestBackendService::everyTokenExpiredGivesUpBounded()
{
    UserData::setLogin(demoLogin);
    UserData::setPassword(demoPassword);
    // Every token the service hands out is already expired, as with a clock far ahead.
    addFault(fault(QStringLiteral("/api/token/*"), QString(), QStringLiteral("expired_tokens"), -1));
    const int mark = linesSoFar();
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("gave up")));
    NetworkAccessManager manager;
    const ApiResult result = manager.getProfiles();
    QCOMPARE(result.error, 0);
    QVERIFY(result.data.isEmpty());
    QCOMPARE(count(mark, QStringLiteral("REQUEST refresh")), RestLocal::maxRefreshRounds);
    QCOMPARE(count(mark, QStringLiteral("REQUEST getProfiles")), 0);
}

void TestBackendService::notFoundRetriedTwiceThenReturned()
{
    signIn(demoLogin, demoPassword);
    addFault(fault(QStringLiteral("/cabinet/rest_api/v1/users/*"), QStringLiteral("GET"),
                   QStringLiteral("status"), 3, 404));
    const int mark = linesSoFar();
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^ERROR getProfiles")));
    NetworkAccessManager manager;
    const ApiResult result = manager.getProfiles();
    QCOMPARE(result.error, int(QNetworkReply::ContentNotFoundError));
    QVERIFY(result.data.isEmpty());
    QCOMPARE(count(mark, QStringLiteral("RESPONSE getProfiles CODE 404")), 1);
    // All three answers were the injected 404s: the service used the rule up.
    QCOMPARE(pendingFaults(), 0);
    QCOMPARE(count(mark, QStringLiteral("NETWORK: attempt 3")), 1);
    QCOMPARE(count(mark, QStringLiteral("NETWORK: attempt 4")), 0);
}

void TestBackendService::neverAnsweringBackendGivesError5()
{
    signIn(demoLogin, demoPassword);
    Network::setAttemptBaseMs(300);
    addFault(fault(QStringLiteral("/cabinet/rest_api/v1/users/*"), QStringLiteral("GET"),
                   QStringLiteral("hang"), -1));
    const int mark = linesSoFar();
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^ERROR getProfiles")));
    NetworkAccessManager manager;
    const ApiResult result = manager.getProfiles();
    QCOMPARE(result.error, int(QNetworkReply::OperationCanceledError));
    QCOMPARE(result.errorString, QStringLiteral("Operation canceled"));
    QCOMPARE(count(mark, QStringLiteral("NETWORK: Timer:")), 3);
    QCOMPARE(count(mark, QStringLiteral("getHttpStatusCode() 0")), 1);
    // The account queries turn it into their defaults.
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^ERROR getProfiles")));
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^REPLY ERROR getProfiles\\(\\)")));
    QVERIFY(UserData::getProfiles().isEmpty());
}

void TestBackendService::neverAnsweringBackendAtRealTimings()
{
    // The production limits: 5 s, 10 s and 15 s, about half a minute in all.
    signIn(demoLogin, demoPassword);
    Network::setAttemptBaseMs(0);
    QCOMPARE(Network::attemptBaseMs(), Network::defaultAttemptBaseMs);
    addFault(
        fault(QStringLiteral("/cabinet/rest_api/v1/ip/"), QStringLiteral("GET"), QStringLiteral("hang"), -1));
    const int mark = linesSoFar();
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^ERROR getIp")));
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^REPLY ERROR getIp\\(\\)")));
    QCOMPARE(UserData::getIp(), QStringLiteral("unknown"));
    QCOMPARE(count(mark, QStringLiteral("NETWORK: Timer: 1")), 1);
    QCOMPARE(count(mark, QStringLiteral("NETWORK: Timer: 2")), 1);
    QCOMPARE(count(mark, QStringLiteral("NETWORK: Timer: 3")), 1);
}

void TestBackendService::garbageAnswerGivesDefaults()
{
    signIn(demoLogin, demoPassword);
    addFault(fault(QStringLiteral("/cabinet/*"), QStringLiteral("GET"), QStringLiteral("garbage"), 1));
    addFault(fault(QStringLiteral("/auth/*"), QStringLiteral("GET"), QStringLiteral("garbage"), 1));
    addFault(fault(QStringLiteral("/rest_api/*"), QStringLiteral("GET"), QStringLiteral("garbage"), 1));
    QVERIFY(UserData::getProfiles().isEmpty());
    const QJsonObject info = UserData::getUserInfo();
    QCOMPARE(info.value("username").toString(), QString());
    QTest::ignoreMessage(QtWarningMsg, "RESPONSE ERROR getFilteringStatus()");
    QCOMPARE(UserData::getFilteringStatus(), true);
}

void TestBackendService::checkPinStatuses()
{
    signIn(demoLogin, demoPassword);
    const QString uid = UserData::getSaveUid();
    const quint32 profile = UserData::getProfileId();
    AuthLogin auth;
    QSignalSpy spy(&auth, &IAuth::signalStatusCheckPin);
    auth.slotCheckPin(QJsonObject{{"pin_code", QStringLiteral("0000")}});
    QCOMPARE(statusOf(spy), IAuth::checkPinWrong);

    // A later start: nothing in memory, the PIN restores the sign-in data.
    UserData::resetMemoryState();
    RestLocal::clearTokens();
    spy.clear();
    const int mark = linesSoFar();
    auth.slotCheckPin(QJsonObject{{"pin_code", secretPin}});
    QCOMPARE(statusOf(spy), IAuth::checkPinOk);
    QCOMPARE(UserData::getLogin(), demoLogin);
    QCOMPARE(UserData::getSaveUid(), uid);
    // The profile the service files the machine under comes back into memory.
    QCOMPARE(UserData::getProfileId(), profile);
    QCOMPARE(count(mark, QStringLiteral("REQUEST getUid")), 0);
}

void TestBackendService::checkPinUidRefusedWith401Detail()
{
    signIn(demoLogin, demoPassword);
    addFault(fault(QStringLiteral("/agents/rest_api/v1/users/*"), QStringLiteral("GET"),
                   QStringLiteral("status"), 3, 401));
    AuthLogin auth;
    QSignalSpy spy(&auth, &IAuth::signalStatusCheckPin);
    const int mark = linesSoFar();
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^ERROR checkUid")));
    QTest::ignoreMessage(QtCriticalMsg, "REPLY ERROR checkUid() Injected fault.");
    auth.slotCheckPin(QJsonObject{{"pin_code", secretPin}});
    QCOMPARE(statusOf(spy), IAuth::checkPinUidRefused);
    QCOMPARE(count(mark, QStringLiteral("REQUEST getUid")), 0);
    QCOMPARE(pendingFaults(), 0);
}

void TestBackendService::checkPinUnknownUidGetsNewOne()
{
    signIn(demoLogin, demoPassword);
    const QString unknown = QStringLiteral("0b7c6d1e-0000-4000-8000-00000000dead");
    UserData::saveUid(unknown);
    AuthLogin auth;
    QSignalSpy spy(&auth, &IAuth::signalStatusCheckPin);
    const int mark = linesSoFar();
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^ERROR checkUid")));
    QTest::ignoreMessage(QtCriticalMsg, "REPLY ERROR checkUid() Not found.");
    auth.slotCheckPin(QJsonObject{{"pin_code", secretPin}});
    QCOMPARE(statusOf(spy), IAuth::checkPinOk);
    QCOMPARE(count(mark, QStringLiteral("RESPONSE checkUid CODE 404")), 1);
    QCOMPARE(count(mark, QStringLiteral("REQUEST getUid")), 1);
    const QString fresh = UserData::getSaveUid();
    QVERIFY(!fresh.isEmpty());
    QVERIFY(fresh != unknown);
    QVERIFY(UserData::getToken() > 0);
    QCOMPARE(UserData::getProfileId(), 2u);
}

void TestBackendService::checkPinBackendDown()
{
    signIn(demoLogin, demoPassword);
    const QString uid = UserData::getSaveUid();
    Network::setAttemptBaseMs(200);
    addFault(fault(QStringLiteral("*"), QString(), QStringLiteral("hang"), -1));
    AuthLogin auth;
    QSignalSpy spy(&auth, &IAuth::signalStatusCheckPin);
    // An identifier is on file: it is kept and the answer is 4.
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^ERROR checkUid")));
    QTest::ignoreMessage(QtCriticalMsg, "REPLY ERROR checkUid() Operation canceled");
    auth.slotCheckPin(QJsonObject{{"pin_code", secretPin}});
    QCOMPARE(statusOf(spy), IAuth::checkPinBackendDown);
    QCOMPARE(UserData::getSaveUid(), uid);

    // No identifier on file: a new one is asked for, fails, and the answer is 3.
    UserData::saveUid(QString());
    spy.clear();
    const int mark = linesSoFar();
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^ERROR checkUid")));
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^ERROR getUid")));
    QTest::ignoreMessage(QtCriticalMsg, "REPLY ERROR getUid() Operation canceled");
    auth.slotCheckPin(QJsonObject{{"pin_code", secretPin}});
    QCOMPARE(statusOf(spy), IAuth::checkPinUidRefused);
    QCOMPARE(count(mark, QStringLiteral("REQUEST getUid")), 1);
}

void TestBackendService::setProfileRefusedKeepsOldId()
{
    signIn(demoLogin, demoPassword);
    QCOMPARE(UserData::getProfileId(), 2u);
    // Profile 4 belongs to another account.
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^ERROR setProfile")));
    QTest::ignoreMessage(QtCriticalMsg,
                         QRegularExpression(QStringLiteral("^REPLY ERROR setProfileId\\(\\)")));
    QVERIFY(!UserData::setProfileId(4));
    QCOMPARE(UserData::getProfileId(), 2u);
    // Signed out, nothing is set and nothing is claimed.
    UserData::deleteAuthData();
    QVERIFY(!UserData::setProfileId(3));
    QCOMPARE(UserData::getProfileId(), 2u);
}

void TestBackendService::removeAgentProfile()
{
    signIn(demoLogin, demoPassword);
    QTest::ignoreMessage(QtInfoMsg, "removeAgentProfile() is true");
    QVERIFY(UserData::removeAgentProfile());
    // The machine is gone: a second removal is refused.
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^ERROR removeAgentProfile")));
    QTest::ignoreMessage(QtCriticalMsg,
                         QRegularExpression(QStringLiteral("^REPLY ERROR removeAgentProfile\\(\\)")));
    QTest::ignoreMessage(QtInfoMsg, "removeAgentProfile() is false");
    QVERIFY(!UserData::removeAgentProfile());
}

void TestBackendService::systemReportSignedInAndOut()
{
    signIn(demoLogin, demoPassword);
    const QString uid = UserData::getSaveUid();
    const qint64 token = UserData::getToken();
    const QString head = QStringLiteral("Agent: Corvane Agent\nVersion: 4.0.0\nToken: ") +
                         QString::number(token) + QStringLiteral("\nUID: ") + uid +
                         QStringLiteral("\nDNS: 127.53.0.1, fd00:53::1"
                                        "\nProtection is turned on: no"
                                        "\nProtocol: DNS"
                                        "\n\nProfiles:"
                                        "\n| Id\t| Active\t| Name"
                                        "\n| 1\t| \t| Unfiltered"
                                        "\n| 2\t| *\t| Kids"
                                        "\n| 3\t| \t| Work"
                                        "\n\nNetwork Interfaces:\n1) lo\n  - Host Address | NetMask: ");
    const QString signedIn = UserData::getSystemInfo();
    QVERIFY2(signedIn.startsWith(head), qPrintable(signedIn));
    QVERIFY(signedIn.contains(QLatin1String("\n\t- 127.53.0.2 | ")));
    QVERIFY(signedIn.contains(QLatin1String("\n  - Flags: IsUp IsRunning IsLoopBack ")));
    QVERIFY(signedIn.contains(QLatin1String("\n\nSystem information:\n  - OS: ")));
    QVERIFY(!signedIn.endsWith(QLatin1Char('\n')));

    UserData::deleteAuthData();
    const QString outHead =
        QStringLiteral("Agent: Corvane Agent\nVersion: 4.0.0\nToken: \nUID: ") + uid +
        QStringLiteral("\nDNS: 127.53.0.1, fd00:53::1"
                       "\nProtection is turned on: no"
                       "\nProtocol: DNS"
                       "\n\nProfiles: Oops! Something went wrong. Please make sure your internet "
                       "connection is stable or contact our technical support by "
                       "support@corvane.test"
                       "\n\nNetwork Interfaces:\n1) lo\n");
    const QString signedOut = UserData::getSystemInfo();
    QVERIFY2(signedOut.startsWith(outHead), qPrintable(signedOut));
    // Everything after the profiles is the same machine description.
    QCOMPARE(signedOut.mid(signedOut.indexOf(QLatin1String("\n\nNetwork Interfaces:"))),
             signedIn.mid(signedIn.indexOf(QLatin1String("\n\nNetwork Interfaces:"))));
}

void TestBackendService::debugInfoShapeAndUpload()
{
    signIn(demoLogin, demoPassword);
    const QString uid = UserData::getSaveUid();
    const QString info = UserData::getDebugInfo();
    const QJsonArray entries = QJsonDocument::fromJson(info.toUtf8()).array();
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries.at(0).toObject().keys(), (QStringList{"log_message", "log_name"}));
    QCOMPARE(entries.at(0).toObject().value("log_name").toString(), QStringLiteral("traceroute"));
    QCOMPARE(entries.at(1).toObject().keys(), (QStringList{"log_message", "log_name"}));
    QCOMPARE(entries.at(1).toObject().value("log_name").toString(), QStringLiteral("nslookup"));
    QVERIFY(info.startsWith(QLatin1String("[{\"log_message\":")));
    // The real lookup reaches the service's resolver and names the diagnostic host.
    QVERIFY2(entries.at(1)
                 .toObject()
                 .value("log_message")
                 .toString()
                 .contains(QLatin1String("black.corvane.test")),
             qPrintable(info));

    QTest::ignoreMessage(QtInfoMsg, "sendDebugInfo() is true");
    QVERIFY(UserData::sendDebugInfo());
    const QJsonArray reports = admin("GET", QStringLiteral("/admin/state")).value("debug_reports").toArray();
    QVERIFY(!reports.isEmpty());
    const QJsonObject last = reports.last().toObject();
    QCOMPARE(last.value("uid").toString(), uid);
    QCOMPARE(last.value("account").toInt(), 101);
    const QJsonArray sent = last.value("entries").toArray();
    QCOMPARE(sent.size(), 2);
    QCOMPARE(sent.at(0).toObject().value("command_title").toString(), QStringLiteral("traceroute"));
    QCOMPARE(sent.at(1).toObject().value("command_title").toString(), QStringLiteral("nslookup"));
    QCOMPARE(sent.at(1).toObject().value("command_info").toString(),
             QJsonDocument::fromJson(UserData::getLastDebugInfo().toUtf8())
                 .array()
                 .at(1)
                 .toObject()
                 .value("log_message")
                 .toString());

    // Signed out, the service refuses the upload and the answer is false.
    UserData::deleteAuthData();
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^ERROR sendDebugInfo")));
    QTest::ignoreMessage(QtCriticalMsg,
                         QRegularExpression(QStringLiteral("^REPLY ERROR sendDebugInfo\\(\\)")));
    QTest::ignoreMessage(QtInfoMsg, "sendDebugInfo() is false");
    QVERIFY(!UserData::sendDebugInfo());
}

void TestBackendService::jsonRpcBinding()
{
    setBackendSetting(QStringLiteral("jrpc"));
    {
        NetworkAccessManager manager;
        QVERIFY(qobject_cast<Jrpc*>(manager.getImplementation()) != nullptr);
    }
    const int mark = linesSoFar();
    signIn(demoLogin, demoPassword);
    QCOMPARE(count(mark, QStringLiteral("JRPC: REQUEST checkAuth:")), 1);
    QCOMPARE(count(mark, QStringLiteral("REST_LOCAL:")), 0);
    QVERIFY(!UserData::getSaveUid().isEmpty());
    QVERIFY(UserData::getToken() > 0);
    QCOMPARE(UserData::getProfiles(), (QMap<unsigned, QString>{{1, "Unfiltered"}, {2, "Kids"}, {3, "Work"}}));
    QCOMPARE(UserData::getUserInfo().value("plan_name").toString(), QStringLiteral("Family"));
    QVERIFY(UserData::setProfileId(1));
    QCOMPARE(UserData::getProfileId(), 1u);
    QCOMPARE(UserData::getFilteringStatus(), true);

    // Sign-in data without ":" sends nothing and is refused.
    AuthLogin auth;
    NetworkAccessManager manager;
    const int before = linesSoFar();
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("nothing sent")));
    const ApiResult noColon = manager.checkAuth(QStringLiteral("demo"));
    QCOMPARE(noColon.error, 0);
    QCOMPARE(noColon.data.value("result").toBool(true), false);
    QCOMPARE(count(before, QStringLiteral("REQUEST checkAuth")), 0);
    setBackendSetting(QString());
}

void TestBackendService::jsonRpcCheckAuthTransportError()
{
    setBackendSetting(QStringLiteral("jrpc"));
    Network::setAttemptBaseMs(200);
    addFault(fault(QStringLiteral("/api/json/v2"), QStringLiteral("POST"), QStringLiteral("hang"), -1));
    AuthLogin auth;
    QSignalSpy spy(&auth, &IAuth::signalStatusCheckAuth);
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^ERROR checkAuth")));
    auth.slotCheckAuth(QJsonObject{{"login", demoLogin}, {"password", demoPassword}});
    QCOMPARE(statusOf(spy), IAuth::checkAuthTransportError);
    QVERIFY(UserData::getLogin().isEmpty());
    setBackendSetting(QString());
}

void TestBackendService::overlappingOperations()
{
    signIn(demoLogin, demoPassword);
    Network::setAttemptBaseMs(1000);

    // 1. A slow operation with a fast one inside its wait.
    addFault(fault(QStringLiteral("/cabinet/rest_api/v1/users/*"), QStringLiteral("GET"),
                   QStringLiteral("delay"), 1, 600));
    QJsonObject inner;
    QTimer::singleShot(50, this, [&inner] { inner = UserData::getUserInfo(); });
    QCOMPARE(UserData::getProfiles().size(), 3);
    QCOMPARE(inner.value("username").toString(), demoLogin);

    // 2. A fast operation that finishes while a slow one runs inside its wait,
    //    and whose own attempt limit runs out meanwhile.
    addFault(fault(QStringLiteral("/cabinet/rest_api/v1/ip/"), QStringLiteral("GET"), QStringLiteral("delay"),
                   1, 200));
    addFault(fault(QStringLiteral("/cabinet/rest_api/v1/users/*"), QStringLiteral("GET"),
                   QStringLiteral("delay"), 1, 2500));
    QMap<unsigned, QString> nested;
    QTimer::singleShot(20, this, [&nested] { nested = UserData::getProfiles(); });
    QVERIFY(UserData::getIp().startsWith(QLatin1String("127.")));
    QCOMPARE(nested.size(), 3);

    // 3. The outer attempt times out during the nested wait: its reply is
    //    aborted there, deleted after the nested operation returns, and retried.
    addFault(fault(QStringLiteral("/cabinet/rest_api/v1/ip/"), QStringLiteral("GET"), QStringLiteral("delay"),
                   1, 1800));
    addFault(fault(QStringLiteral("/auth/rest_api/v1/users/*"), QStringLiteral("GET"),
                   QStringLiteral("delay"), 1, 2500));
    QJsonObject late;
    QTimer::singleShot(20, this, [&late] { late = UserData::getUserInfo(); });
    const int mark = linesSoFar();
    QVERIFY(UserData::getIp().startsWith(QLatin1String("127.")));
    QCOMPARE(late.value("username").toString(), demoLogin);
    QVERIFY(count(mark, QStringLiteral("NETWORK: Timer: 1")) >= 1);
    QCOMPARE(pendingFaults(), 0);
}

void TestBackendService::secretsNeverLogged()
{
    const int mark = linesSoFar();
    signIn(secretLogin, secretPassword);
    QCOMPARE(UserData::getLogin(), secretLogin);
    QCOMPARE(UserData::getProfiles(), (QMap<unsigned, QString>{{91, "Quiet"}}));
    QCOMPARE(UserData::getFilteringStatus(), false);
    AuthLogin auth;
    QSignalSpy spy(&auth, &IAuth::signalStatusCheckPin);
    auth.slotCheckPin(QJsonObject{{"pin_code", secretPin}});
    QCOMPARE(statusOf(spy), IAuth::checkPinOk);
    const QString access = RestLocal::accessToken();
    const QString refresh = RestLocal::refreshToken();
    QVERIFY(access.size() > 20 && refresh.size() > 20);
    const QString uid = UserData::getSaveUid();
    const QString token = QString::number(UserData::getToken());
    QVERIFY(uid.size() > 20);
    QVERIFY(count(mark, QStringLiteral("slotCheckAuth secretive ") + QString(secretPassword.size(), '*')) ==
            1);
    QVERIFY(count(mark, QStringLiteral("slotCreatePin() ") + QString(secretPin.size(), '*')) == 1);

    // Every operation of every binding once more, each answered with an error:
    // Qt's error text for an HTTP answer quotes the whole request address.
    addFault(fault(QStringLiteral("*"), QString(), QStringLiteral("status"), -1, 500));
    const QString debugInfo = QStringLiteral("[{\"log_name\":\"a\",\"log_message\":\"b\"}]");
    for (const QString& binding : {QStringLiteral("rest"), QStringLiteral("jrpc")}) {
        setBackendSetting(binding);
        NetworkAccessManager manager;
        const int before = linesSoFar();
        QVERIFY(manager.getFilteringStatus().error != 0);
        QVERIFY(manager.getCertificates().error != 0);
        QVERIFY(manager.getVersion(QStringLiteral("Windows")).error != 0);
        QVERIFY(manager.checkUid().error != 0);
        QVERIFY(manager.getUid().error != 0);
        QVERIFY(manager.setProfile(91).error != 0);
        QVERIFY(manager.getIp().error != 0);
        QVERIFY(manager.getUserInfo().error != 0);
        QVERIFY(manager.getProfiles().error != 0);
        QVERIFY(manager.sendDebugInfo(debugInfo).error != 0);
        QVERIFY(manager.removeAgentProfile().error != 0);
        manager.checkAuth(secretLogin + QLatin1Char(':') + secretPassword);
        // Signing in afresh meets the error as well.
        RestLocal::clearTokens();
        manager.getProfiles();
        if (binding == QLatin1String("rest"))
            QVERIFY(count(before, QStringLiteral("ERROR by-password HTTP 500")) >= 1);
        QVERIFY2(count(before, QStringLiteral("HTTP 500")) >= 11, qPrintable(binding));
    }
    setBackendSetting(QString());
    // The access key travels in the path of its sign-in request.
    const QString accessKey = QStringLiteral("demo-ad-key");
    UserData::setAuthToken(accessKey);
    {
        RestAD directory;
        QVERIFY(!directory.auth());
    }
    UserData::setAuthToken(QString());
    admin("DELETE", QStringLiteral("/admin/faults"));

    // Every line this run logged, and the log file as written.
    QStringList lines;
    for (const LogCapture::Line& line : log->lines())
        lines.append(line.text());
    LogFile::instance().flush();
    QFile file(LogFile::instance().pathFor(QDate::currentDate()));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString fileText = QString::fromUtf8(file.readAll());
    QVERIFY(fileText.contains(QLatin1String("REQUEST by-password")));
    const QString all = lines.join(QLatin1Char('\n')) + QLatin1Char('\n') + fileText;
    const QString escaped =
        QString::fromUtf8(QJsonDocument(QJsonArray{secretPassword}).toJson(QJsonDocument::Compact))
            .mid(2)
            .chopped(2);
    // "kelp-9317" is the password's tail, found whatever encoding its first
    // part went through.
    // The machine's identity and token reach debug lines only in their
    // first-five-characters form (the sign-in bodies carried them whole).
    QStringList secrets{
        secretPassword, escaped, QStringLiteral("kelp-9317"), demoPassword,       secretPin, accessKey,
        access,         refresh, access.mid(5, 20),           refresh.mid(5, 20), uid,       uid.mid(5)};
    for (const QString& secret : secrets)
        QVERIFY2(!all.contains(secret),
                 qPrintable(QStringLiteral("found a secret in the log: ") + secret.left(3)));
    // The token is a number of 6 to 10 digits: its tail alone (as short as
    // one digit) turns up by chance in ports, times and dumps. What must
    // never appear is more of it than its first five digits, as the start of
    // a number.
    QVERIFY(token.size() >= 6);
    const QRegularExpression longerThanShown(QStringLiteral("(?<![0-9])") + token.left(6));
    QVERIFY2(!all.contains(longerThanShown),
             "found more of the DNS token in the log than its first five digits");
    QVERIFY(all.contains(LogMask::token(access)));
}

QTEST_GUILESS_MAIN(TestBackendService)
#include "tst_backend_service.moc"
