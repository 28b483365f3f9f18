#include "devservice/BackendApi.h"
#include "tests/devservice/DevServiceFixture.h"

#include <QJsonDocument>
#include <QtTest>

namespace {
HttpRequest call(const QByteArray& body, const QByteArray& login = QByteArray(),
                 const QByteArray& password = QByteArray())
{
    HttpRequest r;
    r.method = "POST";
    r.target = "/api/json/v2";
    r.path = QStringLiteral("/api/json/v2");
    r.version = "HTTP/1.1";
    r.body = body;
    r.peer = QStringLiteral("127.0.0.1");
    if (!login.isNull()) {
        r.headers.append(
            qMakePair(QByteArray("authorization"), "Basic " + QByteArray(login + ':' + password).toBase64()));
    }
    return r;
}

QByteArray body(const QString& method, const QString& params)
{
    return QStringLiteral("{\"id\":0, \"jsonrpc\":\"2.0\",\"method\":\"%1\",\"params\":%2}")
        .arg(method, params)
        .toUtf8();
}

QJsonObject jsonOf(const HttpResponse& response)
{
    return QJsonDocument::fromJson(response.body).object();
}
} // namespace

class TestJsonRpcDispatcher : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void credentialsAreRequired_data();
    void credentialsAreRequired();
    void testAuthReportsTheVerdict();
    void machineCallsRegisterAndSwitch();
    void accountCalls();
    void openCalls();
    void badCalls_data();
    void badCalls();

private:
    ServiceConfig m_config;
    AccountStore m_store;
    std::unique_ptr<BackendApi> m_api;
};

void TestJsonRpcDispatcher::init()
{
    m_config = fixtureConfig();
    QString error;
    QVERIFY2(m_store.load(m_config.accounts, error), qPrintable(error));
    m_api = std::make_unique<BackendApi>(m_config, m_store);
}

void TestJsonRpcDispatcher::credentialsAreRequired_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("params");
    QTest::newRow("getFilteringStatus") << QStringLiteral("getFilteringStatus") << QStringLiteral("[]");
    QTest::newRow("getLimitedProfile")
        << QStringLiteral("getLimitedProfile") << QStringLiteral("[\"m-1001\",\"\",\"\",\"\",\"\"]");
    QTest::newRow("setProfile") << QStringLiteral("setProfile") << QStringLiteral("[\"m-1001\", 1]");
    QTest::newRow("userInfo") << QStringLiteral("userInfo") << QStringLiteral("[]");
    QTest::newRow("profiles") << QStringLiteral("profiles") << QStringLiteral("[]");
    QTest::newRow("sendDebugInfo") << QStringLiteral("sendDebugInfo") << QStringLiteral("[\"m-1001\", []]");
    QTest::newRow("removeAgentProfile")
        << QStringLiteral("removeAgentProfile") << QStringLiteral("[\"m-1001\"]");
}

void TestJsonRpcDispatcher::credentialsAreRequired()
{
    QFETCH(QString, method);
    QFETCH(QString, params);
    QVERIFY(JsonRpcDispatcher::needsCredentials(method));
    const HttpResponse none = m_api->handle(call(body(method, params)), 0);
    QCOMPARE(none.status, 401);
    QVERIFY(jsonOf(none).contains(QLatin1String("error")));
    QCOMPARE(m_api->handle(call(body(method, params), "demo", "wrong"), 0).status, 401);
    const HttpResponse ok = m_api->handle(call(body(method, params), "demo", "demo-password"), 0);
    QCOMPARE(ok.status, 200);
    QVERIFY(jsonOf(ok).contains(QLatin1String("result")));
}

void TestJsonRpcDispatcher::testAuthReportsTheVerdict()
{
    QCOMPARE(
        jsonOf(m_api->handle(
                   call(body(QStringLiteral("testAuth"), QStringLiteral("[\"demo\",\"demo-password\"]"))), 0))
            .value(QLatin1String("result")),
        QJsonValue(true));
    QCOMPARE(
        jsonOf(m_api->handle(call(body(QStringLiteral("testAuth"), QStringLiteral("[\"demo\",\"x\"]"))), 0))
            .value(QLatin1String("result")),
        QJsonValue(false));
    // Missing parameters read as empty text, never past the array.
    QCOMPARE(jsonOf(m_api->handle(call(body(QStringLiteral("testAuth"), QStringLiteral("[]"))), 0))
                 .value(QLatin1String("result")),
             QJsonValue(false));
}

