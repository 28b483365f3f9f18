#include "netconfig/NetworkInterfaceManager.h"
#include "settings/UserData.h"
#include "tests/fakes/FakeAdapterSource.h"
#include "tests/netconfig/InterfaceKeys.h"
#include "tests/testlib/LogCapture.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace InterfaceKeys;

using Adapters = QVector<AdapterInfo>;
Q_DECLARE_METATYPE(Adapters)

namespace {

const QString guidA = QStringLiteral("{AAAAAAAA-0000-0000-0000-00000000000A}");
const QString guidB = QStringLiteral("{BBBBBBBB-0000-0000-0000-00000000000B}");

AdapterInfo ethernet(const QString& name, const QString& friendly = QStringLiteral("Ethernet"),
                     bool up = true)
{
    return FakeAdapterSource::adapter(name, friendly, AdapterSource::Ethernet, up);
}

void seedStatic(const QString& name, const QString& v4, const QString& v6)
{
    write(rootV4(), name, {{"EnableDHCP", 0}, {"NameServer", v4}});
    write(rootV6(), name, {{"NameServer", v6}});
}

} // namespace

// The once-a-second pass over a fake adapter list: which interfaces are
// protected, their backups, the saved DNS lists and the restore at quit.
class TestNetworkInterfaceManager : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void newAdapterProtectedAtOnceAndStored();
    void adapterKinds_data();
    void adapterKinds();
    void switchingOffRestoresBothFamiliesAndStopsRewriting();
    void switchingBackOnTakesFreshBackup();
    void vanishedVirtualRestoredUnpluggedEthernetNot();
    void statusProtectOffKeepsLoopback();
    void redirectWaitsUntilAllowed();
    void staticNameServerWinsOverDhcp();
    void savedList_data();
    void savedList();
    void savedListsFromFirstInterfaceWithServers();
    void restoreAllAtQuitCoversEarlierRestored();
    void restoreAllWritesOnlyExistingValues();
    void timerPassProtectsNewAdapter();
    void storedMapWithBadValues_data();
    void storedMapWithBadValues();
    void colonInFriendlyNameStaysProtected();
    void adapterNames_data();
    void adapterNames();
    void unusableAdapterNameSkipped();
    void adapterListedTwiceIsOneInterface();
    void vanishedInterfaceDoesNotRestoreTheMapEveryPass();
    void networkChanged_data();
    void networkChanged();
    void unactiveInterfaces_data();
    void unactiveInterfaces();
    void unreadableAdapterListEndsWithCode1AndRestores();
    void simulatedCrashKeepsOriginalBackup();

private:
    QProcessEnvironment stubEnvironment() const;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<FakeAdapterSource> adapters;
};

void TestNetworkInterfaceManager::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    qputenv("CORVANE_STATE_DIR", QFile::encodeName(dir->path()));
    UserData::resetMemoryState();
    adapters = std::make_unique<FakeAdapterSource>();
}

void TestNetworkInterfaceManager::cleanup()
{
    adapters.reset();
    dir.reset();
}

void TestNetworkInterfaceManager::newAdapterProtectedAtOnceAndStored()
{
    seedStatic(guidA, "192.0.2.1 192.0.2.2", "2001:db8::1");
    adapters->setAdapters({ethernet(guidA, "Ethernet 2")});
    NetworkInterfaceManager manager(ConstData::getAddrFileDns());

    QCOMPARE(manager.getRootV4(), rootV4());
    QCOMPARE(manager.getRootV6(), rootV6());
    QCOMPARE(value(rootV4(), guidA, "NameServer"), QString("127.0.0.1"));
    QCOMPARE(value(rootV6(), guidA, "NameServer"), QString("::1"));
    QCOMPARE(backup(guidA, "IPv4", "NameServer"), QString("192.0.2.1 192.0.2.2"));
    QCOMPARE(backup(guidA, "IPv6", "NameServer"), QString("2001:db8::1"));
    const auto map = UserData::getNetworkInterfaces();
    QCOMPARE(map.size(), 1);
    QCOMPARE(map.value(guidA).name, QString("Ethernet 2"));
    QVERIFY(map.value(guidA).status);
    QCOMPARE(UserData::getSavedIpV4Dns(), QStringList({"192.0.2.1", "192.0.2.2"}));
    QCOMPARE(UserData::getSavedIpV6Dns(), QStringList({"2001:db8::1"}));
    QCOMPARE(manager.getCurrentInterfaces().size(), size_t(1));
}

