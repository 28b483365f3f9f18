#include "netconfig/NetworkInterface.h"
#include "settings/UserData.h"
#include "tests/fakes/ScratchStore.h"
#include "tests/netconfig/InterfaceKeys.h"

#include <QtTest>

#include <memory>

using namespace InterfaceKeys;

// One interface's DNS values: backup once, restore, point at the agent, and
// the previous servers the backup yields.
class TestNetworkInterface : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void group_data();
    void group();
    void backupCopiesExistingValuesWithFlag();
    void secondBackupChangesNothing();
    void backupOfKeyWithoutValues();
    void restorePutsBackAndClearsFlag();
    void restoreLeavesKeysTheBackupLacks();
    void restoreWithoutBackupDoesNothing();
    void backupAfterRestoreCopiesAfresh();
    void setDnsIp_data();
    void setDnsIp();
    void dnsAddress_data();
    void dnsAddress();
    void commaListWrittenByHandStaysOneText();
    void names_data();
    void names();
    void unusableNamesTouchNothing_data();
    void unusableNamesTouchNothing();
    void flags_data();
    void flags();

private:
    std::unique_ptr<ScratchStore> dir;
};

void TestNetworkInterface::init()
{
    dir = std::make_unique<ScratchStore>();
    QVERIFY(dir->isValid());
    UserData::resetMemoryState();
}

void TestNetworkInterface::cleanup()
{
    dir.reset();
}

void TestNetworkInterface::group_data()
{
    QTest::addColumn<QString>("root");
    QTest::addColumn<QString>("group");
    QTest::newRow("ipv4 root") << rootV4() << "IPv4";
    QTest::newRow("ipv6 root") << rootV6() << "IPv6";
    QTest::newRow("upper case is not ip6") << "\\HKEY_LOCAL_MACHINE\\TCPIP6\\"
                                           << "IPv4";
    QTest::newRow("ip6 anywhere") << "xip6y"
                                  << "IPv6";
    QTest::newRow("empty") << ""
                           << "IPv4";
}

void TestNetworkInterface::group()
{
    QFETCH(QString, root);
    QFETCH(QString, group);
    QCOMPARE(NetworkInterface(QStringLiteral("{A}")).getGroup(root), group);
}

void TestNetworkInterface::backupCopiesExistingValuesWithFlag()
{
    const QString name = QStringLiteral("{11111111-2222-3333-4444-555555555555}");
    write(
        rootV4(), name,
        {{"EnableDHCP", 1}, {"DhcpNameServer", "10.0.0.1 10.0.0.2"}, {"NameServer", ""}, {"Domain", "lan"}});
    write(rootV6(), name, {{"NameServer", "2001:db8::53"}});
    const NetworkInterface interface(name);
    QVERIFY(!interface.isExistBackup(rootV4()));

    interface.backupInterfaceSetting(rootV4());
    interface.backupInterfaceSetting(rootV6());

    QVERIFY(interface.isExistBackup(rootV4()));
    QVERIFY(interface.isExistBackup(rootV6()));
    QCOMPARE(backup(name, "IPv4", "EnableDHCP"), QString("1"));
    QCOMPARE(backup(name, "IPv4", "DhcpNameServer"), QString("10.0.0.1 10.0.0.2"));
    QCOMPARE(backup(name, "IPv4", "NameServer"), QString(""));
    QCOMPARE(backup(name, "IPv4", "Domain"), QString("<absent>")); // not a backup key
    QCOMPARE(backup(name, "IPv4", "backuped"), QString("1"));
    QCOMPARE(backup(name, "IPv6", "NameServer"), QString("2001:db8::53"));
    QCOMPARE(backup(name, "IPv6", "EnableDHCP"), QString("<absent>"));
}

void TestNetworkInterface::secondBackupChangesNothing()
{
    const QString name = QStringLiteral("{B}");
    write(rootV4(), name, {{"EnableDHCP", 0}, {"NameServer", "192.0.2.1"}});
    const NetworkInterface interface(name);
    interface.backupInterfaceSetting(rootV4());
    // What the agent itself writes must never become the backup.
    write(rootV4(), name, {{"NameServer", "127.0.0.1"}, {"DhcpNameServer", "127.0.0.1"}});
    interface.backupInterfaceSetting(rootV4());
    QCOMPARE(backup(name, "IPv4", "NameServer"), QString("192.0.2.1"));
    QCOMPARE(backup(name, "IPv4", "DhcpNameServer"), QString("<absent>"));
}

