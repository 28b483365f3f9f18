#include "common/RegistryStore.h"
#include "gui/Authorization.h"
#include "gui/CheckUninst.h"
#include "gui/ConstData.h"
#include "gui/MasterPass.h"
#include "tests/fakes/ScratchStore.h"
#include "tests/gui/WidgetLookup.h"
#include "tests/testlib/LogCapture.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QtTest>

#include <memory>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

using namespace WidgetLookup;

// The uninstall PIN prompt writes what the user types into the agent's
// settings, where the agent reads them: its registry key on Windows, a file
// private to its owner elsewhere.
class TestGuiCheckUninst : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ScratchStore> state;

    QString storeFile() const
    {
        return RegistryStore::filePathFor(state->statePath(), ConstData::getAddressConfRegister());
    }

    // The store's file is private to its owner (on Windows the registry key
    // keeps its own access rights).
    void verifyStoreIsPrivate() const
    {
#ifndef Q_OS_WIN
        struct stat info
        {
        };
        QCOMPARE(::stat(QFile::encodeName(storeFile()).constData(), &info), 0);
        QCOMPARE(int(info.st_mode & 07777), 0600);
#endif
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
        systemFamily = QApplication::font().family();
    }

    void init()
    {
        state = std::make_unique<ScratchStore>();
        QVERIFY(state->isValid());
    }
    void cleanup()
    {
        state.reset();
    }

    void promptShowsThePinEntry()
    {
        CheckUninst prompt;
        QVERIFY(prompt.isVisible());
        // Started without the main window, it still lays out in the program's font.
        QVERIFY(QApplication::font().family() != systemFamily);
        QCOMPARE(prompt.size(), QSize(1145, 600));
        QVERIFY(prompt.windowFlags() & Qt::FramelessWindowHint);
        MasterPass* masterPass =
            child<MasterPass>(child<Authorization>(&prompt, "authorization"), "masterPass");
        QVERIFY(masterPass);
        QCOMPARE(formIndex(child<Authorization>(&prompt, "authorization")), 1);
        QCOMPARE(pinTitle(masterPass), QStringLiteral("PIN-code"));
        QVERIFY(!confirmShown(masterPass));
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
            verifyStoreIsPrivate();
        }
        CheckUninst prompt;
        auto* pin = prompt.findChild<QLineEdit*>(QStringLiteral("pin"));
        QVERIFY(pin);
        QTest::keyClicks(pin, QStringLiteral("2468ab"));
        QTest::keyClick(pin, Qt::Key_Return);
        QCOMPARE(storedPin(), QStringLiteral("2468ab"));
        verifyStoreIsPrivate();
#ifndef Q_OS_WIN
        QCOMPARE(QFileInfo(storeFile()).absoluteFilePath(),
                 QFileInfo(state->statePath() +
                           QStringLiteral("/HKEY_USERS/.DEFAULT/Software/Corvane/Corvane Agent.ini"))
                     .absoluteFilePath());
#endif
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
        QCOMPARE(statusText(child<MasterPass>(child<Authorization>(&prompt, "authorization"), "masterPass")),
                 QStringLiteral("Password must be between 4 and 20 characters"));
    }

    void unwritableStoreIsLogged()
    {
#ifdef Q_OS_WIN
        QSKIP("the store is the registry here, which a folder cannot block");
#endif
        // The settings file's place is taken by a folder: the write fails,
        // which is logged; the agent then finds no PIN and refuses.
        QVERIFY(QDir().mkpath(storeFile()));
        LogCapture log(LogCapture::Forward::Nothing);
        CheckUninst prompt;
        prompt.slotCheckPin({{QStringLiteral("pin_code"), QStringLiteral("1234")}});
        QVERIFY(log.countPrefix(QStringLiteral("GUI"), QStringLiteral("Cannot store the uninstall PIN")) ==
                1);
        QVERIFY(QDir(storeFile()).removeRecursively());
    }
};

QTEST_MAIN(TestGuiCheckUninst)
#include "tst_gui_checkuninst.moc"
