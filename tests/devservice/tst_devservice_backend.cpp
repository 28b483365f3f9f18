#include "devservice/BackendApi.h"
#include "tests/devservice/DevServiceFixture.h"

#include <QJsonDocument>
#include <QtTest>

namespace {
const qint64 now = 1800000000;

HttpRequest request(const QByteArray& method, const QByteArray& target, const QByteArray& body = QByteArray(),
                    const QByteArray& bearer = QByteArray())
{
    HttpRequest r;
    r.method = method;
    r.target = target;
    const QUrl url(QString::fromLatin1(target));
    r.path = url.path();
    r.query = QUrlQuery(url.query());
    r.version = "HTTP/1.1";
    r.body = body;
    r.peer = QStringLiteral("127.0.0.1");
    if (!bearer.isEmpty()) {
        r.headers.append(qMakePair(QByteArray("authorization"), "Bearer " + bearer));
    }
    return r;
}

QJsonObject jsonOf(const HttpResponse& response)
{
    return QJsonDocument::fromJson(response.body).object();
}
} // namespace

class TestBackendApi : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void signInByPassword_data();
    void signInByPassword();
    void refreshRotatesTokens();
    void adKeySignsIn();
    void expiredTokenFault();
    void protectedPathsNeedAValidToken_data();
    void protectedPathsNeedAValidToken();
    void machineLifecycle();
    void accountQueries();
    void versionAndCertificates();
    void unknownPathsGiveJsonDetail_data();
    void unknownPathsGiveJsonDetail();
    void directoryRegistration();

private:
    QByteArray signIn(const QString& user = QStringLiteral("demo"),
                      const QString& password = QStringLiteral("demo-password"));

    ServiceConfig m_config;
    AccountStore m_store;
    std::unique_ptr<BackendApi> m_api;
};

void TestBackendApi::init()
{
    m_config = fixtureConfig();
    QString error;
    QVERIFY2(m_store.load(m_config.accounts, error), qPrintable(error));
    m_api = std::make_unique<BackendApi>(m_config, m_store);
}

QByteArray TestBackendApi::signIn(const QString& user, const QString& password)
{
    const QByteArray body =
        QJsonDocument(QJsonObject{{QStringLiteral("username"), user}, {QStringLiteral("password"), password}})
            .toJson(QJsonDocument::Compact);
    return jsonOf(m_api->handle(request("POST", "/api/token/by-password/", body), now))
        .value(QLatin1String("access"))
        .toString()
        .toLatin1();
}

void TestBackendApi::signInByPassword_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("detail");
    QTest::newRow("right") << QByteArray(R"({"username":"demo","password":"demo-password"})") << 200
                           << QString();
    QTest::newRow("wrong password") << QByteArray(R"({"username":"demo","password":"nope"})") << 401
                                    << QStringLiteral("No active account found with the given credentials");
    QTest::newRow("empty password") << QByteArray(R"({"username":"demo","password":""})") << 401
                                    << QStringLiteral("No active account found with the given credentials");
    QTest::newRow("not JSON") << QByteArray("username=demo") << 400 << QString();
    QTest::newRow("array") << QByteArray("[]") << 400
                           << QStringLiteral("Invalid data. Expected a dictionary.");
    QTest::newRow("no password") << QByteArray(R"({"username":"demo"})") << 400 << QString();
    QTest::newRow("password a number")
        << QByteArray(R"({"username":"demo","password":5})") << 400 << QString();
}

void TestBackendApi::signInByPassword()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, detail);
    const HttpResponse response = m_api->handle(request("POST", "/api/token/by-password/", body), now);
    QCOMPARE(response.status, status);
    const QJsonObject json = jsonOf(response);
    if (status == 200) {
        const QString access = json.value(QLatin1String("access")).toString();
        QVERIFY(!json.value(QLatin1String("refresh")).toString().isEmpty());
        const QJsonObject claims =
            QJsonDocument::fromJson(
                QByteArray::fromBase64(access.split(QLatin1Char('.')).value(1).toLatin1()))
                .object();
        QCOMPARE(claims.value(QLatin1String("user_id")).toInt(), 101);
        QCOMPARE(static_cast<qint64>(claims.value(QLatin1String("exp")).toDouble()),
                 now + m_config.accessLifetimeSecs);
    } else if (!detail.isEmpty()) {
        QCOMPARE(json.value(QLatin1String("detail")).toString(), detail);
    } else {
        QVERIFY(!json.isEmpty());
    }
}