void TestNetworkInterface::backupOfKeyWithoutValues()
{
    const QString name = QStringLiteral("{Empty}");
    const NetworkInterface interface(name);
    interface.backupInterfaceSetting(rootV4());
    QVERIFY(interface.isExistBackup(rootV4()));
    for (const QString& key : NetworkInterface::backupKeys())
        QCOMPARE(backup(name, "IPv4", key), QString("<absent>"));
    QCOMPARE(interface.getDnsAddress(rootV4()), QString());
}

void TestNetworkInterface::restorePutsBackAndClearsFlag()
{
    const QString name = QStringLiteral("{C}");
    write(rootV4(), name, {{"EnableDHCP", 1}, {"DhcpNameServer", "10.1.1.1"}, {"NameServer", ""}});
    const NetworkInterface interface(name);
    interface.backupInterfaceSetting(rootV4());
    interface.setDnsIP(rootV4(), "127.0.0.1");
    QCOMPARE(value(rootV4(), name, "NameServer"), QString("127.0.0.1"));
    QCOMPARE(value(rootV4(), name, "DhcpNameServer"), QString("127.0.0.1"));

    QTest::ignoreMessage(QtDebugMsg, "method: NetworkInterface::restoreInterfaceSetting()");
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^key: EnableDHCP value: 1$"));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^key: DhcpNameServer value: 10.1.1.1$"));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^key: NameServer value: $"));
    for (int i = 0; i < 3; ++i)
        QTest::ignoreMessage(QtDebugMsg, "dst_settings.status: 0");
    interface.restoreInterfaceSetting(rootV4());

    QCOMPARE(value(rootV4(), name, "NameServer"), QString(""));
    QCOMPARE(value(rootV4(), name, "DhcpNameServer"), QString("10.1.1.1"));
    QCOMPARE(value(rootV4(), name, "EnableDHCP"), QString("1"));
    QVERIFY(!interface.isExistBackup(rootV4()));
    QCOMPARE(backup(name, "IPv4", "backuped"), QString("0"));
    QCOMPARE(backup(name, "IPv4", "DhcpNameServer"), QString("10.1.1.1")); // the copy stays
}

void TestNetworkInterface::restoreLeavesKeysTheBackupLacks()
{
    const QString name = QStringLiteral("{D}");
    write(rootV4(), name, {{"NameServer", "192.0.2.9"}});
    const NetworkInterface interface(name);
    interface.backupInterfaceSetting(rootV4());
    // Appeared after the backup: a restore neither deletes nor changes it.
    write(rootV4(), name, {{"DhcpNameServer", "10.9.9.9"}, {"NameServer", "127.0.0.1"}});
    interface.restoreInterfaceSetting(rootV4());
    QCOMPARE(value(rootV4(), name, "NameServer"), QString("192.0.2.9"));
    QCOMPARE(value(rootV4(), name, "DhcpNameServer"), QString("10.9.9.9"));
    QCOMPARE(value(rootV4(), name, "EnableDHCP"), QString("<absent>"));
}

void TestNetworkInterface::restoreWithoutBackupDoesNothing()
{
    const QString name = QStringLiteral("{E}");
    write(rootV4(), name, {{"NameServer", "127.0.0.1"}});
    NetworkInterface(name).restoreInterfaceSetting(rootV4());
    QCOMPARE(value(rootV4(), name, "NameServer"), QString("127.0.0.1"));
    QVERIFY(backedUpNames().isEmpty());
}

void TestNetworkInterface::backupAfterRestoreCopiesAfresh()
{
    const QString name = QStringLiteral("{F}");
    write(rootV4(), name, {{"NameServer", "192.0.2.1"}});
    const NetworkInterface interface(name);
    interface.backupInterfaceSetting(rootV4());
    interface.restoreInterfaceSetting(rootV4());
    write(rootV4(), name, {{"NameServer", "198.51.100.7"}});
    interface.backupInterfaceSetting(rootV4());
    QCOMPARE(backup(name, "IPv4", "NameServer"), QString("198.51.100.7"));
    QCOMPARE(backup(name, "IPv4", "backuped"), QString("1"));
}

