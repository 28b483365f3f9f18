#include "common/RegistryStore.h"
#include "logging/LogMask.h"
#include "settings/ConstData.h"
#include "settings/UserData.h"
#include "tests/fakes/FakeMachineInfo.h"
#include "tests/fakes/ScratchStore.h"

#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#ifdef Q_OS_WIN
#include "common/windows/WinKeySecurity.h"
#endif

#include <atomic>

// Each case starts from a fresh, empty store of its own.
class TestUserData : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void freshStoreDefaults();
    void writeBackOnEmptyValues();
    void loopbackResolverIsReplaced_data();
    void loopbackResolverIsReplaced();
    void protocolText_data();
    void protocolText();
    void changeThroughAgentSeenAtOnce();
    void changeFromOutsideSeenWithinASecond();
    void garbageStoreGivesDefaults_data();
    void garbageStoreGivesDefaults();
    void storeFileIsPrivate();
    void dnsDomainUrl();
    void pinRoundTripStandardMode();
    void pinRoundTripAdMode();
    void wrongPinChangesNothing();
    void emptyPinNeverMatches();
    void passwordWithColonIsNotRestored();
    void corruptStoredSignInDataDecodesEmpty_data();
    void corruptStoredSignInDataDecodesEmpty();
    void checkAuthData();
    void deleteAuthDataKeepsUid();
    void tokenAfterDeleteAuthData();
    void storedToken_data();
    void storedToken();
    void uninstallPinConsumedOnce();
    void uninstallStatusRemovesGroup();
    void interfaceMapParsing_data();
    void interfaceMapParsing();
    void interfaceMapRoundTripKeepsOthers();
    void coordinates();
    void savedDnsListsIgnoreEmpty();
    void uidOnlyOutsideAdMode();
    void workingModeDetectedOnce();
    void productName_data();
    void productName();
    void encodeDecodeIsInvolution();
    void concurrentReadersSeeWholeValues();
    void bodiesForTheLog_data();
    void bodiesForTheLog();

private:
    QString storePath() const;
    static std::unique_ptr<QSettings> openStore();
    std::unique_ptr<ScratchStore> dir;
    std::unique_ptr<FakeMachineInfo> machine;
};

QString TestUserData::storePath() const
{
    return RegistryStore::filePathFor(dir->statePath(), ConstData::getAddressConf());
}

// The agent's settings as the agent reaches them: the registry key on
// Windows, the emulated registry's file elsewhere.
std::unique_ptr<QSettings> TestUserData::openStore()
{
    return RegistryStore::open(ConstData::getAddressConf());
}

void TestUserData::init()
{
    dir = std::make_unique<ScratchStore>();
    QVERIFY(dir->isValid());
    machine = std::make_unique<FakeMachineInfo>();
    ConstData::resetWorkingMode();
    UserData::resetMemoryState();
}

void TestUserData::cleanup()
{
    UserData::resetMemoryState();
    ConstData::resetWorkingMode();
    machine.reset();
    dir.reset();
}