void TestNetworkInterfaceManager::adapterKinds_data()
{
    QTest::addColumn<quint32>("type");
    QTest::addColumn<bool>("up");
    QTest::addColumn<bool>("protectedAndListed");
    QTest::newRow("ethernet up") << quint32(AdapterSource::Ethernet) << true << true;
    QTest::newRow("ethernet unplugged") << quint32(AdapterSource::Ethernet) << false << true;
    QTest::newRow("wireless down") << quint32(AdapterSource::Ieee80211) << false << true;
    QTest::newRow("ppp down") << quint32(AdapterSource::Ppp) << false << true;
    QTest::newRow("loopback up") << quint32(AdapterSource::SoftwareLoopback) << true << false;
    QTest::newRow("loopback down") << quint32(AdapterSource::SoftwareLoopback) << false << false;
    QTest::newRow("tunnel up") << quint32(AdapterSource::Tunnel) << true << true;
    QTest::newRow("tunnel down") << quint32(AdapterSource::Tunnel) << false << false;
    QTest::newRow("other down") << quint32(AdapterSource::Other) << false << false;
    QTest::newRow("unknown type up") << quint32(9999) << true << true;
}

void TestNetworkInterfaceManager::adapterKinds()
{
    QFETCH(quint32, type);
    QFETCH(bool, up);
    QFETCH(bool, protectedAndListed);
    seedStatic(guidA, "192.0.2.1", "");
    adapters->setAdapters({FakeAdapterSource::adapter(guidA, "Adapter", type, up)});
    NetworkInterfaceManager manager(ConstData::getAddrFileDns());
    QCOMPARE(value(rootV4(), guidA, "NameServer"), QString(protectedAndListed ? "127.0.0.1" : "192.0.2.1"));
    QCOMPARE(UserData::getNetworkInterfaces().contains(guidA), protectedAndListed);
    QCOMPARE(backedUpNames().contains(guidA), protectedAndListed);
}

void TestNetworkInterfaceManager::switchingOffRestoresBothFamiliesAndStopsRewriting()
{
    seedStatic(guidA, "192.0.2.1", "2001:db8::1");
    seedStatic(guidB, "192.0.2.2", "2001:db8::2");
    adapters->setAdapters({ethernet(guidA, "A"), ethernet(guidB, "B")});
    NetworkInterfaceManager manager(ConstData::getAddrFileDns());

    auto map = UserData::getNetworkInterfaces();
    map[guidA].status = false;
    UserData::setNetworkInterfaces(map);
    manager.slotChangedFile();

    QCOMPARE(value(rootV4(), guidA, "NameServer"), QString("192.0.2.1"));
    QCOMPARE(value(rootV6(), guidA, "NameServer"), QString("2001:db8::1"));
    QCOMPARE(backup(guidA, "IPv4", "backuped"), QString("0"));
    QCOMPARE(backup(guidA, "IPv6", "backuped"), QString("0"));
    QCOMPARE(value(rootV4(), guidB, "NameServer"), QString("127.0.0.1"));

    // The user's own change on the unprotected interface is left alone.
    write(rootV4(), guidA, {{"NameServer", "203.0.113.9"}});
    manager.slotChangedFile();
    QCOMPARE(value(rootV4(), guidA, "NameServer"), QString("203.0.113.9"));
    QVERIFY(!UserData::getNetworkInterfaces().value(guidA).status);
}

