#include "devservice/DnsWire.h"
#include "devservice/ResolverLogic.h"
#include "tests/devservice/DevServiceFixture.h"

#include <QtTest>

class TestResolverLogic : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void policyChosenByToken_data();
    void policyChosenByToken();
    void blockedNamesMatchWholeLabels_data();
    void blockedNamesMatchWholeLabels();
    void markedBlockedQueryGetsBlockPage();
    void markedAllowedQueryIsForwardedWithoutRecord();
    void unmarkedQueryIsForwardedUnchanged();
    void ownZoneIsAnswered_data();
    void ownZoneIsAnswered();
    void diagnosticTxtNamesThePolicy();
    void malformedQueries_data();
    void malformedQueries();
    void policyFollowsProfileChange();
    void loadRefusesBadSeeds_data();
    void loadRefusesBadSeeds();

private:
    ServiceConfig m_config;
    AccountStore m_store;
};

void TestResolverLogic::init()
{
    m_config = fixtureConfig();
    QString error;
    QVERIFY2(m_store.load(m_config.accounts, error), qPrintable(error));
}

void TestResolverLogic::policyChosenByToken_data()
{
    QTest::addColumn<quint32>("token");
    QTest::addColumn<bool>("known");
    QTest::addColumn<int>("account");
    QTest::addColumn<int>("profile");
    QTest::newRow("demo kids machine") << quint32(1001) << true << 101 << 2;
    QTest::newRow("demo unfiltered machine") << quint32(1002) << true << 101 << 1;
    QTest::newRow("strict machine, default profile") << quint32(2001) << true << 102 << 4;
    QTest::newRow("unknown token") << quint32(999) << false << 0 << 0;
    QTest::newRow("no-token value") << quint32(0xFFFFFFFF) << false << 0 << 0;
}

void TestResolverLogic::policyChosenByToken()
{
    QFETCH(quint32, token);
    QFETCH(bool, known);
    QFETCH(int, account);
    QFETCH(int, profile);
    const AccountStore::Policy policy = m_store.policyForToken(token);
    QCOMPARE(policy.known, known);
    QCOMPARE(policy.accountId, account);
    QCOMPARE(policy.profileId, profile);
}

void TestResolverLogic::blockedNamesMatchWholeLabels_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("blocked");
    QTest::newRow("exact") << QStringLiteral("blocked.example.test") << true;
    QTest::newRow("below") << QStringLiteral("sub.blocked.example.test") << true;
    QTest::newRow("upper case, trailing dot") << QStringLiteral("BLOCKED.example.test.") << true;
    QTest::newRow("seed in mixed case") << QStringLiteral("adult.example.test") << true;
    QTest::newRow("suffix inside a label") << QStringLiteral("notblocked.example.test") << false;
    QTest::newRow("parent") << QStringLiteral("example.test") << false;
    QTest::newRow("sibling") << QStringLiteral("www.example.test") << false;
}

void TestResolverLogic::blockedNamesMatchWholeLabels()
{
    QFETCH(QString, name);
    QFETCH(bool, blocked);
    QCOMPARE(AccountStore::isBlocked(name, m_store.policyForToken(1001).blocked), blocked);
}

void TestResolverLogic::markedBlockedQueryGetsBlockPage()
{
    const ResolverLogic logic(m_config, m_store);
    const QByteArray query =
        DnsWire::makeQuery(0x1234, QStringLiteral("blocked.example.test"), DnsWire::typeA, true);
    const ResolverLogic::Decision decision = logic.decide(DnsWire::appendIdentity(query, 1001));
    QCOMPARE(decision.kind, ResolverLogic::Kind::Answer);
    QCOMPARE(decision.verdict, QStringLiteral("blocked"));
    QVERIFY(decision.marked);
    QCOMPARE(decision.token, quint32(1001));
    const DnsWire::Parsed answer = DnsWire::parse(decision.message);
    QVERIFY2(answer.ok, qPrintable(answer.error));
    QCOMPARE(answer.id, quint16(0x1234));
    QCOMPARE(answer.answers.size(), 1);
    QCOMPARE(answer.answers.first().rdata, QByteArray::fromHex("7f350004")); // 127.53.0.4
    QVERIFY(answer.additional.isEmpty()); // the identity record never comes back

    // AAAA of a blocked name: no address unless an IPv6 block page is configured.
    const QByteArray aaaa =
        DnsWire::makeQuery(0x1235, QStringLiteral("blocked.example.test"), DnsWire::typeAaaa, false);
    const ResolverLogic::Decision v6 = logic.decide(DnsWire::appendIdentity(aaaa, 1001));
    QCOMPARE(v6.verdict, QStringLiteral("blocked"));
    QCOMPARE(DnsWire::readU16(v6.message, 6), quint16(0));
}