void TestUserData::freshStoreDefaults()
{
    QVERIFY(UserData::getStatusLog());
    QCOMPARE(UserData::getDnsProtocol(), UserData::DNS);
    QCOMPARE(UserData::getControlDNS(), 0);
    QCOMPARE(UserData::getDnsIpV4(), ConstData::getDnsIpV4());
    QCOMPARE(UserData::getDnsIpV6(), ConstData::getDnsIpV6());
    QCOMPARE(UserData::getDnsHost(), QStringLiteral("doh.") + ConstData::getDomainName());
    QCOMPARE(UserData::getDomainName(), ConstData::getDomainName());
    QVERIFY(UserData::getNoAdWork());
    QCOMPARE(UserData::getToken(), UserData::noToken);
    QVERIFY(!UserData::getCheckUninstallStatus());

    auto store = openStore();
    QCOMPARE(store->value(QStringLiteral("CONTROL/LOG_STATUS")).toString(), QStringLiteral("true"));
    QCOMPARE(store->value(QStringLiteral("CONTROL/DNS_TYPE_PROTOCOL")).toString(), QStringLiteral("0"));
    QCOMPARE(store->value(QStringLiteral("CONTROL/DNS_IP_V4")).toString(), ConstData::getDnsIpV4());
    QCOMPARE(store->value(QStringLiteral("CONTROL/DNS_IP_V6")).toString(), ConstData::getDnsIpV6());
    QCOMPARE(store->value(QStringLiteral("CONTROL/DNS_DOMAIN")).toString(),
             QStringLiteral("doh.") + ConstData::getDomainName());
    QCOMPARE(store->value(QStringLiteral("CONTROL/API_DOMAIN")).toString(), ConstData::getDomainName());
    QCOMPARE(store->value(QStringLiteral("CONTROL/NO_AD")).toString(), QStringLiteral("true"));
    // The protection state is not written back, nor is anything under USER.
    QVERIFY(!store->contains(QStringLiteral("CONTROL/DNS_TYPE_PROTECTION")));
    QVERIFY(store->childGroups().contains(QStringLiteral("CONTROL")));
    QVERIFY(!store->childGroups().contains(QStringLiteral("USER")));
}

void TestUserData::writeBackOnEmptyValues()
{
    {
        auto store = openStore();
        store->setValue(QStringLiteral("CONTROL/LOG_STATUS"), QString());
        store->setValue(QStringLiteral("CONTROL/DNS_TYPE_PROTOCOL"), QString());
        store->setValue(QStringLiteral("CONTROL/API_DOMAIN"), QString());
        store->setValue(QStringLiteral("CONTROL/LOG_STATUS"), QString());
    }
    QVERIFY(UserData::getStatusLog());
    QCOMPARE(UserData::getDomainName(), ConstData::getDomainName());
    auto store = openStore();
    QCOMPARE(store->value(QStringLiteral("CONTROL/API_DOMAIN")).toString(), ConstData::getDomainName());
    QCOMPARE(store->value(QStringLiteral("CONTROL/DNS_TYPE_PROTOCOL")).toString(), QStringLiteral("0"));
}

void TestUserData::loopbackResolverIsReplaced_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("expected");
    QTest::newRow("v4 loopback") << "DNS_IP_V4"
                                 << "127.0.0.1" << ConstData::getDnsIpV4();
    QTest::newRow("v6 loopback") << "DNS_IP_V6"
                                 << "::1" << ConstData::getDnsIpV6();
    QTest::newRow("v4 custom") << "DNS_IP_V4"
                               << "192.0.2.53"
                               << "192.0.2.53";
    QTest::newRow("v6 custom") << "DNS_IP_V6"
                               << "2001:db8::53"
                               << "2001:db8::53";
}

void TestUserData::loopbackResolverIsReplaced()
{
    QFETCH(QString, key);
    QFETCH(QString, stored);
    QFETCH(QString, expected);
    {
        auto store = openStore();
        store->setValue(QStringLiteral("CONTROL/") + key, stored);
    }
    const QString value = key == QLatin1String("DNS_IP_V4") ? UserData::getDnsIpV4() : UserData::getDnsIpV6();
    QCOMPARE(value, expected);
    auto store = openStore();
    QCOMPARE(store->value(QStringLiteral("CONTROL/") + key).toString(), expected);
}

void TestUserData::protocolText_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<quint32>("expected");
    QTest::newRow("udp") << "0" << quint32(0);
    QTest::newRow("doh") << "1" << quint32(1);
    QTest::newRow("dot") << "2" << quint32(2);
    QTest::newRow("not a number") << "dot" << quint32(0);
    QTest::newRow("negative") << "-1" << quint32(0);
}

void TestUserData::protocolText()
{
    QFETCH(QString, stored);
    QFETCH(quint32, expected);
    {
        auto store = openStore();
        store->setValue(QStringLiteral("CONTROL/DNS_TYPE_PROTOCOL"), stored);
    }
    QCOMPARE(quint32(UserData::getDnsProtocol()), expected);
}