void TestNetworkInterfaceManager::switchingBackOnTakesFreshBackup()
{
    seedStatic(guidA, "192.0.2.1", "2001:db8::1");
    adapters->setAdapters({ethernet(guidA, "A")});
    NetworkInterfaceManager manager(ConstData::getAddrFileDns());
    auto map = UserData::getNetworkInterfaces();
    map[guidA].status = false;
    UserData::setNetworkInterfaces(map);
    manager.slotChangedFile();
    write(rootV4(), guidA, {{"NameServer", "203.0.113.9"}});

    map[guidA].status = true;
    UserData::setNetworkInterfaces(map);
    manager.slotChangedFile();
    QCOMPARE(backup(guidA, "IPv4", "NameServer"), QString("203.0.113.9"));
    QCOMPARE(backup(guidA, "IPv4", "backuped"), QString("1"));
    QCOMPARE(value(rootV4(), guidA, "NameServer"), QString("127.0.0.1"));
    QCOMPARE(value(rootV6(), guidA, "NameServer"), QString("::1"));
}

void TestNetworkInterfaceManager::vanishedVirtualRestoredUnpluggedEthernetNot()
{
    const QString vpn = QStringLiteral("{VPN}");
    seedStatic(guidA, "192.0.2.1", "");
    seedStatic(vpn, "10.8.0.1", "fd00:8::1");
    adapters->setAdapters(
        {ethernet(guidA, "Wired"), FakeAdapterSource::adapter(vpn, "VPN", AdapterSource::Tunnel)});
    NetworkInterfaceManager manager(ConstData::getAddrFileDns());
    QCOMPARE(value(rootV4(), vpn, "NameServer"), QString("127.0.0.1"));

    adapters->setAdapters({ethernet(guidA, "Wired", false)});
    manager.slotChangedFile();
    QCOMPARE(value(rootV4(), vpn, "NameServer"), QString("10.8.0.1"));
    QCOMPARE(value(rootV6(), vpn, "NameServer"), QString("fd00:8::1"));
    QCOMPARE(value(rootV4(), guidA, "NameServer"), QString("127.0.0.1"));
    QCOMPARE(manager.getCurrentInterfaces().size(), size_t(1));
}

void TestNetworkInterfaceManager::statusProtectOffKeepsLoopback()
{
    seedStatic(guidA, "192.0.2.1", "2001:db8::1");
    adapters->setAdapters({ethernet(guidA)});
    NetworkInterfaceManager manager(ConstData::getAddrFileDns());
    // A DHCP renewal rewrote the value; switching protection off re-applies at once.
    write(rootV4(), guidA, {{"NameServer", "198.51.100.1"}});
    manager.setStatusProtect(UserData::OFF);
    QCOMPARE(UserData::getControlDNS(), int(UserData::OFF));
    QCOMPARE(value(rootV4(), guidA, "NameServer"), QString("127.0.0.1"));
    QCOMPARE(value(rootV6(), guidA, "NameServer"), QString("::1"));
    manager.setStatusProtect(UserData::ON);
    QCOMPARE(UserData::getControlDNS(), int(UserData::ON));
    QCOMPARE(backup(guidA, "IPv4", "NameServer"), QString("192.0.2.1"));
}

// Until the DNS listener answers, passes back up and list the interfaces but
// leave their values alone; the first pass after allowRedirect points them.
void TestNetworkInterfaceManager::redirectWaitsUntilAllowed()
{
    seedStatic(guidA, "192.0.2.1", "2001:db8::1");
    adapters->setAdapters({ethernet(guidA)});
    NetworkInterfaceManager manager(ConstData::getAddrFileDns(), nullptr,
                                    NetworkInterfaceManager::Redirect::WhenAllowed);
    manager.slotChangedFile();
    manager.setStatusProtect(UserData::ON);
    QVERIFY(!manager.isRedirecting());
    QCOMPARE(value(rootV4(), guidA, "NameServer"), QString("192.0.2.1"));
    QCOMPARE(value(rootV6(), guidA, "NameServer"), QString("2001:db8::1"));
    QCOMPARE(backup(guidA, "IPv4", "NameServer"), QString("192.0.2.1"));
    QCOMPARE(UserData::getSavedIpV4Dns(), QStringList({"192.0.2.1"}));
    QVERIFY(UserData::getNetworkInterfaces().value(guidA).status);

    manager.allowRedirect();
    QVERIFY(manager.isRedirecting());
    QCOMPARE(value(rootV4(), guidA, "NameServer"), QString("127.0.0.1"));
    QCOMPARE(value(rootV6(), guidA, "NameServer"), QString("::1"));
    // The backup still holds the interface's own servers.
    QCOMPARE(backup(guidA, "IPv4", "NameServer"), QString("192.0.2.1"));
}