void TestBackendApi::refreshRotatesTokens()
{
    const QByteArray body = R"({"username":"demo","password":"demo-password"})";
    const QJsonObject first = jsonOf(m_api->handle(request("POST", "/api/token/by-password/", body), now));
    const QByteArray refreshBody =
        QJsonDocument(QJsonObject{{QStringLiteral("refresh"), first.value(QLatin1String("refresh"))}})
            .toJson();
    const HttpResponse refreshed =
        m_api->handle(request("POST", "/api/token/refresh/", refreshBody), now + 500);
    QCOMPARE(refreshed.status, 200);
    const QString access = jsonOf(refreshed).value(QLatin1String("access")).toString();
    QVERIFY(m_api->tokens().verify(access, QStringLiteral("access"), now + 550).ok);
    // The access token is not a refresh token.
    const QByteArray wrongBody =
        QJsonDocument(QJsonObject{{QStringLiteral("refresh"), first.value(QLatin1String("access"))}})
            .toJson();
    const HttpResponse refused = m_api->handle(request("POST", "/api/token/refresh/", wrongBody), now);
    QCOMPARE(refused.status, 401);
    QCOMPARE(jsonOf(refused).value(QLatin1String("code")).toString(), QStringLiteral("token_not_valid"));
    QCOMPARE(m_api->handle(request("POST", "/api/token/refresh/", "{"), now).status, 400);
    QCOMPARE(m_api->handle(request("GET", "/api/token/refresh/"), now).status, 405);
}

void TestBackendApi::adKeySignsIn()
{
    const HttpResponse ok = m_api->handle(request("GET", "/api/token/by-ad-key/demo-ad-key/"), now);
    QCOMPARE(ok.status, 200);
    QCOMPARE(m_api->tokens()
                 .verify(jsonOf(ok).value(QLatin1String("access")).toString(), QStringLiteral("access"), now)
                 .userId,
             101);
    QCOMPARE(m_api->handle(request("GET", "/api/token/by-ad-key/wrong/"), now).status, 401);
}

void TestBackendApi::expiredTokenFault()
{
    const HttpResponse response = m_api->handle(
        request("POST", "/api/token/by-password/", R"({"username":"demo","password":"demo-password"})"), now,
        true);
    QCOMPARE(response.status, 200);
    const QString access = jsonOf(response).value(QLatin1String("access")).toString();
    QCOMPARE(m_api->tokens().verify(access, QStringLiteral("access"), now).error,
             QStringLiteral("token expired"));
}

void TestBackendApi::protectedPathsNeedAValidToken_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("filter status") << QByteArray("/rest_api/v1/users/101/filter_status/");
    QTest::newRow("user info") << QByteArray("/auth/rest_api/v1/users/101/");
    QTest::newRow("profiles") << QByteArray("/cabinet/rest_api/v1/users/101/profiles/");
    QTest::newRow("machine") << QByteArray("/agents/rest_api/v1/users/101/agentinfo/m-1001/");
    QTest::newRow("ip") << QByteArray("/cabinet/rest_api/v1/ip/");
}

void TestBackendApi::protectedPathsNeedAValidToken()
{
    QFETCH(QByteArray, target);
    QCOMPARE(m_api->handle(request("GET", target), now).status, 401);
    QCOMPARE(m_api->handle(request("GET", target, QByteArray(), "garbage"), now).status, 401);
    const QByteArray expired =
        m_api->tokens().issue(101, QStringLiteral("access"), now - 1000, 10).toLatin1();
    QCOMPARE(m_api->handle(request("GET", target, QByteArray(), expired), now).status, 401);
    QCOMPARE(m_api->handle(request("GET", target, QByteArray(), signIn()), now).status, 200);
    if (target.contains("/101/")) {
        // Another account's token does not open this account's paths.
        QCOMPARE(m_api->handle(request("GET", target, QByteArray(), signIn("strict", "strict-password")), now)
                     .status,
                 403);
    }
}

