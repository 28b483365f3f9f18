#include "netconfig/InterfaceKeySeeder.h"
#include "platform/linux/LinkDnsSettings.h"
#include "tests/fakes/FakeAdapterSource.h"
#include "tests/fakes/FakeProgramRunner.h"
#include "tests/netconfig/InterfaceKeys.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// Where the emulated registry's interface keys get their first values from:
// the DNS servers and DHCP state the system really uses for a link.
class TestLinkDnsSettings : public QObject
{
    Q_OBJECT

private slots:
    void usableServers_data();
    void usableServers();
    void resolvectlLink_data();
    void resolvectlLink();
    void resolvectlGlobal();
    void resolvConf();
    void stateList();
    void dhclientLease();

    void readResolvedPerLink();
    void readResolvedStateFileWhenResolvectlFails();
    void readResolvedGlobalForLinkWithoutServers();
    void readNetworkdLinkServers();
    void readResolvConfFallbackWithoutLoopback();
    void readNothing();
    void dhcp_data();
    void dhcp();

    void fillStatic();
    void fillDhcp();
    void seedLeavesFakeAdaptersAlone();

private:
    static void put(const QString& root, const QString& path, const QByteArray& text);
};

void TestLinkDnsSettings::put(const QString& root, const QString& path, const QByteArray& text)
{
    const QString file = root + path;
    QVERIFY(QDir().mkpath(QFileInfo(file).absolutePath()));
    QFile out(file);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(text);
}

void TestLinkDnsSettings::usableServers_data()
{
    QTest::addColumn<QStringList>("raw");
    QTest::addColumn<QStringList>("servers");
    QTest::newRow("plain") << QStringList{"192.0.2.1", "2001:db8::1"}
                           << QStringList{"192.0.2.1", "2001:db8::1"};
    QTest::newRow("sni suffix") << QStringList{"1.1.1.1#one.one.one.one"} << QStringList{"1.1.1.1"};
    QTest::newRow("bracketed with port and zone")
        << QStringList{"[fe80::1%eth0]:53"} << QStringList{"fe80::1"};
    QTest::newRow("ipv4 with port") << QStringList{"9.9.9.9:53"} << QStringList{"9.9.9.9"};
    QTest::newRow("zone") << QStringList{"fe80::2%2"} << QStringList{"fe80::2"};
    QTest::newRow("loopback stubs dropped")
        << QStringList{"127.0.0.53", "127.0.0.1", "::1", "192.0.2.9"} << QStringList{"192.0.2.9"};
    QTest::newRow("unspecified dropped") << QStringList{"0.0.0.0", "::"} << QStringList{};
    QTest::newRow("garbage dropped") << QStringList{"", "dns.example", "[broken", "300.1.1.1", "1.2.3.4.5"}
                                     << QStringList{};
    QTest::newRow("repeats dropped") << QStringList{"192.0.2.1", "192.0.2.1#x"} << QStringList{"192.0.2.1"};
}

void TestLinkDnsSettings::usableServers()
{
    QFETCH(QStringList, raw);
    QFETCH(QStringList, servers);
    QCOMPARE(LinkDnsSettings::usableServers(raw), servers);
}

void TestLinkDnsSettings::resolvectlLink_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QStringList>("servers");
    QTest::addColumn<bool>("listed");
    QTest::newRow("eth0") << "eth0" << QStringList{"192.168.1.1", "fe80::1%eth0"} << true;
    QTest::newRow("listed without servers") << "wlan0" << QStringList{} << true;
    QTest::newRow("absent") << "dummy0" << QStringList{} << false;
    QTest::newRow("prefix of another name") << "eth" << QStringList{} << false;
}

void TestLinkDnsSettings::resolvectlLink()
{
    QFETCH(QString, link);
    QFETCH(QStringList, servers);
    QFETCH(bool, listed);
    const QString output = "Global: 1.1.1.1#cloudflare-dns.com 9.9.9.9\n"
                           "Link 2 (eth0): 192.168.1.1 fe80::1%eth0\n"
                           "Link 3 (wlan0):\n"
                           "Link x (dummy0): 6.6.6.6\n";
    bool wasListed = true;
    QCOMPARE(LinkDnsSettings::parseResolvectlLink(output, link, &wasListed), servers);
    QCOMPARE(wasListed, listed);
}

void TestLinkDnsSettings::resolvectlGlobal()
{
    QCOMPARE(LinkDnsSettings::parseResolvectlGlobal("Global: 1.1.1.1 9.9.9.9\nLink 2 (eth0): 10.0.0.1\n"),
             QStringList({"1.1.1.1", "9.9.9.9"}));
    QCOMPARE(LinkDnsSettings::parseResolvectlGlobal("Global:\n"), QStringList());
    QCOMPARE(LinkDnsSettings::parseResolvectlGlobal(""), QStringList());
}