void TestNetworkInterfaceManager::staticNameServerWinsOverDhcp()
{
    write(rootV4(), guidA, {{"EnableDHCP", 1}, {"DhcpNameServer", "10.0.0.1"}, {"NameServer", "192.0.2.7"}});
    adapters->setAdapters({ethernet(guidA)});
    NetworkInterfaceManager manager(ConstData::getAddrFileDns());
    QCOMPARE(UserData::getSavedIpV4Dns(), QStringList({"192.0.2.7"}));
    QCOMPARE(value(rootV4(), guidA, "DhcpNameServer"), QString("127.0.0.1"));
}

void TestNetworkInterfaceManager::savedList_data()
{
    QTest::addColumn<QString>("nameServer");
    QTest::addColumn<QStringList>("saved");
    QTest::newRow("space: two servers") << "192.0.2.1 192.0.2.2" << QStringList{"192.0.2.1", "192.0.2.2"};
    QTest::newRow("comma: one entry") << "192.0.2.1,192.0.2.2" << QStringList{"192.0.2.1,192.0.2.2"};
    QTest::newRow("extra spaces") << "  192.0.2.1   192.0.2.2 " << QStringList{"192.0.2.1", "192.0.2.2"};
    // The agent's own listener is no previous server: queries would loop back.
    QTest::newRow("own listener dropped") << "127.0.0.1 192.0.2.3" << QStringList{"192.0.2.3"};
    QTest::newRow("only own listener") << "127.0.0.1" << QStringList{};
}

void TestNetworkInterfaceManager::savedList()
{
    QFETCH(QString, nameServer);
    QFETCH(QStringList, saved);
    write(rootV4(), guidA, {{"NameServer", nameServer}});
    adapters->setAdapters({ethernet(guidA)});
    NetworkInterfaceManager manager(ConstData::getAddrFileDns());
    QCOMPARE(UserData::getSavedIpV4Dns(), saved);
}

void TestNetworkInterfaceManager::savedListsFromFirstInterfaceWithServers()
{
    const QString guidC = QStringLiteral("{C}");
    write(rootV4(), guidA, {{"EnableDHCP", 1}, {"NameServer", ""}});
    seedStatic(guidB, "192.0.2.20", "2001:db8::20");
    seedStatic(guidC, "192.0.2.30", "2001:db8::30");
    adapters->setAdapters({ethernet(guidA), ethernet(guidB), ethernet(guidC)});
    NetworkInterfaceManager manager(ConstData::getAddrFileDns());
    QCOMPARE(UserData::getSavedIpV4Dns(), QStringList({"192.0.2.20"}));
    QCOMPARE(UserData::getSavedIpV6Dns(), QStringList({"2001:db8::20"}));
    // Not replaced for the rest of the process, even when that interface goes.
    adapters->setAdapters({ethernet(guidC)});
    manager.slotChangedFile();
    QCOMPARE(UserData::getSavedIpV4Dns(), QStringList({"192.0.2.20"}));
}

void TestNetworkInterfaceManager::restoreAllAtQuitCoversEarlierRestored()
{
    seedStatic(guidA, "192.0.2.1", "2001:db8::1");
    seedStatic(guidB, "192.0.2.2", "2001:db8::2");
    adapters->setAdapters({ethernet(guidA, "A"), ethernet(guidB, "B")});
    NetworkInterfaceManager manager(ConstData::getAddrFileDns());
    auto map = UserData::getNetworkInterfaces();
    map[guidA].status = false;
    UserData::setNetworkInterfaces(map);
    manager.slotChangedFile();
    write(rootV4(), guidA, {{"NameServer", "127.0.0.1"}}); // pointed at the loopback by something else

    QTest::ignoreMessage(QtDebugMsg, "restore status all interfaces IPv4: 0");
    QTest::ignoreMessage(QtDebugMsg, "restore status all interfaces IPv6: 0");
    QTest::ignoreMessage(QtDebugMsg, "restore status all interfaces IPv4: 0");
    QTest::ignoreMessage(QtDebugMsg, "restore status all interfaces IPv6: 0");
    QVERIFY(QMetaObject::invokeMethod(QCoreApplication::instance(), "aboutToQuit", Qt::DirectConnection));

    QCOMPARE(value(rootV4(), guidA, "NameServer"), QString("192.0.2.1"));
    QCOMPARE(value(rootV4(), guidB, "NameServer"), QString("192.0.2.2"));
    QCOMPARE(value(rootV6(), guidA, "NameServer"), QString("2001:db8::1"));
    QCOMPARE(value(rootV6(), guidB, "NameServer"), QString("2001:db8::2"));
    for (const QString& name : {guidA, guidB}) {
        QCOMPARE(backup(name, "IPv4", "backuped"), QString("0"));
        QCOMPARE(backup(name, "IPv6", "backuped"), QString("0"));
    }
}