void TestJsonRpcDispatcher::machineCallsRegisterAndSwitch()
{
    const QJsonArray known =
        jsonOf(m_api->handle(call(body(QStringLiteral("getLimitedProfile"),
                                       QStringLiteral("[\"m-1001\",\"\",\"\",\"\",\"\"]")),
                                  "demo", "demo-password"),
                             0))
            .value(QLatin1String("result"))
            .toArray();
    QCOMPARE(known.size(), 1);
    QCOMPARE(known.at(0).toObject().value(QLatin1String("token")).toInt(), 1001);
    QCOMPARE(known.at(0).toObject().value(QLatin1String("profile")).toInt(), 2);

    const QJsonArray fresh =
        jsonOf(m_api->handle(call(body(QStringLiteral("getLimitedProfile"),
                                       QStringLiteral("[\"\",\"pc\",\"4.0.0\",\"Windows\",\"10.0.0.2\"]")),
                                  "demo", "demo-password"),
                             0))
            .value(QLatin1String("result"))
            .toArray();
    const QString uid = fresh.at(0).toObject().value(QLatin1String("uid")).toString();
    QVERIFY(!uid.isEmpty());
    QVERIFY(m_store.machine(101, uid) != nullptr);

    const QJsonObject switched =
        jsonOf(m_api->handle(call(body(QStringLiteral("setProfile"), QStringLiteral("[\"%1\", 1]").arg(uid)),
                                  "demo", "demo-password"),
                             0));
    QCOMPARE(switched.value(QLatin1String("result")).toObject().value(QLatin1String("profile")).toInt(), 1);
    QCOMPARE(m_store.machine(101, uid)->profileId, 1);
    // A profile of another account is refused.
    QVERIFY(
        jsonOf(m_api->handle(call(body(QStringLiteral("setProfile"), QStringLiteral("[\"%1\", 4]").arg(uid)),
                                  "demo", "demo-password"),
                             0))
            .contains(QLatin1String("error")));
    QCOMPARE(jsonOf(m_api->handle(
                        call(body(QStringLiteral("removeAgentProfile"), QStringLiteral("[\"%1\"]").arg(uid)),
                             "demo", "demo-password"),
                        0))
                 .value(QLatin1String("result"))
                 .toInt(),
             1);
    QVERIFY(m_store.machine(101, uid) == nullptr);
}

void TestJsonRpcDispatcher::accountCalls()
{
    const QJsonObject info =
        jsonOf(m_api->handle(
                   call(body(QStringLiteral("userInfo"), QStringLiteral("[]")), "demo", "demo-password"), 0))
            .value(QLatin1String("result"))
            .toObject();
    QCOMPARE(info.value(QLatin1String("username")).toString(), QStringLiteral("demo"));
    QCOMPARE(info.value(QLatin1String("plan")).toObject().value(QLatin1String("name")).toString(),
             QStringLiteral("Family"));
    const QJsonArray profiles =
        jsonOf(m_api->handle(
                   call(body(QStringLiteral("profiles"), QStringLiteral("[]")), "demo", "demo-password"), 0))
            .value(QLatin1String("result"))
            .toArray();
    QCOMPARE(profiles.size(), 2);
    QCOMPARE(jsonOf(m_api->handle(call(body(QStringLiteral("getFilteringStatus"), QStringLiteral("[]")),
                                       "demo", "demo-password"),
                                  0))
                 .value(QLatin1String("result")),
             QJsonValue(true));
    const QJsonObject debug = jsonOf(m_api->handle(
        call(body(QStringLiteral("sendDebugInfo"),
                  QStringLiteral("[\"m-1001\", [{\"command_title\":\"nslookup\",\"command_info\":\"x\"}]]")),
             "demo", "demo-password"),
        0));
    QCOMPARE(debug.value(QLatin1String("result")).toInt(), 1);
    QCOMPARE(m_api->debugReports().size(), 1);
}

void TestJsonRpcDispatcher::openCalls()
{
    const QJsonObject certs =
        jsonOf(m_api->handle(
                   call(body(QStringLiteral("getSSLCertificatesDataV2"), QStringLiteral("[\"3\"]"))), 0))
            .value(QLatin1String("result"))
            .toObject();
    QCOMPARE(certs.value(QLatin1String("certs")).toArray().size(), 2);
    const QJsonObject version = jsonOf(
        m_api->handle(call(body(QStringLiteral("getLinuxSupporting"), QStringLiteral("[\"Windows\"]"))), 0));
    QCOMPARE(version.value(QLatin1String("result"))
                 .toObject()
                 .value(QLatin1String("current"))
                 .toObject()
                 .value(QLatin1String("version"))
                 .toDouble(),
             400020003.0);
    QCOMPARE(version.value(QLatin1String("current")),
             version.value(QLatin1String("result")).toObject().value(QLatin1String("current")));
    QCOMPARE(jsonOf(m_api->handle(call(body(QStringLiteral("myip"), QStringLiteral("[]"))), 0))
                 .value(QLatin1String("result"))
                 .toString(),
             QStringLiteral("127.0.0.1"));
}

void TestJsonRpcDispatcher::badCalls_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("code");
    QTest::newRow("not JSON") << QByteArray("{\"id\":0,") << 400 << -32700;
    QTest::newRow("array") << QByteArray("[1]") << 400 << -32700;
    QTest::newRow("no jsonrpc") << QByteArray("{\"id\":0,\"method\":\"myip\",\"params\":[]}") << 400
                                << -32600;
    QTest::newRow("method a number") << QByteArray("{\"id\":0,\"jsonrpc\":\"2.0\",\"method\":5}") << 400
                                     << -32600;
    QTest::newRow("params an object")
        << QByteArray("{\"id\":0,\"jsonrpc\":\"2.0\",\"method\":\"myip\",\"params\":{}}") << 400 << -32600;
    QTest::newRow("unknown method") << body(QStringLiteral("nothing"), QStringLiteral("[]")) << 200 << -32601;
}

void TestJsonRpcDispatcher::badCalls()
{
    QFETCH(QByteArray, payload);
    QFETCH(int, status);
    QFETCH(int, code);
    const HttpResponse response = m_api->handle(call(payload), 0);
    QCOMPARE(response.status, status);
    QCOMPARE(jsonOf(response).value(QLatin1String("error")).toObject().value(QLatin1String("code")).toInt(),
             code);
}

QTEST_GUILESS_MAIN(TestJsonRpcDispatcher)
#include "tst_devservice_jsonrpc.moc"