void TestUserData::changeThroughAgentSeenAtOnce()
{
    QCOMPARE(UserData::getDnsProtocol(), UserData::DNS);
    UserData::setDnsProtocol(UserData::DOT);
    QCOMPARE(UserData::getDnsProtocol(), UserData::DOT);
    UserData::setControlDNS(UserData::ON);
    QCOMPARE(UserData::getControlDNS(), 1);
    UserData::setStatusLog();
    QVERIFY(!UserData::getStatusLog());
    UserData::setStatusLog();
    QVERIFY(UserData::getStatusLog());
    UserData::setNoAdWork(false);
    QVERIFY(!UserData::getNoAdWork());
    auto store = openStore();
    QCOMPARE(store->value(QStringLiteral("CONTROL/DNS_TYPE_PROTOCOL")).toString(), QStringLiteral("2"));
    QCOMPARE(store->value(QStringLiteral("CONTROL/DNS_TYPE_PROTECTION")).toInt(), 1);
}

void TestUserData::changeFromOutsideSeenWithinASecond()
{
    QCOMPARE(UserData::getDnsProtocol(), UserData::DNS);
    {
        auto store = openStore();
        store->setValue(QStringLiteral("CONTROL/DNS_TYPE_PROTOCOL"), QStringLiteral("1"));
        store->setValue(QStringLiteral("CONTROL/DNS_IP_V4"), QStringLiteral("192.0.2.1"));
    }
    QTRY_COMPARE_WITH_TIMEOUT(UserData::getDnsProtocol(), UserData::DOH, 1500);
    QCOMPARE(UserData::getDnsIpV4(), QStringLiteral("192.0.2.1"));
}

void TestUserData::garbageStoreGivesDefaults_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("binary garbage") << QByteArray("\x00\xff\xfe[[[=\n\x01\x02", 10);
    QTest::newRow("broken sections") << QByteArray(
        "[CONTROL\nLOG_STATUS\n=\n[USER]\nTOKEN=abc\nPIN=@ByteArray(\n");
    QTest::newRow("wrong types") << QByteArray(
        "[CONTROL]\nDNS_TYPE_PROTOCOL=@Variant(garbage)\nNO_AD=maybe\n");
}

void TestUserData::garbageStoreGivesDefaults()
{
#ifdef Q_OS_WIN
    QSKIP("the store is the registry here: there is no file to corrupt");
#endif
    QFETCH(QByteArray, content);
    QDir().mkpath(QFileInfo(storePath()).absolutePath());
    QFile file(storePath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    QCOMPARE(UserData::getDnsProtocol(), UserData::DNS);
    QCOMPARE(UserData::getDnsIpV4(), ConstData::getDnsIpV4());
    QCOMPARE(UserData::getDomainName(), ConstData::getDomainName());
    QVERIFY(UserData::getToken() == -1 || UserData::getToken() == 0);
    QVERIFY(!UserData::checkPin(QStringLiteral("1234")));
    QVERIFY(UserData::getNetworkInterfaces().isEmpty());
    // The write-back rules repair the file.
    auto store = openStore();
    QCOMPARE(store->value(QStringLiteral("CONTROL/API_DOMAIN")).toString(), ConstData::getDomainName());
}

void TestUserData::storeFileIsPrivate()
{
    UserData::setLogin(QStringLiteral("user"));
    UserData::setPassword(QStringLiteral("secret"));
    QVERIFY(UserData::setPin(QStringLiteral("1234")));
    QString error;
#ifdef Q_OS_WIN
    // What the agent does at start: SYSTEM and Administrators only, not
    // inherited from the parent, on the key and the subkeys it has.
    QVERIFY2(RegistryStore::restrictAccess(ConstData::getAddressConf(), &error), qPrintable(error));
    const std::wstring key = L".DEFAULT\\Software\\Corvane\\Corvane Agent";
    for (const std::wstring& path : {key, key + L"\\USER"}) {
        const QString dacl = QString::fromStdWString(WinKeySecurity::daclSddl(HKEY_USERS, path));
        qInfo().noquote() << "access list of" << QString::fromStdWString(path) << dacl;
        QVERIFY2(dacl.startsWith(QLatin1String("D:P")), qPrintable(dacl));
        QVERIFY2(dacl.contains(QLatin1String(";;;SY)")) && dacl.contains(QLatin1String(";;;BA)")),
                 qPrintable(dacl));
        QCOMPARE(dacl.count(QLatin1String("(A;")), 2);
    }
    // The tray program, elevated during uninstall, still leaves its PIN there.
    RegistryStore::open(ConstData::getAddressConf())
        ->setValue(QStringLiteral("CONTROL/UNINSTALL/PIN"), QStringLiteral("2580"));
    QCOMPARE(UserData::getCheckUninstallPin(), QStringLiteral("2580"));
    const QString inherited =
        QString::fromStdWString(WinKeySecurity::daclSddl(HKEY_USERS, key + L"\\CONTROL\\UNINSTALL"));
    qInfo().noquote() << "access list of a subkey made later" << inherited;
#else
    // A file someone made readable beforehand is put right at start.
    QVERIFY(QFile(storePath())
                .setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                                QFileDevice::ReadOther));
    QVERIFY2(RegistryStore::restrictAccess(ConstData::getAddressConf(), &error), qPrintable(error));
    const QFileDevice::Permissions permissions = QFile(storePath()).permissions();
    QVERIFY(permissions.testFlag(QFileDevice::ReadOwner));
    QVERIFY(!permissions.testFlag(QFileDevice::ReadGroup));
    QVERIFY(!permissions.testFlag(QFileDevice::ReadOther));
    QVERIFY(!permissions.testFlag(QFileDevice::WriteOther));
#endif
}