void TestNetworkInterfaceManager::restoreAllWritesOnlyExistingValues()
{
    write(rootV4(), guidA, {{"EnableDHCP", 1}, {"DhcpNameServer", "10.0.0.1"}, {"NameServer", ""}});
    adapters->setAdapters({ethernet(guidA)});
    NetworkInterfaceManager manager(ConstData::getAddrFileDns());
    // The key lost its DHCP values meanwhile: they are not created again.
    auto key = RegistryStore::open(rootV4() + guidA);
    key->remove("DhcpNameServer");
    key->remove("EnableDHCP");
    key->sync();
    key.reset();
    manager.restoreAllInterface();
    QCOMPARE(value(rootV4(), guidA, "NameServer"), QString(""));
    QCOMPARE(value(rootV4(), guidA, "DhcpNameServer"), QString("<absent>"));
    QCOMPARE(value(rootV4(), guidA, "EnableDHCP"), QString("<absent>"));
    QCOMPARE(value(rootV4(), guidA, "backuped"), QString("<absent>"));
}

void TestNetworkInterfaceManager::timerPassProtectsNewAdapter()
{
    seedStatic(guidA, "192.0.2.1", "");
    seedStatic(guidB, "192.0.2.2", "");
    adapters->setAdapters({ethernet(guidA)});
    NetworkInterfaceManager manager(ConstData::getAddrFileDns());
    const int callsBefore = adapters->listCalls();
    adapters->setAdapters({ethernet(guidA), ethernet(guidB)});
    QTRY_COMPARE(value(rootV4(), guidB, "NameServer"), QString("127.0.0.1"));
    QVERIFY(adapters->listCalls() > callsBefore);
    // And a value changed behind the agent's back is undone by the next pass.
    write(rootV4(), guidA, {{"NameServer", "198.51.100.1"}});
    QTRY_COMPARE(value(rootV4(), guidA, "NameServer"), QString("127.0.0.1"));
}

void TestNetworkInterfaceManager::storedMapWithBadValues_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<bool>("protectedAfter");
    QTest::newRow("no colon: skipped, so new") << "NoColon" << true;
    QTest::newRow("empty: skipped, so new") << "" << true;
    QTest::newRow("colon in name reads false") << "Name:With:true" << false;
    QTest::newRow("status case-sensitive") << "Name:TRUE" << false;
    QTest::newRow("switched off") << "Name:false" << false;
    QTest::newRow("only colons") << ":::" << true;
    QTest::newRow("switched on") << "Name:true" << true;
}

void TestNetworkInterfaceManager::storedMapWithBadValues()
{
    QFETCH(QString, stored);
    QFETCH(bool, protectedAfter);
    seedStatic(guidA, "192.0.2.1", "2001:db8::1");
    {
        auto store = RegistryStore::open(ConstData::getAddressConf());
        store->setValue("CONTROL/NETWORK_INTER/" + guidA, stored);
        store->sync();
    }
    adapters->setAdapters({ethernet(guidA, "Wired")});
    NetworkInterfaceManager manager(ConstData::getAddrFileDns());
    QCOMPARE(value(rootV4(), guidA, "NameServer"), QString(protectedAfter ? "127.0.0.1" : "192.0.2.1"));
    QCOMPARE(value(rootV6(), guidA, "NameServer"), QString(protectedAfter ? "::1" : "2001:db8::1"));
    QCOMPARE(backedUpNames().contains(guidA), protectedAfter);
}