void TestBackendApi::machineLifecycle()
{
    const QByteArray token = signIn();
    const HttpResponse created = m_api->handle(
        request("POST", "/agents/rest_api/v1/users/101/agentinfo/",
                R"({"hostname":"pc","version":"4.0.0","os_info":"Windows 10","agent_type":"windows"})",
                token),
        now);
    QCOMPARE(created.status, 201);
    const QJsonObject machine = jsonOf(created);
    const QString uid = machine.value(QLatin1String("uid")).toString();
    QVERIFY(!uid.isEmpty());
    QCOMPARE(machine.value(QLatin1String("profile")).toInt(), 2);
    QVERIFY(machine.value(QLatin1String("token")).toDouble() > 0);

    const QByteArray path = "/agents/rest_api/v1/users/101/agentinfo/" + uid.toLatin1() + "/";
    const HttpResponse fetched = m_api->handle(request("GET", path, QByteArray(), token), now);
    QCOMPARE(fetched.status, 200);
    QCOMPARE(jsonOf(fetched).value(QLatin1String("uid")).toString(), uid);
    QCOMPARE(jsonOf(fetched).value(QLatin1String("token")), machine.value(QLatin1String("token")));

    const HttpResponse patched = m_api->handle(request("PATCH", path, R"({"profile":1})", token), now);
    QCOMPARE(patched.status, 200);
    QCOMPARE(jsonOf(patched).value(QLatin1String("profile")).toInt(), 1);
    QCOMPARE(m_store.policyForToken(static_cast<quint32>(machine.value(QLatin1String("token")).toDouble()))
                 .profileId,
             1);
    QCOMPARE(m_api->handle(request("PATCH", path, R"({"profile":4})", token), now).status, 400);
    QCOMPARE(m_api->handle(request("PATCH", path, R"({"profile":"x"})", token), now).status, 400);

    const HttpResponse removed = m_api->handle(request("DELETE", path, QByteArray(), token), now);
    QCOMPARE(jsonOf(removed).value(QLatin1String("result")).toInt(), 1);
    const HttpResponse gone = m_api->handle(request("GET", path, QByteArray(), token), now);
    QCOMPARE(gone.status, 404);
    QCOMPARE(jsonOf(gone).value(QLatin1String("detail")).toString(), QStringLiteral("Not found."));
}

void TestBackendApi::accountQueries()
{
    const QByteArray token = signIn();
    const QJsonObject status = jsonOf(
        m_api->handle(request("GET", "/rest_api/v1/users/101/filter_status/", QByteArray(), token), now));
    QCOMPARE(status.value(QLatin1String("status")).toBool(false), true);
    const QJsonObject info =
        jsonOf(m_api->handle(request("GET", "/auth/rest_api/v1/users/101/", QByteArray(), token), now));
    QCOMPARE(info.value(QLatin1String("username")).toString(), QStringLiteral("demo"));
    QCOMPARE(info.value(QLatin1String("plan")).toObject().value(QLatin1String("name")).toString(),
             QStringLiteral("Family"));
    QCOMPARE(info.value(QLatin1String("date_end")).toString(), QStringLiteral("2030-12-31T23:59:59"));
    const QJsonArray profiles =
        jsonOf(m_api->handle(request("GET", "/cabinet/rest_api/v1/users/101/profiles/", QByteArray(), token),
                             now))
            .value(QLatin1String("results"))
            .toArray();
    QCOMPARE(profiles.size(), 2);
    QCOMPARE(profiles.at(1).toObject().value(QLatin1String("name")).toString(), QStringLiteral("Kids"));
    QCOMPARE(jsonOf(m_api->handle(request("GET", "/cabinet/rest_api/v1/ip/", QByteArray(), token), now))
                 .value(QLatin1String("ip"))
                 .toString(),
             QStringLiteral("127.0.0.1"));
}

void TestBackendApi::versionAndCertificates()
{
    const HttpResponse version =
        m_api->handle(request("GET", "/agents/rest_api/v1/distribution_supporting/?tag=Windows"), now);
    QCOMPARE(version.status, 200);
    QCOMPARE(
        jsonOf(version).value(QLatin1String("current")).toObject().value(QLatin1String("version")).toDouble(),
        4.0 * 100000000 + 2 * 10000 + 3);
    QCOMPARE(
        m_api->handle(request("GET", "/agents/rest_api/v1/distribution_supporting/?tag=Nope"), now).status,
        404);
    const QJsonObject certs =
        jsonOf(m_api->handle(request("GET", "/agents/rest_api/v1/ssl_certificate/2/"), now));
    const QStringList urls = certs.value(QLatin1String("url")).toString().split(QLatin1Char(';'));
    QCOMPARE(urls, (QStringList{QStringLiteral("https://www.corvane.test/certs/corvane-root-1.crt"),
                                QStringLiteral("https://www.corvane.test/certs/corvane-root-2.crt")}));
    QVERIFY(certs.contains(QLatin1String("expires")));
    // Only the listed file names are served, never a path.
    QCOMPARE(m_api->handle(request("GET", "/certs/..%2Fwww.key"), now).status, 404);
    QCOMPARE(m_api->handle(request("GET", "/certs/www.key"), now).status, 404);
}