void TestUserData::dnsDomainUrl()
{
    QCOMPARE(UserData::getDnsDomain(), QStringLiteral("https://doh.") + ConstData::getDomainName());
}

void TestUserData::pinRoundTripStandardMode()
{
    UserData::setLogin(QStringLiteral("alice@example.test"));
    UserData::setPassword(QStringLiteral("pa\"ss\\wörd"));
    QVERIFY(UserData::setPin(QStringLiteral("2468")));
    UserData::resetMemoryState();
    QVERIFY(UserData::getLogin().isEmpty());
    QVERIFY(UserData::checkPin(QStringLiteral("2468")));
    QCOMPARE(UserData::getLogin(), QStringLiteral("alice@example.test"));
    QCOMPARE(UserData::getPassword(), QStringLiteral("pa\"ss\\wörd"));
    // The stored data is scrambled with the PIN, not plain Base64.
    auto store = openStore();
    const QByteArray stored = store->value(QStringLiteral("USER/AUTHDATA")).toByteArray();
    QVERIFY(!stored.isEmpty());
    QVERIFY(stored != QByteArray("alice@example.test:pa\"ss\\wörd").toBase64());
    QCOMPARE(store->value(QStringLiteral("USER/PIN")).toByteArray().size(), 64);
}

void TestUserData::pinRoundTripAdMode()
{
    machine->domain = QStringLiteral("corp.example.test");
    UserData::setNoAdWork(false);
    QVERIFY(UserData::isAdMode());
    UserData::setAuthToken(QStringLiteral("access-key-0123"));
    QVERIFY(UserData::setPin(QStringLiteral("9999")));
    auto store = openStore();
    QCOMPARE(store->value(QStringLiteral("USER/AUTHDATA")).toByteArray(),
             QByteArray("access-key-0123").toBase64());
    UserData::resetMemoryState();
    ConstData::resetWorkingMode();
    QVERIFY(UserData::checkPin(QStringLiteral("9999")));
    QCOMPARE(UserData::getAuthToken(), QStringLiteral("access-key-0123"));
    UserData::resetMemoryState();
    // The stored key is readable without the PIN in AD mode.
    QCOMPARE(UserData::getAuthToken(), QStringLiteral("access-key-0123"));
}