void TestNetworkInterfaceManager::colonInFriendlyNameStaysProtected()
{
    seedStatic(guidA, "192.0.2.1", "");
    adapters->setAdapters({ethernet(guidA, "Ethernet: dock")});
    NetworkInterfaceManager manager(ConstData::getAddrFileDns());
    manager.slotChangedFile();
    const auto entry = UserData::getNetworkInterfaces().value(guidA);
    QVERIFY(entry.status);
    QCOMPARE(entry.name, QString::fromUtf8("Ethernet\u2236 dock"));
    QCOMPARE(value(rootV4(), guidA, "NameServer"), QString("127.0.0.1"));
    QCOMPARE(manager.getCurrentInterfaces().size(), size_t(1));
}

void TestNetworkInterfaceManager::adapterNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("friendly");
    QTest::newRow("guid") << guidA << "Ethernet";
    QTest::newRow("spaces") << "Local Area Connection 3"
                            << "LAN 3";
    QTest::newRow("braces") << "{{}}"
                            << "{weird}";
    QTest::newRow("non-ascii friendly") << "{CAFE}" << QString::fromUtf8("Беспроводная сеть ✓ 無線");
    QTest::newRow("long") << QString(200, QLatin1Char('L')) << QString(1000, QLatin1Char('F'));
    QTest::newRow("very long") << QString(4000, QLatin1Char('V')) << "Very long";
}

void TestNetworkInterfaceManager::adapterNames()
{
    QFETCH(QString, name);
    QFETCH(QString, friendly);
    seedStatic(name, "192.0.2.1", "");
    adapters->setAdapters({ethernet(name, friendly)});
    NetworkInterfaceManager manager(ConstData::getAddrFileDns());
    manager.slotChangedFile();
    const auto map = UserData::getNetworkInterfaces();
    QVERIFY(map.value(name).status);
    QCOMPARE(map.value(name).name, friendly);
    manager.restoreAllInterface();
    // A key the emulated registry can hold round-trips; one whose file name is
    // too long never existed and nothing was written for it.
    const QString now = value(rootV4(), name, "NameServer");
    QVERIFY2(now == "192.0.2.1" || (name.size() > 255 && now == "<absent>"), qPrintable(now));
}

void TestNetworkInterfaceManager::unusableAdapterNameSkipped()
{
    const QString bad = QStringLiteral("eth0/../../x");
    adapters->setAdapters({ethernet(bad), ethernet(guidA)});
    seedStatic(guidA, "192.0.2.1", "");
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("adapter name not usable as a key, skipped"));
    NetworkInterfaceManager manager(ConstData::getAddrFileDns());
    manager.slotChangedFile(); // warned once only (a second warning would fail the test)
    QVERIFY(!UserData::getNetworkInterfaces().contains(bad));
    QCOMPARE(backedUpNames(), QStringList({guidA}));
    QCOMPARE(value(rootV4(), guidA, "NameServer"), QString("127.0.0.1"));
}

void TestNetworkInterfaceManager::adapterListedTwiceIsOneInterface()
{
    seedStatic(guidA, "192.0.2.1", "");
    adapters->setAdapters({ethernet(guidA, "first"), ethernet(guidA, "second")});
    NetworkInterfaceManager manager(ConstData::getAddrFileDns());
    QCOMPARE(manager.getCurrentInterfaces().size(), size_t(1));
    QCOMPARE(UserData::getNetworkInterfaces().value(guidA).name, QString("first"));
}