void TestBackendApi::unknownPathsGiveJsonDetail_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("status");
    QTest::newRow("root") << QByteArray("GET") << QByteArray("/") << 404;
    QTest::newRow("unknown api") << QByteArray("GET") << QByteArray("/api/nothing/") << 404;
    QTest::newRow("user id not a number")
        << QByteArray("GET") << QByteArray("/auth/rest_api/v1/users/abc/") << 404;
    QTest::newRow("unknown area") << QByteArray("GET") << QByteArray("/zzz/rest_api/v1/users/101/") << 404;
    QTest::newRow("wrong method") << QByteArray("DELETE") << QByteArray("/api/token/by-password/") << 405;
}

void TestBackendApi::unknownPathsGiveJsonDetail()
{
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, target);
    QFETCH(int, status);
    const HttpResponse response = m_api->handle(request(method, target, QByteArray(), signIn()), now);
    QCOMPARE(response.status, status);
    QVERIFY(!jsonOf(response).value(QLatin1String("detail")).toString().isEmpty());
}

void TestBackendApi::directoryRegistration()
{
    const QByteArray token = signIn();
    const QByteArray base = "/ad/rest_api/v1/users/101";
    QCOMPARE(jsonOf(m_api->handle(request("GET", base + "/agent_domains/", QByteArray(), token), now))
                 .value(QLatin1String("results"))
                 .toArray()
                 .size(),
             0);
    const QJsonObject domain = jsonOf(
        m_api->handle(request("POST", base + "/agent_domains/", R"({"name":"corp.example"})", token), now));
    const QJsonObject user = jsonOf(m_api->handle(
        request("POST", base + "/ad_users/register/",
                R"({"name":"alice","domain_name":"corp.example","hostname":"pc","os_info":"Windows"})",
                token),
        now));
    QVERIFY(user.value(QLatin1String("id")).toInt() > 0);
    QCOMPARE(
        m_store.policyForToken(static_cast<quint32>(user.value(QLatin1String("token")).toDouble())).accountId,
        101);
    const QByteArray group =
        QJsonDocument(QJsonObject{{QStringLiteral("name"), QStringLiteral("Staff")},
                                  {QStringLiteral("domain"), domain.value(QLatin1String("id"))},
                                  {QStringLiteral("parent"), QJsonValue::Null},
                                  {QStringLiteral("ad_users"), QJsonArray{user.value(QLatin1String("id"))}}})
            .toJson(QJsonDocument::Compact);
    const HttpResponse created = m_api->handle(request("POST", base + "/ad_groups/", group, token), now);
    QCOMPARE(created.status, 201);
    const QByteArray groupPath =
        base + "/ad_groups/" + QByteArray::number(jsonOf(created).value(QLatin1String("id")).toInt()) + "/";
    const QByteArray emptied =
        QJsonDocument(QJsonObject{{QStringLiteral("name"), QStringLiteral("Staff")},
                                  {QStringLiteral("domain"), domain.value(QLatin1String("id"))},
                                  {QStringLiteral("parent"), QJsonValue::Null},
                                  {QStringLiteral("ad_users"), QJsonArray()}})
            .toJson(QJsonDocument::Compact);
    QCOMPARE(m_api->handle(request("PATCH", groupPath, emptied, token), now).status, 200);
    const QJsonArray groups =
        jsonOf(m_api->handle(request("GET", base + "/ad_groups/", QByteArray(), token), now))
            .value(QLatin1String("results"))
            .toArray();
    QCOMPARE(groups.size(), 1);
    QVERIFY(groups.at(0).toObject().value(QLatin1String("ad_users")).toArray().isEmpty());
    const QByteArray userPath =
        base + "/ad_users/" + QByteArray::number(user.value(QLatin1String("id")).toInt());
    QCOMPARE(jsonOf(m_api->handle(request("GET", userPath + "/profile/", QByteArray(), token), now))
                 .value(QLatin1String("id"))
                 .toInt(),
             2);
    const HttpResponse debug = m_api->handle(request("POST", userPath + "/send_debug_info/",
                                                     R"({"log_name":"nslookup","log_message":"x"})", token),
                                             now);
    QVERIFY(debug.body.isEmpty()); // an empty answer body is the confirmation
    QCOMPARE(debug.status, 201);
    QCOMPARE(m_api->debugReports().size(), 1);
}

QTEST_GUILESS_MAIN(TestBackendApi)
#include "tst_devservice_backend.moc"