void TestResolverLogic::markedAllowedQueryIsForwardedWithoutRecord()
{
    const ResolverLogic logic(m_config, m_store);
    const QByteArray query =
        DnsWire::makeQuery(0x4321, QStringLiteral("blocked.example.test"), DnsWire::typeA, true);
    for (quint32 token : {quint32(1002), quint32(999)}) {
        const ResolverLogic::Decision decision = logic.decide(DnsWire::appendIdentity(query, token));
        QCOMPARE(decision.kind, ResolverLogic::Kind::Forward);
        QCOMPARE(decision.message, query); // ARCOUNT back to 1 (the OPT record), identity gone
    }
    // The same name is blocked for the strict account through its parent domain.
    const ResolverLogic::Decision strict = logic.decide(DnsWire::appendIdentity(query, 2001));
    QCOMPARE(strict.verdict, QStringLiteral("blocked"));
}

void TestResolverLogic::unmarkedQueryIsForwardedUnchanged()
{
    const ResolverLogic logic(m_config, m_store);
    const QByteArray query =
        DnsWire::makeQuery(0x0001, QStringLiteral("blocked.example.test"), DnsWire::typeA, false);
    const ResolverLogic::Decision decision = logic.decide(query);
    QCOMPARE(decision.kind, ResolverLogic::Kind::Forward);
    QVERIFY(!decision.marked);
    QCOMPARE(decision.message, query);
}

void TestResolverLogic::ownZoneIsAnswered_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<quint16>("type");
    QTest::addColumn<int>("rcode");
    QTest::addColumn<QByteArray>("rdata");
    QTest::newRow("www") << QStringLiteral("www.corvane.test") << DnsWire::typeA << 0
                         << QByteArray::fromHex("7f350002");
    QTest::newRow("doh") << QStringLiteral("DOH.corvane.test") << DnsWire::typeA << 0
                         << QByteArray::fromHex("7f350003");
    QTest::newRow("blockpage") << QStringLiteral("blockpage.corvane.test") << DnsWire::typeA << 0
                               << QByteArray::fromHex("7f350004");
    QTest::newRow("blockpage-tls") << QStringLiteral("blockpage-tls.corvane.test") << DnsWire::typeA << 0
                                   << QByteArray::fromHex("7f350004");
    QTest::newRow("www AAAA: no data")
        << QStringLiteral("www.corvane.test") << DnsWire::typeAaaa << 0 << QByteArray();
    QTest::newRow("unknown name") << QStringLiteral("nothing.corvane.test") << DnsWire::typeA << 3
                                  << QByteArray();
}

void TestResolverLogic::ownZoneIsAnswered()
{
    QFETCH(QString, name);
    QFETCH(quint16, type);
    QFETCH(int, rcode);
    QFETCH(QByteArray, rdata);
    const ResolverLogic logic(m_config, m_store);
    const ResolverLogic::Decision decision = logic.decide(DnsWire::makeQuery(9, name, type, true));
    QCOMPARE(decision.kind, ResolverLogic::Kind::Answer);
    QCOMPARE(decision.verdict, QStringLiteral("zone"));
    const DnsWire::Parsed answer = DnsWire::parse(decision.message);
    QVERIFY2(answer.ok, qPrintable(answer.error));
    QCOMPARE(answer.flags & 0x0F, rcode);
    QCOMPARE(answer.answers.size(), rdata.isEmpty() ? 0 : 1);
    if (!rdata.isEmpty()) {
        QCOMPARE(answer.answers.first().rdata, rdata);
    }
}

void TestResolverLogic::diagnosticTxtNamesThePolicy()
{
    const ResolverLogic logic(m_config, m_store);
    const QByteArray query =
        DnsWire::makeQuery(9, QStringLiteral("black.corvane.test"), DnsWire::typeTxt, false);
    const DnsWire::Parsed marked = DnsWire::parse(logic.decide(DnsWire::appendIdentity(query, 1001)).message);
    QVERIFY(marked.ok);
    QVERIFY(marked.answers.first().rdata.contains("token=1001 account=101 profile=2"));
    const DnsWire::Parsed unmarked = DnsWire::parse(logic.decide(query).message);
    QVERIFY(unmarked.answers.first().rdata.contains("unmarked"));
}