void TestNetworkInterfaceManager::vanishedInterfaceDoesNotRestoreTheMapEveryPass()
{
    seedStatic(guidA, "192.0.2.1", "");
    seedStatic(guidB, "192.0.2.2", "");
    adapters->setAdapters({ethernet(guidA), ethernet(guidB)});
    NetworkInterfaceManager manager(ConstData::getAddrFileDns());
    adapters->setAdapters({ethernet(guidA)});

    int newLines = 0;
    {
        LogCapture log;
        for (int i = 0; i < 4; ++i)
            manager.slotChangedFile();
        newLines = log.countPrefix(QStringLiteral("NETWORKINTERFACEMANAGER"), QStringLiteral("New:"));
    }
    QCOMPARE(newLines, 1);
    QCOMPARE(value(rootV4(), guidB, "NameServer"), QString("192.0.2.2"));
    // The interface that went is no longer in the stored map.
    QCOMPARE(UserData::getNetworkInterfaces().keys(), QStringList{guidA});
}

AdapterInfo withAddresses(AdapterInfo adapter, const QVector<QByteArray>& addresses)
{
    adapter.addresses = addresses;
    return adapter;
}

void TestNetworkInterfaceManager::networkChanged_data()
{
    QTest::addColumn<Adapters>("before");
    QTest::addColumn<Adapters>("after");
    QTest::addColumn<bool>("changed");
    const QByteArray v4a("\xc0\x00\x02\x0a", 4);
    const QByteArray v4b("\xc0\x00\x02\x0b", 4);
    const QByteArray v6(16, '\x20');
    const AdapterInfo a = withAddresses(ethernet(guidA), {v4a, v6});
    const AdapterInfo b = withAddresses(ethernet(guidB, QStringLiteral("Wi-Fi")), {v4b});
    QTest::newRow("same") << Adapters{a, b} << Adapters{a, b} << false;
    QTest::newRow("listed in another order") << Adapters{a, b} << Adapters{b, a} << false;
    QTest::newRow("addresses in another order")
        << Adapters{a} << Adapters{withAddresses(ethernet(guidA), {v6, v4a})} << false;
    QTest::newRow("another name shown")
        << Adapters{a} << Adapters{withAddresses(ethernet(guidA, QStringLiteral("LAN")), {v4a, v6})} << false;
    QTest::newRow("an address changed")
        << Adapters{a} << Adapters{withAddresses(ethernet(guidA), {v4b, v6})} << true;
    QTest::newRow("an address gone") << Adapters{a} << Adapters{withAddresses(ethernet(guidA), {v4a})}
                                     << true;
    QTest::newRow("an adapter came up") << Adapters{a} << Adapters{a, b} << true;
    QTest::newRow("an adapter went down")
        << Adapters{a, b}
        << Adapters{a, withAddresses(ethernet(guidB, QStringLiteral("Wi-Fi"), false), {v4b})} << true;
    QTest::newRow("every adapter gone") << Adapters{a} << Adapters{} << true;
}

void TestNetworkInterfaceManager::networkChanged()
{
    QFETCH(Adapters, before);
    QFETCH(Adapters, after);
    QFETCH(bool, changed);
    adapters->setAdapters(before);
    NetworkInterfaceManager manager(ConstData::getAddrFileDns());
    QSignalSpy spy(&manager, &NetworkInterfaceManager::signalNetworkChanged);
    manager.slotChangedFile();
    QCOMPARE(spy.count(), 0);
    adapters->setAdapters(after);
    manager.slotChangedFile();
    QCOMPARE(spy.count(), changed ? 1 : 0);
    // Said once per change.
    manager.slotChangedFile();
    QCOMPARE(spy.count(), changed ? 1 : 0);
}

void TestNetworkInterfaceManager::unactiveInterfaces_data()
{
    QTest::addColumn<QStringList>("current");
    QTest::addColumn<QStringList>("previous");
    QTest::addColumn<QStringList>("gone");
    QTest::newRow("none gone") << QStringList{"a", "b"} << QStringList{"b", "a"} << QStringList{};
    QTest::newRow("previous order kept")
        << QStringList{"b"} << QStringList{"c", "b", "a"} << QStringList{"c", "a"};
    QTest::newRow("all gone") << QStringList{} << QStringList{"a", "b"} << QStringList{"a", "b"};
    QTest::newRow("nothing before") << QStringList{"a"} << QStringList{} << QStringList{};
    QTest::newRow("case matters") << QStringList{"A"} << QStringList{"a"} << QStringList{"a"};
}

