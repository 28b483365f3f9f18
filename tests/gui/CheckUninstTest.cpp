#include "CheckUninst.h"
#include "Authorization.h"
#include "ConstData.h"
#include "LogCapture.h"
#include "MasterPass.h"
#include "RegistryStore.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

// The uninstall PIN prompt writes what the user types into the agent's
// settings, in the file the agent reads, keeping it private to its owner.
class CheckUninstTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir state;

    QString storeFile() const
    {
        return RegistryStore::filePathFor(state.path(), ConstData::getAddressConfRegister());
    }

    static int mode(const QString& path)
    {
        struct stat info
        {
        };
        if (::stat(QFile::encodeName(path).constData(), &info) != 0)
            return -1;
        return int(info.st_mode & 07777);
    }

    static QString storedPin()
    {
        auto store = RegistryStore::open(ConstData::getAddressConfRegister());
        return store->value(QStringLiteral("CONTROL/UNINSTALL/PIN")).toString();
    }

    QString systemFamily;

private slots:
    void initTestCase()
    {
        QVERIFY(state.isValid());
        qputenv("CORVANE_STATE_DIR", state.path().toUtf8());
        systemFamily = QApplication::font().family();
    }

    void init() { QFile::remove(storeFile()); }

    void promptShowsThePinEntry()
    {
        CheckUninst prompt;
        QVERIFY(prompt.isVisible());
        // Started without the main window, it still lays out in the program's font.
        QVERIFY(QApplication::font().family() != systemFamily);
        QCOMPARE(prompt.size(), QSize(1145, 600));
        QVERIFY(prompt.windowFlags() & Qt::FramelessWindowHint);
        MasterPass* masterPass = prompt.getAuthorization()->getMasterPass();
        QVERIFY(masterPass);
        QCOMPARE(prompt.getAuthorization()->getCurrentIndex(), 1);
        QCOMPARE(masterPass->getTitle(), QStringLiteral("PIN-code"));
        QVERIFY(!masterPass->isConfirmShown());
    }

    void typedPinIsStoredForTheAgent_data()
    {
        QTest::addColumn<bool>("fileExists");
        QTest::newRow("new settings file") << false;
        QTest::newRow("existing settings file") << true;
    }

    void typedPinIsStoredForTheAgent()
    {
        QFETCH(bool, fileExists);
        if (fileExists) {
            auto store = RegistryStore::open(ConstData::getAddressConfRegister());
            store->setValue(QStringLiteral("USER/LOGIN"), QStringLiteral("user@corvane.test"));
            store->sync();
            QCOMPARE(mode(storeFile()), 0600);
        }
        CheckUninst prompt;
        auto* pin = prompt.findChild<QLineEdit*>(QStringLiteral("pin"));
        QVERIFY(pin);
        QTest::keyClicks(pin, QStringLiteral("2468ab"));
        QTest::keyClick(pin, Qt::Key_Return);
        QCOMPARE(storedPin(), QStringLiteral("2468ab"));
        QCOMPARE(mode(storeFile()), 0600);
        QCOMPARE(QFileInfo(storeFile()).absoluteFilePath(),
                 QFileInfo(state.path() +
                           QStringLiteral("/HKEY_USERS/.DEFAULT/Software/Corvane/Corvane Agent.ini"))
                     .absoluteFilePath());
        if (fileExists) {
            auto store = RegistryStore::open(ConstData::getAddressConfRegister());
            QCOMPARE(store->value(QStringLiteral("USER/LOGIN")).toString(),
                     QStringLiteral("user@corvane.test"));
        }
    }

    void pinOfWrongLengthIsNotStored_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::newRow("3 characters") << QStringLiteral("123");
        QTest::newRow("21 characters") << QStringLiteral("123456789012345678901");
        QTest::newRow("empty") << QString();
    }

    void pinOfWrongLengthIsNotStored()
    {
        QFETCH(QString, typed);
        CheckUninst prompt;
        auto* pin = prompt.findChild<QLineEdit*>(QStringLiteral("pin"));
        QTest::keyClicks(pin, typed);
        QTest::keyClick(pin, Qt::Key_Return);
        QVERIFY(storedPin().isEmpty());
        QCOMPARE(prompt.getAuthorization()->getMasterPass()->getStatusText(),
                 QStringLiteral("Password must be between 4 and 20 characters"));
    }

    void unwritableStoreIsLogged()
    {
        // The settings file's place is taken by a folder: the write fails,
        // which is logged; the agent then finds no PIN and refuses.
        QVERIFY(QDir().mkpath(storeFile()));
        LogCapture log;
        CheckUninst prompt;
        prompt.slotCheckPin({{QStringLiteral("pin_code"), QStringLiteral("1234")}});
        QVERIFY(log.countPrefix(QStringLiteral("GUI"), QStringLiteral("Cannot store the uninstall PIN")) ==
                1);
        QVERIFY(QDir(storeFile()).removeRecursively());
    }
};

QTEST_MAIN(CheckUninstTest)
#include "CheckUninstTest.moc"
