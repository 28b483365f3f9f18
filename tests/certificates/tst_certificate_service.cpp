#include "certificates/Certificate.h"
#include "certificates/CheckerCertificate.h"
#include "certificates/Downloader.h"
#include "settings/UserData.h"
#include "tests/fakes/DevServiceAdmin.h"
#include "tests/fakes/FakeCertificateStore.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

// Certificate batches against the development service (inside the harness
// namespace) with the machine's trust store faked: the service names its two
// roots "Corvane Root CA 1" and "Corvane Root CA 2".
class TestCertificateService : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir certs;
    const QStringList serviceRoots{"Corvane Root CA 1", "Corvane Root CA 2"};

    QString cert(const QString& name) const { return certs.filePath(name); }

    static bool allImported(const CheckerCertificate& checker)
    {
        const QList<Certificate*> batch = checker.getBatch();
        if (batch.isEmpty())
            return false;
        for (const Certificate* job : batch) {
            if (!job->isImported())
                return false;
        }
        return true;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(certs.isValid());
        QProcess make;
        make.start(QStringLiteral("sh"), {QStringLiteral(CORVANE_TEST_CERT_SCRIPT), certs.path()});
        QVERIFY(make.waitForFinished(60000));
        QCOMPARE(make.exitCode(), 0);
        UserData::resetMemoryState();
        UserData::setLogin(QStringLiteral("demo"));
        UserData::setPassword(QStringLiteral("demo-password"));
    }
    void init() { DevServiceAdmin::clearFaults(); }
    void cleanup() { DevServiceAdmin::clearFaults(); }

    void firstCheckComesAfterTenSeconds()
    {
        FakeCertificateStore store;
        CheckerCertificate checker;
        QVERIFY(checker.getTimer()->isActive());
        QCOMPARE(checker.getTimer()->interval(), 10000);
        QCOMPARE(store.countCalls, 0);
    }

    void threeInstalledAreReplacedByTheTwoCurrent()
    {
        FakeCertificateStore store;
        store.install(cert("root-a.crt"));
        store.install(cert("root-b.crt"));
        store.install(cert("root-c.crt"));
        store.install(cert("other.crt")); // not the service's: stays
        CheckerCertificate checker;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Failed to show certificates! 3"));
        checker.slotCheck();
        QCOMPARE(store.removeCalls, 1);
        QCOMPARE(checker.getBatch().size(), 2);
        QCOMPARE(checker.getTimer()->interval(), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(allImported(checker), 20000);
        QCOMPARE(store.commonNames(), (QStringList{"Corvane Root CA 1", "Corvane Root CA 2", "Other Root"}));
        QCOMPARE(store.importedPaths.size(), 2);

        // The next check passes and only keeps the pace.
        checker.slotCheck();
        QCOMPARE(store.removeCalls, 1);
        QCOMPARE(checker.getTimer()->interval(), 60000);
        QVERIFY(checker.getTimer()->isActive());
    }

    void oneMissingMeansAFullNewBatch()
    {
        FakeCertificateStore store;
        store.install(cert("root-a.crt"));
        CheckerCertificate checker;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Failed to show certificates! 1"));
        checker.slotCheck();
        QTRY_VERIFY_WITH_TIMEOUT(allImported(checker), 20000);
        QCOMPARE(store.commonNames(), serviceRoots);
    }

    void expiringInNineDaysStartsANewBatch()
    {
        FakeCertificateStore store;
        store.install(cert("root-a.crt"));
        store.install(cert("expiring.crt"));
        CheckerCertificate checker;
        QVERIFY(CheckerCertificate::showCertificates());
        checker.slotCheck();
        QCOMPARE(store.expiryCalls, 1);
        QCOMPARE(store.removeCalls, 1);
        QTRY_VERIFY_WITH_TIMEOUT(allImported(checker), 20000);
        QCOMPARE(store.commonNames(), serviceRoots);
    }

    void expiredYesterdayIsLeftToTheCount()
    {
        FakeCertificateStore store;
        store.install(cert("root-a.crt"));
        store.install(cert("expired.crt"));
        CheckerCertificate checker;
        checker.slotCheck();
        QCOMPARE(store.removeCalls, 0);
        QVERIFY(checker.getBatch().isEmpty());
        QCOMPARE(checker.getTimer()->interval(), 60000);
    }

    void nonCertificateDownloadIsRefused()
    {
        FakeCertificateStore store;
        // The first certificate download answers a page that is no certificate.
        DevServiceAdmin::addHttpFault(
            QJsonObject{{"path", "/certs/*"}, {"method", "GET"}, {"action", "garbage"}, {"count", 1}});
        CheckerCertificate checker;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Failed to show certificates! 0"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Refused .* : not an X.509 certificate"));
        checker.slotCheck();
        QTRY_VERIFY_WITH_TIMEOUT(store.installed.size() == 1, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(
            checker.getBatch().at(0)->getDownloader()->getState() != Downloader::inProgress &&
                checker.getBatch().at(1)->getDownloader()->getState() != Downloader::inProgress,
            20000);
        Certificate* refused = nullptr;
        for (Certificate* job : checker.getBatch()) {
            if (!job->isImported())
                refused = job;
        }
        QVERIFY(refused != nullptr);
        QVERIFY(refused->isRetrying());
        QCOMPARE(refused->retryInterval(), 10000);
        QCOMPARE(store.importedPaths.size(), 1);
        refused->slotRetry(); // what the retry timer does 10 s later
        QTRY_VERIFY_WITH_TIMEOUT(allImported(checker), 20000);
        QCOMPARE(store.commonNames(), serviceRoots);
    }

    void backendErrorLeavesTheStoreAlone()
    {
        FakeCertificateStore store;
        store.install(cert("root-a.crt"));
        DevServiceAdmin::addHttpFault(QJsonObject{{"path", "/agents/rest_api/v1/ssl_certificate/2/"},
                                                  {"method", "GET"},
                                                  {"action", "status"},
                                                  {"status", 500},
                                                  {"count", 3}});
        CheckerCertificate checker;
        QSignalSpy errors(&checker, &CheckerCertificate::signalError);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Failed to show certificates! 1"));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^REPLY ERROR getCrts"));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^ERROR getCertificates"));
        checker.slotCheck();
        QCOMPARE(errors.count(), 1);
        QVERIFY(!errors.at(0).at(0).toString().isEmpty());
        QCOMPARE(store.removeCalls, 0);
        QCOMPARE(store.commonNames(), QStringList{"Corvane Root CA 1"});
        QVERIFY(checker.getTimer()->isActive());
        QCOMPARE(checker.getTimer()->interval(), 10000);
    }

    void newBatchReplacesTheRunningOne()
    {
        FakeCertificateStore store;
        DevServiceAdmin::addHttpFault(
            QJsonObject{{"path", "/certs/*"}, {"method", "GET"}, {"action", "hang"}, {"count", 2}});
        CheckerCertificate checker;
        checker.getCrts();
        QCOMPARE(checker.getBatch().size(), 2);
        DevServiceAdmin::clearFaults();
        checker.getCrts(); // deletes the hanging jobs with their downloads
        QTRY_VERIFY_WITH_TIMEOUT(allImported(checker), 20000);
        QCOMPARE(store.commonNames(), serviceRoots);
    }
};

QTEST_GUILESS_MAIN(TestCertificateService)
#include "tst_certificate_service.moc"
