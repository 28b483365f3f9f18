#include "host/AgentCommandLine.h"
#include "settings/ConstData.h"
#include "settings/UserData.h"
#include "tests/fakes/FakeCertificateStore.h"
#include "tests/fakes/FakeMachineInfo.h"
#include "tests/fakes/FakeProgramRunner.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// The agent's "uninstall" word takes the service's root certificates out of
// the machine's trust store, and only when uninstalling was allowed.
class TestUninstallCertificates : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir certs;
    QTemporaryDir dir;

private slots:
    void initTestCase()
    {
        QVERIFY(certs.isValid());
        QProcess make;
        make.start(QStringLiteral("sh"), {QStringLiteral(CORVANE_TEST_CERT_SCRIPT), certs.path()});
        QVERIFY(make.waitForFinished(60000));
        QCOMPARE(make.exitCode(), 0);
        qputenv("CORVANE_STATE_DIR", QFile::encodeName(dir.path() + QStringLiteral("/state")));
        qputenv("CORVANE_SYSTEMD_UNIT_DIR", QFile::encodeName(dir.path() + QStringLiteral("/units")));
    }
    void init() { UserData::resetMemoryState(); }

    void uninstallRemovesTheServiceCertificates()
    {
        FakeMachineInfo machine;
        FakeProgramRunner runner;
        FakeCertificateStore store;
        store.install(certs.filePath("root-a.crt"));
        store.install(certs.filePath("root-b.crt"));
        store.install(certs.filePath("other.crt"));
        UserData::setCheckUninstallStatus(true);
        QCOMPARE(AgentCommandLine::uninstall(), 0);
        QCOMPARE(store.removeCalls, 1);
        QCOMPARE(store.commonNames(), QStringList{"Other Root"});
        QVERIFY(!UserData::getCheckUninstallStatus());
    }

    void uninstallWithoutPermissionKeepsThem()
    {
        FakeMachineInfo machine;
        FakeProgramRunner runner;
        FakeCertificateStore store;
        store.install(certs.filePath("root-a.crt"));
        UserData::setCheckUninstallStatus(false);
        QCOMPARE(AgentCommandLine::uninstall(), 0);
        QCOMPARE(store.removeCalls, 0);
        QCOMPARE(store.commonNames(), QStringList{"Corvane Root CA 1"});
    }

    void failedRemovalDoesNotStopTheUninstall()
    {
        FakeMachineInfo machine;
        FakeProgramRunner runner;
        FakeCertificateStore store;
        store.failRemove = true;
        UserData::setCheckUninstallStatus(true);
        QTest::ignoreMessage(QtWarningMsg, "Failed to delete certificates!");
        QCOMPARE(AgentCommandLine::uninstall(), 0);
        QCOMPARE(store.removeCalls, 1);
    }
};

QTEST_GUILESS_MAIN(TestUninstallCertificates)
#include "tst_uninstall_certificates.moc"