void TestNetworkInterfaceManager::unactiveInterfaces()
{
    QFETCH(QStringList, current);
    QFETCH(QStringList, previous);
    QFETCH(QStringList, gone);
    std::list<NetworkInterface> now, before;
    for (const QString& name : current)
        now.emplace_back(name);
    for (const QString& name : previous)
        before.emplace_back(name);
    QStringList result;
    for (const NetworkInterface& interface : NetworkInterfaceManager::getUnactiveInterfaces(now, before))
        result << interface.getName();
    QCOMPARE(result, gone);
}

QProcessEnvironment TestNetworkInterfaceManager::stubEnvironment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("CORVANE_STATE_DIR", dir->path());
    return environment;
}

void TestNetworkInterfaceManager::unreadableAdapterListEndsWithCode1AndRestores()
{
    // A run that died left the interface pointed at the loopback, with a valid backup.
    seedStatic(guidA, "192.0.2.1", "2001:db8::1");
    adapters->setAdapters({ethernet(guidA)});
    {
        NetworkInterfaceManager manager(ConstData::getAddrFileDns());
    }
    QCOMPARE(value(rootV4(), guidA, "NameServer"), QString("127.0.0.1"));

    QProcess stub;
    stub.setProcessEnvironment(stubEnvironment());
    stub.start(CORVANE_NETCONFIG_STUB, {"unreadable", guidA + "|6|1|Ethernet"});
    QVERIFY(stub.waitForFinished(30000));
    QCOMPARE(stub.exitStatus(), QProcess::NormalExit);
    QCOMPARE(stub.exitCode(), 1);
    QVERIFY(stub.readAllStandardError().contains("Cannot read network interfaces!!!"));
    QVERIFY(!stub.readAllStandardOutput().contains("READY"));
    QCOMPARE(value(rootV4(), guidA, "NameServer"), QString("192.0.2.1"));
    QCOMPARE(value(rootV6(), guidA, "NameServer"), QString("2001:db8::1"));
}

void TestNetworkInterfaceManager::simulatedCrashKeepsOriginalBackup()
{
    seedStatic(guidA, "192.0.2.1 192.0.2.2", "2001:db8::1");
    const QStringList arguments = {"run", guidA + "|6|1|Ethernet"};

    QProcess first;
    first.setProcessEnvironment(stubEnvironment());
    first.start(CORVANE_NETCONFIG_STUB, arguments);
    QVERIFY(first.waitForStarted());
    QByteArray firstOutput; // QTRY evaluates its condition more than once: keep what was read
    QTRY_VERIFY((firstOutput += first.readAllStandardOutput()).contains("READY"));
    QCOMPARE(value(rootV4(), guidA, "NameServer"), QString("127.0.0.1"));
    first.kill(); // SIGKILL: no restore
    QVERIFY(first.waitForFinished());
    QCOMPARE(value(rootV4(), guidA, "NameServer"), QString("127.0.0.1"));
    QCOMPARE(backup(guidA, "IPv4", "backuped"), QString("1"));

    QProcess second;
    second.setProcessEnvironment(stubEnvironment());
    second.start(CORVANE_NETCONFIG_STUB, arguments);
    QVERIFY(second.waitForStarted());
    QByteArray secondOutput; // QTRY evaluates its condition more than once: keep what was read
    QTRY_VERIFY((secondOutput += second.readAllStandardOutput()).contains("READY"));
    QCOMPARE(backup(guidA, "IPv4", "NameServer"), QString("192.0.2.1 192.0.2.2"));
    QCOMPARE(backup(guidA, "IPv6", "NameServer"), QString("2001:db8::1"));
    second.closeWriteChannel(); // the stand-in quits at end of input
    QVERIFY(second.waitForFinished(30000));
    QCOMPARE(second.exitCode(), 0);

    QCOMPARE(value(rootV4(), guidA, "NameServer"), QString("192.0.2.1 192.0.2.2"));
    QCOMPARE(value(rootV6(), guidA, "NameServer"), QString("2001:db8::1"));
    QCOMPARE(backup(guidA, "IPv4", "backuped"), QString("0"));
}

QTEST_GUILESS_MAIN(TestNetworkInterfaceManager)
#include "tst_networkinterfacemanager.moc"