void TestLinkDnsSettings::resolvConf()
{
    const QString text = "# generated\nsearch lan\nnameserver 192.0.2.1\n  nameserver\t2001:db8::53  \n"
                         ";nameserver 6.6.6.6\nnameserver\noptions edns0\nnameservers 7.7.7.7\n";
    QCOMPARE(LinkDnsSettings::parseResolvConf(text), QStringList({"192.0.2.1", "2001:db8::53"}));
}

void TestLinkDnsSettings::stateList()
{
    const QString text = "# This is private data. Do not parse.\nSERVERS=10.0.0.1 10.0.0.2\nDNS=x\nSERVERS=\n"
                         "XSERVERS=6.6.6.6\n";
    QCOMPARE(LinkDnsSettings::parseStateList(text, "SERVERS"), QStringList({"10.0.0.1", "10.0.0.2"}));
    QCOMPARE(LinkDnsSettings::parseStateList(text, "DNS"), QStringList({"x"}));
}

void TestLinkDnsSettings::dhclientLease()
{
    const QString lease = "lease {\n  interface \"eth0\";\n  fixed-address 10.0.0.5;\n}\n";
    QVERIFY(LinkDnsSettings::dhclientLeaseNamesLink(lease, "eth0"));
    QVERIFY(!LinkDnsSettings::dhclientLeaseNamesLink(lease, "eth"));
    QVERIFY(!LinkDnsSettings::dhclientLeaseNamesLink(lease, ""));
}

void TestLinkDnsSettings::readResolvedPerLink()
{
    QTemporaryDir root;
    put(root.path(), "/run/systemd/resolve/stub-resolv.conf", "nameserver 127.0.0.53\n");
    put(root.path(), "/etc/resolv.conf", "nameserver 127.0.0.53\n");
    FakeProgramRunner runner;
    runner.setResult("resolvectl",
                     FakeProgramRunner::output("Global: 9.9.9.9\n"
                                               "Link 4 (enp3s0): 192.168.7.1 2001:db8:7::1 127.0.0.1\n"));
    const LinkDns dns = LinkDnsSettings::read("enp3s0", 4, root.path());
    QCOMPARE(dns.v4, QStringList({"192.168.7.1"}));
    QCOMPARE(dns.v6, QStringList({"2001:db8:7::1"}));
    QVERIFY(!dns.dhcp);
    QCOMPARE(runner.calls().size(), 1);
    QCOMPARE(runner.calls().at(0).arguments, QStringList({"dns"}));
    QVERIFY(runner.calls().at(0).timeoutMs > 0);
}

void TestLinkDnsSettings::readResolvedStateFileWhenResolvectlFails()
{
    QTemporaryDir root;
    put(root.path(), "/run/systemd/resolve/netif/4", "LLMNR=yes\nSERVERS=10.4.0.1 10.4.0.2\n");
    FakeProgramRunner runner;
    ProgramResult failed;
    failed.started = false;
    runner.setResult("resolvectl", failed);
    const LinkDns dns = LinkDnsSettings::read("enp3s0", 4, root.path());
    QCOMPARE(dns.v4, QStringList({"10.4.0.1", "10.4.0.2"}));
}

void TestLinkDnsSettings::readResolvedGlobalForLinkWithoutServers()
{
    QTemporaryDir root;
    QVERIFY(QDir().mkpath(root.path() + "/run/systemd/resolve"));
    put(root.path(), "/etc/resolv.conf", "nameserver 6.6.6.6\n");
    FakeProgramRunner runner;
    runner.setResult("resolvectl",
                     FakeProgramRunner::output("Global: 9.9.9.9#dns.quad9.net\nLink 5 (veth1):\n"));
    QCOMPARE(LinkDnsSettings::read("veth1", 5, root.path()).v4, QStringList({"9.9.9.9"}));
}

void TestLinkDnsSettings::readNetworkdLinkServers()
{
    QTemporaryDir root;
    put(root.path(), "/run/systemd/netif/links/7", "OPER_STATE=routable\nDNS=10.7.0.1 fd07::1\n");
    put(root.path(), "/etc/resolv.conf", "nameserver 6.6.6.6\n");
    FakeProgramRunner runner; // resolved does not run: never asked
    const LinkDns dns = LinkDnsSettings::read("eth7", 7, root.path());
    QCOMPARE(dns.v4, QStringList({"10.7.0.1"}));
    QCOMPARE(dns.v6, QStringList({"fd07::1"}));
    QVERIFY(runner.calls().isEmpty());
    // Another link without own servers gets the system-wide ones.
    QCOMPARE(LinkDnsSettings::read("eth8", 8, root.path()).v4, QStringList({"6.6.6.6"}));
}