void TestUserData::wrongPinChangesNothing()
{
    UserData::setLogin(QStringLiteral("bob"));
    UserData::setPassword(QStringLiteral("hunter2"));
    QVERIFY(UserData::setPin(QStringLiteral("1357")));
    UserData::setLogin(QStringLiteral("current"));
    UserData::setPassword(QStringLiteral("values"));
    QVERIFY(!UserData::checkPin(QStringLiteral("1358")));
    QCOMPARE(UserData::getLogin(), QStringLiteral("current"));
    QCOMPARE(UserData::getPassword(), QStringLiteral("values"));
}

void TestUserData::emptyPinNeverMatches()
{
    UserData::setLogin(QStringLiteral("bob"));
    UserData::setPassword(QStringLiteral("pw"));
    QVERIFY(!UserData::setPin(QString()));
    QVERIFY(!UserData::checkAuthData());
    QVERIFY(UserData::setPin(QStringLiteral("1")));
    QVERIFY(!UserData::checkPin(QString()));
    QVERIFY(UserData::checkPin(QStringLiteral("1")));
}

void TestUserData::passwordWithColonIsNotRestored()
{
    UserData::setLogin(QStringLiteral("carol"));
    UserData::setPassword(QStringLiteral("a:b"));
    QVERIFY(UserData::setPin(QStringLiteral("4321")));
    UserData::resetMemoryState();
    QVERIFY(UserData::checkPin(QStringLiteral("4321")));
    QVERIFY(UserData::getLogin().isEmpty());
    QVERIFY(UserData::getPassword().isEmpty());
}

void TestUserData::corruptStoredSignInDataDecodesEmpty_data()
{
    QTest::addColumn<QByteArray>("authData");
    QTest::newRow("not base64") << QByteArray("%%%not*base64%%%");
    QTest::newRow("base64 of invalid UTF-8") << QByteArray("\xff\xfe\xfd:\xc3", 5).toBase64();
    QTest::newRow("truncated base64") << QByteArray("YWJj");
}

void TestUserData::corruptStoredSignInDataDecodesEmpty()
{
    QFETCH(QByteArray, authData);
    machine->domain = QStringLiteral("corp.example.test");
    UserData::setNoAdWork(false);
    // A digest that matches the stored data, so only the decoding can fail.
    {
        auto store = openStore();
        store->setValue(QStringLiteral("USER/AUTHDATA"), authData);
        store->setValue(QStringLiteral("USER/PIN"),
                        QCryptographicHash::hash(QByteArray("77") + authData, QCryptographicHash::Sha512));
    }
    UserData::setAuthToken(QStringLiteral("kept"));
    const bool matched = UserData::checkPin(QStringLiteral("77"));
    QVERIFY(matched);
    if (authData == QByteArray("YWJj"))
        QCOMPARE(UserData::getAuthToken(), QStringLiteral("abc"));
    else
        QCOMPARE(UserData::getAuthToken(), QStringLiteral("kept"));
}

void TestUserData::checkAuthData()
{
    QVERIFY(!UserData::checkAuthData());
    UserData::setLogin(QStringLiteral("l"));
    UserData::setPassword(QStringLiteral("p"));
    QVERIFY(UserData::setPin(QStringLiteral("12")));
    QVERIFY(UserData::checkAuthData());
}

void TestUserData::deleteAuthDataKeepsUid()
{
    UserData::saveUid(QStringLiteral("machine-17"));
    UserData::setToken(4242);
    UserData::setLogin(QStringLiteral("l"));
    UserData::setPassword(QStringLiteral("p"));
    QVERIFY(UserData::setPin(QStringLiteral("12")));
    UserData::setControlDNS(UserData::ON);
    UserData::deleteAuthData();
    QVERIFY(UserData::getLogin().isEmpty());
    QVERIFY(UserData::getPassword().isEmpty());
    QVERIFY(!UserData::checkAuthData());
    QCOMPARE(UserData::getSaveUid(), QStringLiteral("machine-17"));
    QCOMPARE(UserData::getControlDNS(), 1);
    auto store = openStore();
    store->beginGroup(QStringLiteral("USER"));
    QCOMPARE(store->allKeys(), QStringList{QStringLiteral("UID")});
}