void TestResolverLogic::malformedQueries_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("rcode");
    const QByteArray good =
        DnsWire::makeQuery(0x0102, QStringLiteral("www.example.test"), DnsWire::typeA, false);
    QTest::newRow("empty") << QByteArray() << int(ResolverLogic::Kind::Drop) << -1;
    QTest::newRow("header cut") << good.left(11) << int(ResolverLogic::Kind::Drop) << -1;
    QByteArray response = good;
    DnsWire::writeU16(response, 2, 0x8100);
    QTest::newRow("a response") << response << int(ResolverLogic::Kind::Drop) << -1;
    QTest::newRow("question cut") << good.left(good.size() - 2) << int(ResolverLogic::Kind::Answer) << 1;
    QByteArray noQuestion = good.left(12);
    DnsWire::writeU16(noQuestion, 4, 0);
    QTest::newRow("QDCOUNT 0") << noQuestion << int(ResolverLogic::Kind::Answer) << 1;
    QByteArray arcountHigh = good;
    DnsWire::writeU16(arcountHigh, 10, 3);
    QTest::newRow("ARCOUNT larger than records") << arcountHigh << int(ResolverLogic::Kind::Answer) << 1;
    QByteArray update = good;
    DnsWire::writeU16(update, 2, 0x2800); // opcode 5
    QTest::newRow("UPDATE opcode") << update << int(ResolverLogic::Kind::Answer) << 4;
    QByteArray badIdentity = DnsWire::appendIdentity(good, 1);
    badIdentity.chop(1);
    DnsWire::writeU16(badIdentity, badIdentity.size() - 5, 3);
    QTest::newRow("identity of 3 bytes") << badIdentity << int(ResolverLogic::Kind::Answer) << 1;
}

void TestResolverLogic::malformedQueries()
{
    QFETCH(QByteArray, query);
    QFETCH(int, kind);
    QFETCH(int, rcode);
    const ResolverLogic logic(m_config, m_store);
    const ResolverLogic::Decision decision = logic.decide(query);
    QCOMPARE(int(decision.kind), kind);
    if (rcode >= 0) {
        QCOMPARE(DnsWire::readU16(decision.message, 0), DnsWire::readU16(query, 0));
        QCOMPARE(DnsWire::readU16(decision.message, 2) & 0x0F, rcode);
    }
}

void TestResolverLogic::policyFollowsProfileChange()
{
    QVERIFY(m_store.setMachineProfile(101, QStringLiteral("m-1001"), 1));
    QVERIFY(!AccountStore::isBlocked(QStringLiteral("blocked.example.test"),
                                     m_store.policyForToken(1001).blocked));
    QVERIFY(!m_store.setMachineProfile(101, QStringLiteral("m-1001"), 4)); // another account's profile
    QVERIFY(!m_store.setMachineProfile(102, QStringLiteral("m-1001"), 4)); // another account's machine
    const AccountStore::Machine added =
        m_store.registerMachine(102, QStringLiteral("pc"), QString(), QString(), QString());
    QCOMPARE(m_store.policyForToken(added.token).profileId, 4);
    QVERIFY(added.token != 0xFFFFFFFF);
    const AccountStore::AdUser user = m_store.registerAdUser(
        101, QStringLiteral("alice"), QStringLiteral("corp.example"), QStringLiteral("pc"), QString());
    QCOMPARE(m_store.policyForToken(user.token).source, QStringLiteral("ad_user %1").arg(user.id));
}

void TestResolverLogic::loadRefusesBadSeeds_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::newRow("duplicate token") << QByteArray(
        R"([{"id":1,"username":"a","profiles":[{"id":1,"name":"p"}],
        "machines":[{"uid":"x","token":5},{"uid":"y","token":5}]}])");
    QTest::newRow("no-token value") << QByteArray(R"([{"id":1,"username":"a","profiles":[{"id":1,"name":"p"}],
        "machines":[{"uid":"x","token":4294967295}]}])");
    QTest::newRow("foreign profile") << QByteArray(
        R"([{"id":1,"username":"a","profiles":[{"id":1,"name":"p"}],
        "machines":[{"uid":"x","token":5,"profile":9}]}])");
    QTest::newRow("duplicate account") << QByteArray(R"([{"id":1,"username":"a"},{"id":1,"username":"b"}])");
    QTest::newRow("no username") << QByteArray(R"([{"id":1}])");
}

void TestResolverLogic::loadRefusesBadSeeds()
{
    QFETCH(QByteArray, json);
    AccountStore store;
    QString error;
    QVERIFY(!store.load(QJsonDocument::fromJson(json).array(), error));
    QVERIFY(!error.isEmpty());
}

QTEST_GUILESS_MAIN(TestResolverLogic)
#include "tst_devservice_resolver.moc"