void TestNetworkInterface::setDnsIp_data()
{
    QTest::addColumn<QVariantMap>("before");
    QTest::addColumn<QString>("nameServer");
    QTest::addColumn<QString>("dhcpNameServer");
    QTest::newRow("both values") << QVariantMap{{"NameServer", "1.1.1.1"}, {"DhcpNameServer", "2.2.2.2"}}
                                 << "127.0.0.1"
                                 << "127.0.0.1";
    QTest::newRow("static only: no DhcpNameServer created")
        << QVariantMap{{"NameServer", "1.1.1.1"}} << "127.0.0.1"
        << "<absent>";
    QTest::newRow("empty static value is overwritten") << QVariantMap{{"NameServer", ""}} << "127.0.0.1"
                                                       << "<absent>";
    QTest::newRow("no values: nothing created") << QVariantMap{{"EnableDHCP", 1}} << "<absent>"
                                                << "<absent>";
    QTest::newRow("already pointed") << QVariantMap{{"NameServer", "127.0.0.1"}} << "127.0.0.1"
                                     << "<absent>";
}

void TestNetworkInterface::setDnsIp()
{
    QFETCH(QVariantMap, before);
    QFETCH(QString, nameServer);
    QFETCH(QString, dhcpNameServer);
    const QString name = QStringLiteral("{G}");
    write(rootV4(), name, before);
    NetworkInterface(name).setDnsIP(rootV4(), "127.0.0.1");
    QCOMPARE(value(rootV4(), name, "NameServer"), nameServer);
    QCOMPARE(value(rootV4(), name, "DhcpNameServer"), dhcpNameServer);
}

void TestNetworkInterface::dnsAddress_data()
{
    QTest::addColumn<QVariantMap>("key");
    QTest::addColumn<QString>("servers");
    QTest::newRow("static wins over DHCP") << QVariantMap{{"EnableDHCP", 1},
                                                          {"DhcpNameServer", "10.0.0.1"},
                                                          {"NameServer", "192.0.2.5 192.0.2.6"}}
                                           << "192.0.2.5 192.0.2.6";
    QTest::newRow("DHCP with empty static")
        << QVariantMap{{"EnableDHCP", 1}, {"DhcpNameServer", "10.0.0.1 10.0.0.2"}, {"NameServer", ""}}
        << "10.0.0.1 10.0.0.2";
    QTest::newRow("DHCP without servers") << QVariantMap{{"EnableDHCP", 1}, {"NameServer", ""}} << "";
    QTest::newRow("DHCP off ignores DhcpNameServer")
        << QVariantMap{{"EnableDHCP", 0}, {"DhcpNameServer", "10.0.0.1"}, {"NameServer", ""}} << "";
    QTest::newRow("garbage DHCP flag is off")
        << QVariantMap{{"EnableDHCP", "yes please"}, {"DhcpNameServer", "10.0.0.1"}} << "";
    QTest::newRow("DHCP flag as text true")
        << QVariantMap{{"EnableDHCP", "true"}, {"DhcpNameServer", "10.0.0.3"}} << "10.0.0.3";
    QTest::newRow("garbage server text kept as is")
        << QVariantMap{{"NameServer", "\x01 not-an-ip"}} << "\x01 not-an-ip";
    QTest::newRow("nothing") << QVariantMap{} << "";
}

void TestNetworkInterface::dnsAddress()
{
    QFETCH(QVariantMap, key);
    QFETCH(QString, servers);
    const QString name = QStringLiteral("{H}");
    write(rootV6(), name, key);
    const NetworkInterface interface(name);
    interface.backupInterfaceSetting(rootV6());
    QCOMPARE(interface.getDnsAddress(rootV6()), servers);
    QCOMPARE(interface.getDnsAddress(rootV4()), QString()); // the other family has no backup
}

