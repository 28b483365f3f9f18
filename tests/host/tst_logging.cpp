#include "common/RegistryStore.h"
#include "dns/DnsLogging.h"
#include "host/HostLogging.h"
#include "host/Logging.h"
#include "host/MessageHandler.h"
#include "logging/LogFile.h"
#include "settings/ConstData.h"
#include "settings/UserData.h"
#include "tests/fakes/FakeMachineInfo.h"
#include "tests/fakes/ScratchStore.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

class TestLogging : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void lineThroughHandler();
    void debugSwitch();
    void switchSeenOnNextMessage();
    void header();
    void settingsDumpMasking_data();
    void settingsDumpMasking();

private:
    QStringList lines() const;
    std::unique_ptr<ScratchStore> dir;
    std::unique_ptr<FakeMachineInfo> machine;
};

QStringList TestLogging::lines() const
{
    LogFile::instance().flush();
    QFile file(LogFile::instance().pathFor(QDate::currentDate()));
    // Text mode: a Windows log's CR LF reads as LF.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void TestLogging::init()
{
    dir = std::make_unique<ScratchStore>();
    QVERIFY(dir->isValid());
    machine = std::make_unique<FakeMachineInfo>();
    UserData::resetMemoryState();
    LogFile::instance().setLocation(dir->path(), QStringLiteral("Corvane Agent"));
    qInstallMessageHandler(messageHandler);
}

void TestLogging::cleanup()
{
    qInstallMessageHandler(nullptr);
    machine.reset();
    dir.reset();
}

void TestLogging::lineThroughHandler()
{
    qCInfo(main_) << "CREATE";
    qCWarning(snifferdnsudp) << "Duplicate request attempt:" << 7;
    const QStringList written = lines();
    QCOMPARE(written.size(), 2);
    const QRegularExpression info(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\| INF \\| MAIN: CREATE$"));
    QVERIFY2(info.match(written.at(0)).hasMatch(), qPrintable(written.at(0)));
    QVERIFY(written.at(1).endsWith(QStringLiteral(" | WRN | SNIFFERDNSUDP: Duplicate request attempt: 7")));
}

void TestLogging::debugSwitch()
{
    UserData::setStatusLog(false);
    qCDebug(core) << "hidden";
    qCWarning(core) << "shown";
    UserData::setStatusLog(true);
    qCDebug(core) << "visible";
    const QStringList written = lines();
    QCOMPARE(written.size(), 2);
    QVERIFY(written.at(0).endsWith(QStringLiteral("WRN | CORE: shown")));
    QVERIFY(written.at(1).endsWith(QStringLiteral("DBG | CORE: visible")));
}

void TestLogging::switchSeenOnNextMessage()
{
    qCDebug(core) << "one";
    UserData::setStatusLog();
    qCDebug(core) << "two";
    UserData::setStatusLog();
    qCDebug(core) << "three";
    const QStringList written = lines();
    QCOMPARE(written.size(), 2);
    QVERIFY(written.at(1).endsWith(QStringLiteral("CORE: three")));
}

void TestLogging::header()
{
    machine->product = QStringLiteral("Windows 10 Pro");
    machine->build = 22631;
    const QString header = Logging::headerText();
    const QRegularExpression shape(QStringLiteral("^\\n----- START_Corvane \\(v4\\.0\\.0, os: Windows 11 "
                                                  "Pro\\) \\d\\d:\\d\\d:\\d\\d\\.\\d{3} -----\\n$"));
    QVERIFY2(shape.match(header).hasMatch(), qPrintable(header));
    Logging::startHeaderLog();
    Logging::startHeaderLog();
    LogFile::instance().flush();
    QFile file(LogFile::instance().pathFor(QDate::currentDate()));
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    // Consecutive starts are separated by an empty line.
    QVERIFY(file.readAll().startsWith("\n----- START_Corvane"));
}

void TestLogging::settingsDumpMasking_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("value");
    // The dump's line for it; empty: the key is not listed.
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("hidden");
    const auto row = [](const char* name, const QString& key, const QVariant& value, const QString& line,
                        const QString& hidden = QString()) {
        QTest::newRow(name) << key << value << line << hidden;
    };
    // Secrets show only that they are there and their length: the first
    // characters of AUTHDATA with the login gave the PIN away.
    row("PIN digest", QStringLiteral("USER/PIN"), QByteArray(64, '\x5a'),
        QStringLiteral("\"Group: USER\" \"\\tKey: PIN\" \"\\tValue: set, 64 characters\""),
        QStringLiteral("ZZZZZ"));
    row("sign-in data", QStringLiteral("USER/AUTHDATA"), QByteArray("YWxpY2U6c2VjcmV0"),
        QStringLiteral("\"Group: USER\" \"\\tKey: AUTHDATA\" \"\\tValue: set, 16 characters\""),
        QStringLiteral("YWxpY"));
    row("uninstall PIN", QStringLiteral("CONTROL/UNINSTALL/PIN"), QStringLiteral("2580"),
        QStringLiteral("\"Group: CONTROL\" \"\\tKey: UNINSTALL/PIN\" \"\\tValue: set, 4 characters\""),
        QStringLiteral("2580"));
    row("account token", QStringLiteral("USER/TOKEN"), QStringLiteral("3735928559"),
        QStringLiteral("\"\\tKey: TOKEN\" \"\\tValue: set, 10 characters\""), QStringLiteral("37359"));
    row("machine id", QStringLiteral("USER/UID"), QStringLiteral("uid-4f1c9e"),
        QStringLiteral("\"\\tKey: UID\" \"\\tValue: set, 10 characters\""), QStringLiteral("uid-4"));
    row("access key", QStringLiteral("CONTROL/ACCESS_KEY"), QStringLiteral("ak-secret-value"),
        QStringLiteral("\"\\tKey: ACCESS_KEY\" \"\\tValue: set, 15 characters\""), QStringLiteral("ak-se"));
    row("refresh token", QStringLiteral("USER/REFRESH_TOKEN"), QStringLiteral("eyJhbGciOi"),
        QStringLiteral("\"\\tKey: REFRESH_TOKEN\" \"\\tValue: set, 10 characters\""),
        QStringLiteral("eyJhb"));
    // Registry names ignore letter case: "Pin" is the same key as "PIN" on Windows.
    row("PIN in other case", QStringLiteral("CONTROL/Pin"), QStringLiteral("9876"),
        QStringLiteral("\"\\tKey: Pin\" \"\\tValue: set, 4 characters\""), QStringLiteral("9876"));
    row("empty secret", QStringLiteral("USER/PASSWORD"), QString(),
        QStringLiteral("\"\\tKey: PASSWORD\" \"\\tValue: not set\""));
    // Everything else as it is.
    row("switch", QStringLiteral("CONTROL/LOG_STATUS"), true,
        QStringLiteral("\"Group: CONTROL\" \"\\tKey: LOG_STATUS\" \"\\tValue: true\""));
    row("interface", QStringLiteral("CONTROL/NETWORK_INTER/{6b29fc40-ca47}"), QStringLiteral("eth0:true"),
        QStringLiteral("\"\\tKey: NETWORK_INTER/{6b29fc40-ca47}\" \"\\tValue: eth0:true\""));
    row("domain", QStringLiteral("CONTROL/API_DOMAIN"), QStringLiteral("corvane.test"),
        QStringLiteral("\"\\tKey: API_DOMAIN\" \"\\tValue: corvane.test\""));
    row("outside any group", QStringLiteral("ROOTKEY"), QStringLiteral("root value"), QString(),
        QStringLiteral("ROOTKEY"));
}

void TestLogging::settingsDumpMasking()
{
    QFETCH(QString, key);
    QFETCH(QVariant, value);
    QFETCH(QString, line);
    QFETCH(QString, hidden);
    RegistryStore::open(ConstData::getAddressConf())->setValue(key, value);
    Logging::writeSettings();
    const QString all = lines().join(QLatin1Char('\n'));
    if (!line.isEmpty())
        QVERIFY2(all.contains(QStringLiteral("INF | LOGGING: ")) && all.contains(line), qPrintable(all));
    if (!hidden.isEmpty())
        QVERIFY2(!all.contains(hidden), qPrintable(all));
}

QTEST_GUILESS_MAIN(TestLogging)
#include "tst_logging.moc"