void TestLinkDnsSettings::readResolvConfFallbackWithoutLoopback()
{
    QTemporaryDir root;
    put(root.path(), "/etc/resolv.conf", "nameserver 127.0.0.53\nnameserver 192.0.2.53\nnameserver ::1\n");
    const LinkDns dns = LinkDnsSettings::read("eth0", 0, root.path());
    QCOMPARE(dns.v4, QStringList({"192.0.2.53"}));
    QVERIFY(dns.v6.isEmpty());
}

void TestLinkDnsSettings::readNothing()
{
    QTemporaryDir root;
    const LinkDns dns = LinkDnsSettings::read("eth0", 2, root.path());
    QVERIFY(dns.v4.isEmpty());
    QVERIFY(dns.v6.isEmpty());
    QVERIFY(!dns.dhcp);
}

void TestLinkDnsSettings::dhcp_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("dhcp");
    QTest::newRow("networkd lease") << "/run/systemd/netif/leases/3" << QByteArray("ADDRESS=10.0.0.5\n")
                                    << true;
    QTest::newRow("networkd link state")
        << "/run/systemd/netif/links/3" << QByteArray("DHCP4_ADDRESS=10.0.0.5\n") << true;
    QTest::newRow("networkd static link")
        << "/run/systemd/netif/links/3" << QByteArray("DNS=10.0.0.1\n") << false;
    QTest::newRow("other link's lease") << "/run/systemd/netif/leases/4" << QByteArray("x\n") << false;
    QTest::newRow("dhclient") << "/var/lib/dhcp/dhclient.leases"
                              << QByteArray("lease {\n  interface \"eth3\";\n}\n") << true;
    QTest::newRow("dhclient other link")
        << "/var/lib/dhcp/dhclient.leases" << QByteArray("lease {\n  interface \"eth30\";\n}\n") << false;
    QTest::newRow("dhcpcd") << "/var/lib/dhcpcd/eth3.lease" << QByteArray("\x01\x02") << true;
    QTest::newRow("NetworkManager") << "/var/lib/NetworkManager/internal-1f2e-eth3.lease"
                                    << QByteArray("A=1\n") << true;
}

void TestLinkDnsSettings::dhcp()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, text);
    QFETCH(bool, dhcp);
    QTemporaryDir root;
    put(root.path(), file, text);
    QCOMPARE(LinkDnsSettings::read("eth3", 3, root.path()).dhcp, dhcp);
}

void TestLinkDnsSettings::fillStatic()
{
    QTemporaryDir dir;
    QSettings key(dir.path() + "/key.ini", QSettings::IniFormat);
    QVERIFY(!InterfaceKeySeeder::hasDnsValues(key));
    LinkDns dns;
    dns.v4 = QStringList{"192.0.2.1", "192.0.2.2"};
    dns.v6 = QStringList{"2001:db8::1"};
    InterfaceKeySeeder::fill(key, false, dns);
    QCOMPARE(key.value("EnableDHCP").toInt(), 0);
    QCOMPARE(key.value("NameServer").toString(), QString("192.0.2.1 192.0.2.2"));
    QVERIFY(!key.contains("DhcpNameServer"));
    QVERIFY(InterfaceKeySeeder::hasDnsValues(key));

    QSettings key6(dir.path() + "/key6.ini", QSettings::IniFormat);
    InterfaceKeySeeder::fill(key6, true, dns);
    QCOMPARE(key6.value("NameServer").toString(), QString("2001:db8::1"));
}

void TestLinkDnsSettings::fillDhcp()
{
    QTemporaryDir dir;
    QSettings key(dir.path() + "/key.ini", QSettings::IniFormat);
    LinkDns dns;
    dns.dhcp = true;
    dns.v4 = QStringList{"10.0.0.1"};
    InterfaceKeySeeder::fill(key, false, dns);
    QCOMPARE(key.value("EnableDHCP").toInt(), 1);
    QCOMPARE(key.value("NameServer").toString(), QString(""));
    QVERIFY(key.contains("NameServer")); // present, so the agent can point it at itself
    QCOMPARE(key.value("DhcpNameServer").toString(), QString("10.0.0.1"));
}

void TestLinkDnsSettings::seedLeavesFakeAdaptersAlone()
{
    QTemporaryDir dir;
    qputenv("CORVANE_STATE_DIR", QFile::encodeName(dir.path()));
    FakeAdapterSource adapters;
    // "lo" is a real link here, but the adapter list is a test's: nothing is read or written.
    QVERIFY(!InterfaceKeySeeder::seed(InterfaceKeys::rootV4(), "lo"));
    QCOMPARE(InterfaceKeys::value(InterfaceKeys::rootV4(), "lo", "NameServer"), QString("<absent>"));
}

QTEST_GUILESS_MAIN(TestLinkDnsSettings)
#include "tst_linkdnssettings.moc"