void TestNetworkInterface::commaListWrittenByHandStaysOneText()
{
    // An INI line with commas reads as a list; it must come back as the text it was.
    const QString name = QStringLiteral("{I}");
#ifdef Q_OS_WIN
    // In the registry it is a plain text value.
    write(rootV4(), name, {{"NameServer", "192.0.2.1,192.0.2.2"}});
#else
    const QString file = RegistryStore::filePathFor(RegistryStore::stateDirectory(), rootV4() + name);
    QVERIFY(QDir().mkpath(QFileInfo(file).absolutePath()));
    QFile ini(file);
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[General]\nNameServer=192.0.2.1,192.0.2.2\n");
    ini.close();
#endif
    const NetworkInterface interface(name);
    interface.backupInterfaceSetting(rootV4());
    QCOMPARE(interface.getDnsAddress(rootV4()), QString("192.0.2.1,192.0.2.2"));
    interface.setDnsIP(rootV4(), "127.0.0.1");
    QCOMPARE(value(rootV4(), name, "NameServer"), QString("127.0.0.1"));
}

void TestNetworkInterface::names_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("guid") << "{4D36E972-E325-11CE-BFC1-08002BE10318}";
    QTest::newRow("spaces") << "Local Area Connection 2";
    QTest::newRow("braces only") << "{}";
    QTest::newRow("non-ascii") << QString::fromUtf8("Сетевое подключение ✓");
    QTest::newRow("dots") << "..";
    QTest::newRow("long 200") << QString(200, QLatin1Char('n'));
    QTest::newRow("very long 5000") << QString(5000, QLatin1Char('x'));
}

void TestNetworkInterface::names()
{
    QFETCH(QString, name);
    write(rootV4(), name, {{"NameServer", "192.0.2.44"}});
    const NetworkInterface interface(name);
    interface.backupInterfaceSetting(rootV4());
    interface.setDnsIP(rootV4(), "127.0.0.1");
    interface.restoreInterfaceSetting(rootV4());
    QVERIFY(!interface.isExistBackup(rootV4()));
    // A key the system can hold round-trips; one it cannot (a file name too
    // long for the emulated registry) simply has nothing to restore.
    const QString now = value(rootV4(), name, "NameServer");
    QVERIFY2(now == "192.0.2.44" || now == "<absent>", qPrintable(now));
    if (name.size() <= 200)
        QCOMPARE(now, QString("192.0.2.44"));
}

void TestNetworkInterface::unusableNamesTouchNothing_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("empty") << "";
    QTest::newRow("slash") << "eth0/../x";
    QTest::newRow("backslash") << "a\\b";
    QTest::newRow("nul") << QString("a") + QChar(0) + "b";
}

void TestNetworkInterface::unusableNamesTouchNothing()
{
    QFETCH(QString, name);
    const NetworkInterface interface(name);
    interface.backupInterfaceSetting(rootV4());
    interface.setDnsIP(rootV4(), "127.0.0.1");
    interface.restoreInterfaceSetting(rootV4());
    QVERIFY(!interface.isExistBackup(rootV4()));
    QCOMPARE(interface.getDnsAddress(rootV4()), QString());
    QVERIFY(backedUpNames().isEmpty());
    // No interface key was created anywhere.
#ifdef Q_OS_WIN
    for (const QString& root : {rootV4(), rootV6()})
        QVERIFY2(RegistryStore::open(root)->childGroups().isEmpty(), qPrintable(root));
#else
    QDirIterator files(dir->statePath(), QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString file = files.next();
        QVERIFY2(!file.contains("HKEY_LOCAL_MACHINE"), qPrintable(file));
    }
#endif
}

void TestNetworkInterface::flags_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<bool>("isTrue");
    QTest::newRow("1") << QVariant(1) << true;
    QTest::newRow("0") << QVariant(0) << false;
    QTest::newRow("text 1") << QVariant("1") << true;
    QTest::newRow("text 0") << QVariant("0") << false;
    QTest::newRow("bool") << QVariant(true) << true;
    QTest::newRow("text true") << QVariant("true") << true;
    QTest::newRow("text false") << QVariant("false") << false;
    QTest::newRow("garbage") << QVariant("abc") << false;
    QTest::newRow("empty") << QVariant("") << false;
    QTest::newRow("invalid") << QVariant() << false;
}

void TestNetworkInterface::flags()
{
    QFETCH(QVariant, value);
    QFETCH(bool, isTrue);
    QCOMPARE(NetworkInterface::isTrue(value), isTrue);
}

QTEST_GUILESS_MAIN(TestNetworkInterface)
#include "tst_networkinterface.moc"
