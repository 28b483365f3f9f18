#include "ConstData.h"
#include "FakeMachineInfo.h"
#include "LogFile.h"
#include "Logging.h"
#include "LoggingCategories.h"
#include "MessageHandler.h"
#include "RegistryStore.h"
#include "TestStore.h"
#include "UserData.h"

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
    void settingsDumpMasking();

private:
    QStringList lines() const;
    std::unique_ptr<TestStore> dir;
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
    dir = std::make_unique<TestStore>();
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

void TestLogging::settingsDumpMasking()
{
    {
        auto store = RegistryStore::open(ConstData::getAddressConf());
        store->setValue(QStringLiteral("USER/PIN"), QStringLiteral("1234567890"));
        store->setValue(QStringLiteral("USER/AUTHDATA"), QStringLiteral("YWxpY2U6c2VjcmV0"));
        // Registry names ignore letter case, so "Pin" lives in another group
        // than "PIN" (it would replace it on Windows).
        store->setValue(QStringLiteral("CONTROL/Pin"), QStringLiteral("shown in full"));
        store->setValue(QStringLiteral("USER/UID"), QStringLiteral("uid-1"));
        store->setValue(QStringLiteral("CONTROL/UNINSTALL/PIN"), QStringLiteral("2580"));
        store->setValue(QStringLiteral("CONTROL/LOG_STATUS"), true);
        store->setValue(QStringLiteral("ROOTKEY"), QStringLiteral("outside any group"));
    }
    Logging::writeSettings();
    const QString all = lines().join(QLatin1Char('\n'));
    QVERIFY2(
        all.contains(QStringLiteral("INF | LOGGING: \"Group: USER\" \"\\tKey: PIN\" \"\\tValue: 12345...\"")),
        qPrintable(all));
    QVERIFY(all.contains(QStringLiteral("\"Group: USER\" \"\\tKey: AUTHDATA\" \"\\tValue: YWxpY...\"")));
    QVERIFY(all.contains(QStringLiteral("\"Group: CONTROL\" \"\\tKey: Pin\" \"\\tValue: shown in full\"")));
    QVERIFY(all.contains(QStringLiteral("\"Group: USER\" \"\\tKey: UID\" \"\\tValue: uid-1\"")));
    QVERIFY(all.contains(QStringLiteral("\"Group: CONTROL\" \"\\tKey: LOG_STATUS\" \"\\tValue: true\"")));
    // The uninstall PIN is a PIN as well: it never appears in full.
    QVERIFY(all.contains(QStringLiteral("\"\\tKey: UNINSTALL/PIN\" \"\\tValue: 2580...\"")));
    QVERIFY(!all.contains(QStringLiteral("1234567890")));
    QVERIFY(!all.contains(QStringLiteral("ROOTKEY")));
}

QTEST_GUILESS_MAIN(TestLogging)
#include "tst_logging.moc"
