#include "devservice/FaultInjector.h"

#include <QJsonDocument>
#include <QtTest>

namespace {
QJsonObject json(const QByteArray& text)
{
    return QJsonDocument::fromJson(text).object();
}
} // namespace

class TestFaultInjector : public QObject
{
    Q_OBJECT
private slots:
    void httpRulesMatchPathAndMethod();
    void countedRulesRunOut();
    void dnsRulesMatchNamesBelow();
    void refusesBadRules_data();
    void refusesBadRules();
};

void TestFaultInjector::httpRulesMatchPathAndMethod()
{
    FaultInjector faults;
    QString error;
    const QJsonObject rules = json(R"({"http":[
        {"path":"/api/token/by-password/","method":"post","action":"status","status":401},
        {"path":"/agents/*","action":"hang"}]})");
    QVERIFY2(faults.load(rules, error), qPrintable(error));
    QVERIFY(!faults.takeHttp(QStringLiteral("GET"), QStringLiteral("/api/token/by-password/")));
    const auto rule = faults.takeHttp(QStringLiteral("POST"), QStringLiteral("/api/token/by-password/"));
    QVERIFY(rule);
    QCOMPARE(rule->action, FaultInjector::HttpAction::Status);
    QCOMPARE(rule->status, 401);
    QCOMPARE(faults.takeHttp(QStringLiteral("GET"), QStringLiteral("/agents/rest_api/v1/x/"))->action,
             FaultInjector::HttpAction::Hang);
    QVERIFY(!faults.takeHttp(QStringLiteral("GET"), QStringLiteral("/auth/rest_api/v1/users/1/")));
}

void TestFaultInjector::countedRulesRunOut()
{
    FaultInjector faults;
    QString error;
    QVERIFY(faults.load(json(R"({"http":[{"path":"*","action":"close","count":2}]})"), error));
    QVERIFY(faults.takeHttp(QStringLiteral("GET"), QStringLiteral("/a")));
    QVERIFY(faults.takeHttp(QStringLiteral("GET"), QStringLiteral("/b")));
    QVERIFY(!faults.takeHttp(QStringLiteral("GET"), QStringLiteral("/c")));
    QCOMPARE(faults.toJson().value(QLatin1String("http")).toArray().size(), 0);
}

void TestFaultInjector::dnsRulesMatchNamesBelow()
{
    FaultInjector faults;
    QString error;
    QVERIFY(faults.load(json(R"({"dns":[{"name":"Example.Test","action":"wrong_id"}]})"), error));
    QVERIFY(!faults.takeDns(QStringLiteral("www.corvane.test")));
    QVERIFY(!faults.takeDns(QStringLiteral("notexample.test")));
    QCOMPARE(faults.takeDns(QStringLiteral("www.example.test"))->action, FaultInjector::DnsAction::WrongId);
    QVERIFY(faults.add(json(R"({"dns":[{"action":"drop","count":1}]})"), error));
    QCOMPARE(faults.takeDns(QStringLiteral("www.corvane.test"))->action, FaultInjector::DnsAction::Drop);
    QVERIFY(!faults.takeDns(QStringLiteral("www.corvane.test")));
    faults.clear();
    QVERIFY(!faults.takeDns(QStringLiteral("www.example.test")));
}

void TestFaultInjector::refusesBadRules_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("unknown HTTP action") << QByteArray(R"({"http":[{"action":"explode"}]})");
    QTest::newRow("unknown DNS action") << QByteArray(R"({"dns":[{"action":"explode"}]})");
    QTest::newRow("status out of range") << QByteArray(R"({"http":[{"action":"status","status":99}]})");
    QTest::newRow("negative delay") << QByteArray(R"({"dns":[{"action":"delay","delay_ms":-5}]})");
    QTest::newRow("zero count") << QByteArray(R"({"http":[{"action":"close","count":0}]})");
}

void TestFaultInjector::refusesBadRules()
{
    QFETCH(QByteArray, text);
    FaultInjector faults;
    QString error;
    QVERIFY(faults.load(json(R"({"http":[{"action":"hang"}]})"), error));
    QVERIFY(!faults.load(json(text), error));
    QVERIFY(!error.isEmpty());
    // A refused load keeps the rules in force.
    QVERIFY(faults.takeHttp(QStringLiteral("GET"), QStringLiteral("/")));
}

QTEST_GUILESS_MAIN(TestFaultInjector)
#include "tst_devservice_faults.moc"