void TestUserData::tokenAfterDeleteAuthData()
{
    UserData::setToken(123456);
    QCOMPARE(UserData::getToken(), 123456LL);
    UserData::resetMemoryState();
    QCOMPARE(UserData::getToken(), 123456LL); // read back from the store
    UserData::deleteAuthData();
    QCOMPARE(UserData::getToken(), UserData::noToken);
    UserData::setToken(7);
    QCOMPARE(UserData::getToken(), 7LL); // a new token is seen at once, not a second later
    // Tokens from 2^31 up are tokens, in memory and read back from the store->
    UserData::setToken(3000000000u);
    QCOMPARE(UserData::getToken(), 3000000000LL);
    UserData::resetMemoryState();
    QCOMPARE(UserData::getToken(), 3000000000LL);
}

void TestUserData::storedToken_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<qint64>("token");
    QTest::newRow("absent") << QVariant() << qint64(-1);
    QTest::newRow("-1") << QVariant(-1) << qint64(-1);
    QTest::newRow("0xFFFFFFFF") << QVariant(QStringLiteral("4294967295")) << qint64(-1);
    QTest::newRow("zero") << QVariant(0) << qint64(0);
    QTest::newRow("below 2^31") << QVariant(QStringLiteral("2147483647")) << qint64(2147483647);
    QTest::newRow("2^31") << QVariant(QStringLiteral("2147483648")) << qint64(2147483648LL);
    QTest::newRow("largest") << QVariant(QStringLiteral("4294967294")) << qint64(4294967294LL);
    QTest::newRow("signed form of 2^31") << QVariant(QStringLiteral("-2147483648")) << qint64(2147483648LL);
    QTest::newRow("beyond 32 bits") << QVariant(QStringLiteral("4294967296")) << qint64(-1);
    QTest::newRow("text") << QVariant(QStringLiteral("12ab")) << qint64(-1);
}

void TestUserData::storedToken()
{
    QFETCH(QVariant, stored);
    QTEST(UserData::tokenFromStored(stored), "token");
}

void TestUserData::uninstallPinConsumedOnce()
{
    {
        auto store = openStore();
        store->setValue(QStringLiteral("CONTROL/UNINSTALL/PIN"), QStringLiteral("2580"));
    }
    QCOMPARE(UserData::getCheckUninstallPin(), QStringLiteral("2580"));
    QCOMPARE(UserData::getCheckUninstallPin(), QString());
}

void TestUserData::uninstallStatusRemovesGroup()
{
    UserData::setCheckUninstallStatus(true);
    QVERIFY(UserData::getCheckUninstallStatus());
    {
        auto store = openStore();
        store->setValue(QStringLiteral("CONTROL/UNINSTALL/PIN"), QStringLiteral("1"));
    }
    UserData::setCheckUninstallStatus(false);
    QVERIFY(!UserData::getCheckUninstallStatus());
    auto store = openStore();
    QVERIFY(!store->contains(QStringLiteral("CONTROL/UNINSTALL/PIN")));
    QVERIFY(!store->contains(QStringLiteral("CONTROL/UNINSTALL/STATUS")));
}

void TestUserData::interfaceMapParsing_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("status");
    QTest::newRow("on") << "Ethernet:true" << true << "Ethernet" << true;
    QTest::newRow("off") << "Wi-Fi 2:false" << true << "Wi-Fi 2" << false;
    QTest::newRow("no colon") << "Ethernet" << false << "" << false;
    QTest::newRow("empty") << "" << false << "" << false;
    QTest::newRow("colon in name") << "Adapter: LAN:true" << true << "Adapter" << false;
    QTest::newRow("upper-case TRUE") << "Eth:TRUE" << true << "Eth" << false;
    QTest::newRow("empty name part skipped") << ":Eth:true" << true << "Eth" << true;
    QTest::newRow("non-ASCII") << "Сеть {1}:true" << true << "Сеть {1}" << true;
}

void TestUserData::interfaceMapParsing()
{
    QFETCH(QString, value);
    QFETCH(bool, accepted);
    QFETCH(QString, name);
    QFETCH(bool, status);
    UserData::NetInter entry;
    QCOMPARE(UserData::parseNetInter(value, entry), accepted);
    if (accepted) {
        QCOMPARE(entry.name, name);
        QCOMPARE(entry.status, status);
    }
}

void TestUserData::interfaceMapRoundTripKeepsOthers()
{
    QMap<QString, UserData::NetInter> first;
    first.insert(QStringLiteral("{AAAA-1}"), {QStringLiteral("Ethernet"), true});
    first.insert(QStringLiteral("{BBBB-2}"), {QStringLiteral("Wi-Fi"), false});
    UserData::setNetworkInterfaces(first);
    QMap<QString, UserData::NetInter> second;
    second.insert(QStringLiteral("{BBBB-2}"), {QStringLiteral("Wi-Fi"), true});
    UserData::setNetworkInterfaces(second);
    const auto stored = UserData::getNetworkInterfaces();
    QCOMPARE(stored.size(), 2);
    QVERIFY(stored.value(QStringLiteral("{AAAA-1}")).status);
    QVERIFY(stored.value(QStringLiteral("{BBBB-2}")).status);
    QCOMPARE(stored.value(QStringLiteral("{AAAA-1}")).name, QStringLiteral("Ethernet"));
}

void TestUserData::coordinates()
{
    QCOMPARE(UserData::getCoordGui(), (QJsonObject{{"x", "null"}, {"y", "null"}}));
    UserData::setCoordGui(QJsonObject{{"x", "120"}, {"y", "-40"}});
    QCOMPARE(UserData::getCoordGui(), (QJsonObject{{"x", "120"}, {"y", "-40"}}));
    UserData::setCoordGui(QJsonObject{{"x", 15}, {"y", true}});
    QCOMPARE(UserData::getCoordGui().value(QStringLiteral("x")).toString(), QStringLiteral("15"));
}

void TestUserData::savedDnsListsIgnoreEmpty()
{
    UserData::setSavedIpV4Dns({QStringLiteral("192.0.2.1"), QStringLiteral("192.0.2.2")});
    UserData::setSavedIpV4Dns({});
    QCOMPARE(UserData::getSavedIpV4Dns().size(), 2);
    UserData::setSavedIpV6Dns({QStringLiteral("2001:db8::1")});
    QCOMPARE(UserData::getSavedIpV6Dns(), QStringList{QStringLiteral("2001:db8::1")});
}

void TestUserData::uidOnlyOutsideAdMode()
{
    machine->domain = QStringLiteral("corp.example.test");
    UserData::setNoAdWork(false);
    UserData::saveUid(QStringLiteral("not stored"));
    QCOMPARE(UserData::getSaveUid(), QString());
    UserData::setNoAdWork(true);
    UserData::saveUid(QStringLiteral("stored"));
    QCOMPARE(UserData::getSaveUid(), QStringLiteral("stored"));
}

void TestUserData::workingModeDetectedOnce()
{
    machine->domain = QStringLiteral("corp.example.test");
    QTest::ignoreMessage(QtInfoMsg, "AD is activing, domain: \"corp.example.test\"");
    QCOMPARE(ConstData::getWorkingMode(), qMakePair(2, QStringLiteral("corp.example.test")));
    machine->domain.clear();
    QCOMPARE(ConstData::getWorkingMode().first, 2);
    ConstData::resetWorkingMode();
    QTest::ignoreMessage(QtInfoMsg, "AD isn't activing");
    QCOMPARE(ConstData::getWorkingMode(), qMakePair(1, QString()));
    ConstData::resetWorkingMode();
    machine->domainKnown = false;
    QCOMPARE(ConstData::getWorkingMode(), qMakePair(1, QString()));
}

void TestUserData::productName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<quint32>("build");
    QTest::addColumn<QString>("expected");
    QTest::newRow("21999") << "Windows 10 Pro" << quint32(21999) << "Windows 10 Pro";
    QTest::newRow("22000") << "Windows 10 Pro" << quint32(22000) << "Windows 11 Pro";
    QTest::newRow("every 10") << "Windows 10 Pro 10" << quint32(22631) << "Windows 11 Pro 11";
    QTest::newRow("no build") << "Debian GNU/Linux 10" << quint32(0) << "Debian GNU/Linux 10";
}

void TestUserData::productName()
{
    QFETCH(QString, name);
    QFETCH(quint32, build);
    QFETCH(QString, expected);
    machine->product = name;
    machine->build = build;
    QCOMPARE(ConstData::getOS(), expected);
}

void TestUserData::encodeDecodeIsInvolution()
{
    const QByteArray data("sign-in data of some length");
    const QByteArray key("93");
    const QByteArray once = UserData::encodeDecode(data, key);
    QVERIFY(once != data);
    QCOMPARE(UserData::encodeDecode(once, key), data);
    QCOMPARE(UserData::encodeDecode(data, QByteArray()), data);
}

void TestUserData::concurrentReadersSeeWholeValues()
{
    // The DNS threads read while the agent thread writes: every value read
    // must be one that was written, never a torn one.
    const QString first = QStringLiteral("192.0.2.10");
    const QString second = QStringLiteral("198.51.100.200");
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    QVector<QThread*> readers;
    for (int i = 0; i < 3; ++i) {
        readers.append(QThread::create([&] {
            while (!stop.load()) {
                const int protection = UserData::getControlDNS();
                if (protection != 1 && protection != 2 && protection != 0)
                    ++bad;
                const quint32 protocol = UserData::getDnsProtocol();
                if (protocol > 2)
                    ++bad;
                const qint64 token = UserData::getToken();
                if (token != -1 && token != 1000 && token != 2000)
                    ++bad;
                const QStringList saved = UserData::getSavedIpV4Dns();
                if (!saved.isEmpty() && saved.first() != first && saved.first() != second)
                    ++bad;
                (void)UserData::getDnsIpV4();
            }
        }));
        readers.last()->start();
    }
    for (int i = 0; i < 200; ++i) {
        UserData::setControlDNS(i % 2 ? UserData::ON : UserData::OFF);
        UserData::setDnsProtocol(i % 3 == 0 ? UserData::DOT : UserData::DNS);
        UserData::setToken(i % 2 ? 1000 : 2000);
        UserData::setSavedIpV4Dns({i % 2 ? first : second});
    }
    stop = true;
    for (QThread* reader : readers) {
        QVERIFY(reader->wait(30000));
        delete reader;
    }
    QCOMPARE(bad.load(), 0);
}

void TestUserData::bodiesForTheLog_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("shown");
    QTest::newRow("machine answer") << QByteArray(
                                           R"({"uid":"749ed6df-5246-4070","token":3735928559,"profile":3})")
                                    << QStringLiteral(R"({"profile":3,"token":"37359...","uid":"749ed..."})");
    QTest::newRow("token pair, nested")
        << QByteArray(R"({"result":{"access":"eyJhbGciOiJI","refresh":"eyJ0eXAiOiJK"}})")
        << QStringLiteral(R"({"result":{"access":"eyJhb...","refresh":"eyJ0e..."}})");
    QTest::newRow("password and PIN, any case")
        << QByteArray(R"([{"Password":"hunter2","PIN":"2580","username":"alice"}])")
        << QStringLiteral(R"([{"PIN":"****","Password":"*******","username":"alice"}])");
    QTest::newRow("no secret") << QByteArray(R"({"result":[{"id":1,"name":"Kids"}]})")
                               << QStringLiteral(R"({"result":[{"id":1,"name":"Kids"}]})");
    QTest::newRow("not JSON") << QByteArray("<html>502</html>") << QStringLiteral("<html>502</html>");
}

void TestUserData::bodiesForTheLog()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, shown);
    QCOMPARE(LogMask::body(body), shown);
}

QTEST_GUILESS_MAIN(TestUserData)
#include "tst_userdata.moc"
