#include "certificates/Certificate.h"
#include "certificates/CheckerCertificate.h"
#include "certificates/Downloader.h"
#include "platform/Platform.h"
#include "platform/ProgramRunner.h"
#include "platform/ServiceCertificate.h"
#include "platform/linux/FileCertificateStore.h"
#include "platform/windows/PowerShellCertificateStore.h"
#include "tests/fakes/FakeCertificateStore.h"
#include "tests/fakes/FakeProgramRunner.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

namespace {

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Answers each command line through a function; installs itself for its lifetime.
class ScriptedRunner : public ProgramRunner
{
public:
    using Script = std::function<ProgramResult(const QString&, const QStringList&)>;
    explicit ScriptedRunner(Script s) : script(std::move(s)) { Platform::setProgramRunner(this); }
    ~ScriptedRunner() override { Platform::setProgramRunner(nullptr); }
    ProgramResult run(const QString& program, const QStringList& arguments, int timeoutMs) override
    {
        commands.append(arguments.join(QLatin1Char(' ')));
        timeouts.append(timeoutMs);
        programs.append(program);
        return script(program, arguments);
    }
    Script script;
    QStringList commands;
    QStringList programs;
    QList<int> timeouts;
};

ProgramResult answer(const QByteArray& output, int exitCode = 0)
{
    return FakeProgramRunner::output(output, exitCode);
}

} // namespace

class TestCertificateLogic : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir made;
    QString certs;

    QString cert(const QString& name) const { return certs + QLatin1Char('/') + name; }

private slots:
    void initTestCase()
    {
#ifdef Q_OS_WIN
        // No shell and no openssl command here: the build host made the
        // certificates beside this program (a CTest fixture) just before.
        certs = QCoreApplication::applicationDirPath() + QStringLiteral("/test-certs");
#else
        QVERIFY(made.isValid());
        certs = made.path();
        QProcess make;
        make.start(QStringLiteral("sh"), {QStringLiteral(CORVANE_TEST_CERT_SCRIPT), certs});
        QVERIFY(make.waitForFinished(60000));
        QCOMPARE(make.exitCode(), 0);
#endif
        QVERIFY2(QFile::exists(cert("root-a.crt")), qPrintable(certs));
    }

    // ---- the import check ----

    void serviceRoot_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("reason");
        QTest::newRow("root PEM") << "root-a.crt" << true << "";
        QTest::newRow("root DER") << "root-a.der" << true << "";
        QTest::newRow("second root") << "root-b.crt" << true << "";
        const QString notRoot = QStringLiteral("subject is not one of the service's roots");
        QTest::newRow("lower-case name of the organisation") << "lower.crt" << false << notRoot;
        QTest::newRow("organisation's name, not a root's") << "expiring.crt" << false << notRoot;
        QTest::newRow("evil root named after the organisation") << "evil.crt" << false << notRoot;
        QTest::newRow("a root's name with more after it") << "suffixed.crt" << false << notRoot;
        QTest::newRow("server certificate") << "leaf.crt" << false << "not a certificate authority";
        QTest::newRow("someone else's root") << "other.crt" << false << notRoot;
        QTest::newRow("HTML page") << "page.html" << false << "not an X.509 certificate";
        QTest::newRow("two certificates in one file")
            << "two-roots.crt" << false << "more than one certificate";
        QTest::newRow("missing file") << "absent.crt" << false << "not an X.509 certificate";
    }
    void serviceRoot()
    {
        QFETCH(QString, file);
        QFETCH(QString, reason);
        QString why;
        QTEST(ServiceCertificate::isServiceRoot(readFile(cert(file)), QStringLiteral("Corvane"), why),
              "accepted");
        QCOMPARE(why, reason);
    }

    void brokenInput_data()
    {
        QTest::addColumn<QByteArray>("data");
        const QByteArray pem = readFile(cert("root-a.crt"));
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("cut in half") << pem.left(pem.size() / 2);
        QTest::newRow("body corrupted") << QByteArray(pem).replace(100, 40, QByteArray(40, 'A'));
        QTest::newRow("DER cut") << readFile(cert("root-a.der")).left(300);
        QTest::newRow("JSON error") << QByteArray("{\"detail\":\"Not found.\"}");
        QTest::newRow("binary noise") << QByteArray(2048, '\xff');
    }
    void brokenInput()
    {
        QFETCH(QByteArray, data);
        QString why;
        QVERIFY(!ServiceCertificate::isServiceRoot(data, QStringLiteral("Corvane"), why));
        QVERIFY(!why.isEmpty());
    }

    void expiryWindow_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("expiring");
        QTest::newRow("ten years") << "root-a.crt" << false;
        QTest::newRow("nine days") << "expiring.crt" << true;
        QTest::newRow("eleven days") << "eleven.crt" << false;
        QTest::newRow("ended yesterday") << "expired.crt" << false;
    }
    void expiryWindow()
    {
        QFETCH(QString, file);
        const QList<QSslCertificate> list = ServiceCertificate::parse(readFile(cert(file)));
        QCOMPARE(list.size(), 1);
        QTEST(ServiceCertificate::expiresWithin(list.first(), QDateTime::currentDateTimeUtc(), 10),
              "expiring");
    }

    // ---- PowerShell store ----

    void powerShellCommands()
    {
        QCOMPARE(
            PowerShellCertificateStore::showCommand("Corvane"),
            QStringLiteral("(Get-ChildItem Cert:\\LocalMachine\\Root -Recurse | Where-Object { $_.Subject "
                           "-match 'CN=Corvane' } | select thumbprint, subject).Count"));
        QCOMPARE(
            PowerShellCertificateStore::expiryCommand("Corvane", 10),
            QStringLiteral("Get-ChildItem Cert:\\LocalMachine\\Root -Recurse | where { $_.notafter -le "
                           "(get-date).AddDays(10) -AND $_.notafter -gt (get-date) -AND $_.Subject -match "
                           "'CN=Corvane' }  | select thumbprint, subject"));
        QCOMPARE(
            PowerShellCertificateStore::deleteCommand("Corvane"),
            QStringLiteral("Get-ChildItem Cert:\\LocalMachine\\Root -Recurse | Where-Object { $_.Subject "
                           "-match 'CN=Corvane' } | Remove-Item"));
        QCOMPARE(
            PowerShellCertificateStore::importCommand("C:\\Program Files\\Corvane\\corvane-root-1.crt"),
            QStringLiteral("Import-Certificate -FilePath \"C:\\Program Files\\Corvane\\corvane-root-1.crt\" "
                           "-CertStoreLocation Cert:\\LocalMachine\\Root"));
    }

    void countAnswer_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<bool>("readable");
        QTest::addColumn<int>("count");
        QTest::newRow("2") << "2" << true << 2;
        QTest::newRow("2 and line break") << "2\r\n" << true << 2;
        QTest::newRow("blanks") << "  3 \n" << true << 3;
        QTest::newRow("0") << "0\r\n" << true << 0;
        QTest::newRow("empty") << "" << false << -1;
        QTest::newRow("text") << "two" << false << -1;
        QTest::newRow("negative") << "-2" << false << -1;
        QTest::newRow("error text") << "Get-ChildItem : Access denied\r\n" << false << -1;
        QTest::newRow("two numbers") << "2\r\n2\r\n" << false << -1;
        QTest::newRow("huge") << "99999999999999999999" << false << -1;
    }
    void countAnswer()
    {
        QFETCH(QString, output);
        int count = -1;
        QTEST(PowerShellCertificateStore::parseCount(output, count), "readable");
        QTEST(count, "count");
    }

    void powerShellStore_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("countOk");
        QTest::addColumn<int>("expiry");
        QTest::addColumn<bool>("removed");
        QTest::newRow("2, clean") << QByteArray("2\r\n") << 0 << true
                                  << int(CertificateStore::Expiry::Expiring) << true;
        QTest::newRow("empty output")
            << QByteArray() << 0 << false << int(CertificateStore::Expiry::None) << true;
        QTest::newRow("failure") << QByteArray("2") << 1 << false << int(CertificateStore::Expiry::Failed)
                                 << false;
    }
    void standardErrorKeptApart()
    {
#ifdef Q_OS_WIN
        QSKIP("uses sh in PowerShell's place");
#endif
        // A real program in PowerShell's place that prints a warning on
        // standard error beside its answer: the count and the expiry test read
        // standard output only, so the roots are not removed and re-imported.
        ProcessProgramRunner real;
        ScriptedRunner runner([&real](const QString&, const QStringList& arguments) {
            const QString warn = QStringLiteral("echo 'WARNING: profile not loaded' >&2");
            const bool count = arguments.value(0).endsWith(QLatin1String(".Count"));
            return real.run(QStringLiteral("sh"), {QStringLiteral("-c"), count ? "echo 2; " + warn : warn},
                            10000);
        });
        PowerShellCertificateStore store;
        const QRegularExpression logged(QStringLiteral("^sh standard error: WARNING: profile not loaded$"));
        QTest::ignoreMessage(QtWarningMsg, logged);
        int count = -1;
        QVERIFY(store.count("Corvane", count));
        QCOMPARE(count, 2);
        QTest::ignoreMessage(QtWarningMsg, logged);
        QCOMPARE(int(store.expiring("Corvane", 10)), int(CertificateStore::Expiry::None));
    }

    void powerShellStore()
    {
        QFETCH(QByteArray, output);
        QFETCH(int, exitCode);
        ScriptedRunner runner([&](const QString&, const QStringList&) { return answer(output, exitCode); });
        PowerShellCertificateStore store;
        int count = -1;
        QTEST(store.count("Corvane", count), "countOk");
        QTEST(int(store.expiring("Corvane", 10)), "expiry");
        QTEST(store.removeAll("Corvane"), "removed");
        QCOMPARE(runner.programs, (QStringList{"powershell", "powershell", "powershell"}));
        QCOMPARE(runner.commands.at(0), PowerShellCertificateStore::showCommand("Corvane"));
        QCOMPARE(runner.commands.at(1), PowerShellCertificateStore::expiryCommand("Corvane", 10));
        QCOMPARE(runner.commands.at(2), PowerShellCertificateStore::deleteCommand("Corvane"));
        QCOMPARE(runner.timeouts, (QList<int>{30000, 30000, 30000}));
    }

    void powerShellMissing()
    {
        ScriptedRunner runner([](const QString&, const QStringList&) { return ProgramResult(); });
        PowerShellCertificateStore store;
        int count = -1;
        QVERIFY(!store.count("Corvane", count));
        QCOMPARE(store.expiring("Corvane", 10), CertificateStore::Expiry::Failed);
        QVERIFY(!store.removeAll("Corvane"));
        QVERIFY(!store.import("C:\\a.crt"));
    }

    void powerShellImportPaths_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("run");
        QTest::newRow("plain") << "C:\\Program Files\\Corvane\\corvane-root-1.crt" << true;
        QTest::newRow("double quote") << "C:\\x\" ; Remove-Item C:\\ ; \".crt" << false;
        QTest::newRow("subexpression") << "C:\\$(calc).crt" << false;
        QTest::newRow("backtick") << "C:\\a`b.crt" << false;
        QTest::newRow("line break") << "C:\\a\nb.crt" << false;
        QTest::newRow("empty") << "" << false;
    }
    void powerShellImportPaths()
    {
        QFETCH(QString, path);
        QFETCH(bool, run);
        ScriptedRunner runner([](const QString&, const QStringList&) { return answer("", 0); });
        PowerShellCertificateStore store;
        if (!run)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^refusing to hand this path"));
        QCOMPARE(store.import(path), run);
        QCOMPARE(runner.commands.size(), run ? 1 : 0);
        if (run)
            QCOMPARE(runner.commands.first(), PowerShellCertificateStore::importCommand(path));
    }

    // ---- trust-store folder ----

    void folderStore()
    {
        QTemporaryDir caDir;
        qputenv("CORVANE_CA_DIR", caDir.path().toUtf8());
        qputenv("CORVANE_CA_UPDATE", "update-fake --fresh");
        FakeProgramRunner runner;
        runner.setResult("update-fake", FakeProgramRunner::output("", 0));
        FileCertificateStore store;

        int count = -1;
        QVERIFY(store.count("Corvane", count));
        QCOMPARE(count, 0);
        QVERIFY(store.removeAll("Corvane")); // nothing to remove: no update run
        QCOMPARE(runner.calls().size(), 0);

        QVERIFY(store.import(cert("root-a.der"))); // DER arrives, PEM is stored
        QVERIFY(store.import(cert("root-b.crt")));
        QVERIFY(store.import(cert("root-b.crt"))); // the same content is one file
        QCOMPARE(runner.calls().size(), 3);
        QCOMPARE(runner.calls().first().program, QStringLiteral("update-fake"));
        QCOMPARE(runner.calls().first().arguments, QStringList{"--fresh"});
        QCOMPARE(runner.calls().first().timeoutMs, FileCertificateStore::updateTimeoutMs);
        const QStringList files = QDir(caDir.path()).entryList({"*.crt"}, QDir::Files);
        QCOMPARE(files.size(), 2);
        for (const QString& name : files) {
            QVERIFY(name.startsWith("corvane-"));
            QVERIFY(readFile(caDir.filePath(name)).startsWith("-----BEGIN CERTIFICATE-----"));
        }
        // Somebody else's certificate in the folder is neither counted nor removed.
        QVERIFY(QFile::copy(cert("other.crt"), caDir.filePath("other.crt")));
        QVERIFY(store.count("Corvane", count));
        QCOMPARE(count, 2);
        QCOMPARE(store.expiring("Corvane", 10), CertificateStore::Expiry::None);

        QVERIFY(QFile::copy(cert("expiring.crt"), caDir.filePath("sub-expiring.crt")));
        QCOMPARE(store.expiring("Corvane", 10), CertificateStore::Expiry::Expiring);
        QVERIFY(QFile::remove(caDir.filePath("sub-expiring.crt")));
        QVERIFY(QFile::copy(cert("expired.crt"), caDir.filePath("expired.crt")));
        QCOMPARE(store.expiring("Corvane", 10), CertificateStore::Expiry::None);
        QVERIFY(store.count("Corvane", count));
        QCOMPARE(count, 3); // the expired one is caught by the count

        QVERIFY(store.removeAll("Corvane"));
        QCOMPARE(QDir(caDir.path()).entryList({"*.crt"}, QDir::Files), QStringList{"other.crt"});
        QCOMPARE(runner.calls().size(), 4);

        runner.setResult("update-fake", FakeProgramRunner::output("failed", 1));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^trust store update failed"));
        QVERIFY(!store.import(cert("root-a.crt")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^not a certificate"));
        QVERIFY(!store.import(cert("page.html")));
        qunsetenv("CORVANE_CA_DIR");
        qunsetenv("CORVANE_CA_UPDATE");
    }

    void folderStoreDefaults()
    {
        qunsetenv("CORVANE_CA_DIR");
        qunsetenv("CORVANE_CA_UPDATE");
        QCOMPARE(FileCertificateStore::folder(), QStringLiteral("/usr/local/share/ca-certificates"));
        QCOMPARE(FileCertificateStore::updateCommand(), QStringList{"update-ca-certificates"});
#ifndef Q_OS_WIN // Windows' C runtime removes a variable set to empty
        qputenv("CORVANE_CA_UPDATE", "");
        QVERIFY(FileCertificateStore::updateCommand().isEmpty());
        qunsetenv("CORVANE_CA_UPDATE");
#endif
    }

    // ---- the checker's store operations ----

    void checks_data()
    {
        QTest::addColumn<QStringList>("installed");
        QTest::addColumn<bool>("show");
        QTest::addColumn<bool>("check");
        QTest::newRow("two good") << QStringList{"root-a.crt", "root-b.crt"} << true << true;
        QTest::newRow("one") << QStringList{"root-a.crt"} << false << false;
        QTest::newRow("three") << QStringList{"root-a.crt", "root-b.crt", "root-c.crt"} << false << false;
        QTest::newRow("none") << QStringList{} << false << false;
        QTest::newRow("one expiring in 9 days") << QStringList{"root-a.crt", "expiring.crt"} << true << false;
        QTest::newRow("one ended yesterday, count right")
            << QStringList{"root-a.crt", "expired.crt"} << true << true;
        QTest::newRow("ended yesterday as a third")
            << QStringList{"root-a.crt", "root-b.crt", "expired.crt"} << false << false;
        QTest::newRow("others do not count") << QStringList{"root-a.crt", "other.crt"} << false << false;
    }
    void checks()
    {
        QFETCH(QStringList, installed);
        QFETCH(bool, show);
        FakeCertificateStore store;
        for (const QString& name : installed)
            store.install(cert(name));
        if (!show) {
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Failed to show certificates!"));
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Failed to show certificates!"));
        }
        QCOMPARE(CheckerCertificate::showCertificates(), show);
        QTEST(CheckerCertificate::checkCertificates(), "check");
        // The expiry test only runs once the count is right.
        QCOMPARE(store.expiryCalls, show ? 1 : 0);
    }

    void storeFailures()
    {
        FakeCertificateStore store;
        store.install(cert("root-a.crt"));
        store.install(cert("root-b.crt"));
        store.failExpiry = true;
        QTest::ignoreMessage(QtWarningMsg, "Failed to check certificates!");
        QVERIFY(!CheckerCertificate::checkCertificates());
        store.failCount = true;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Failed to show certificates!"));
        QVERIFY(!CheckerCertificate::showCertificates());
        store.failRemove = true;
        QTest::ignoreMessage(QtWarningMsg, "Failed to delete certificates!");
        QVERIFY(!CheckerCertificate::deleteCertificates());
        store.failRemove = false;
        QVERIFY(CheckerCertificate::deleteCertificates());
        QVERIFY(store.installed.isEmpty());
    }

    void redirectTargets_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("location");
        QTest::addColumn<QString>("target");
        QTest::newRow("relative") << "https://a.test/x/r.crt" << 302 << QByteArray("/y/r.crt")
                                  << "https://a.test/y/r.crt";
        QTest::newRow("absolute") << "https://a.test/r.crt" << 301 << QByteArray("https://b.test/r.crt")
                                  << "https://b.test/r.crt";
        QTest::newRow("http to https")
            << "http://a.test/r.crt" << 307 << QByteArray("https://a.test/r.crt") << "https://a.test/r.crt";
        QTest::newRow("https to http refused")
            << "https://a.test/r.crt" << 302 << QByteArray("http://a.test/r.crt") << "";
        QTest::newRow("other scheme refused")
            << "https://a.test/r.crt" << 302 << QByteArray("file:///etc/passwd") << "";
        QTest::newRow("no location") << "https://a.test/r.crt" << 302 << QByteArray() << "";
        QTest::newRow("not a redirect status") << "https://a.test/r.crt" << 304 << QByteArray("/x") << "";
        QTest::newRow("success is no redirect") << "https://a.test/r.crt" << 200 << QByteArray("/x") << "";
    }
    void redirectTargets()
    {
        QFETCH(QString, from);
        QFETCH(int, status);
        QFETCH(QByteArray, location);
        QTEST(Downloader::redirectTarget(QUrl(from), status, location).toString(), "target");
    }

    void certificateUrls_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("usable");
        QTest::newRow("https") << "https://www.corvane.test/certs/corvane-root-1.crt" << true;
        QTest::newRow("plain http") << "http://www.corvane.test/certs/corvane-root-1.crt" << false;
        QTest::newRow("ftp") << "ftp://www.corvane.test/r.crt" << false;
        QTest::newRow("file") << "file:///etc/ssl/r.crt" << false;
        QTest::newRow("no host") << "https:///r.crt" << false;
        QTest::newRow("user info") << "https://u:p@www.corvane.test/r.crt" << false;
        QTest::newRow("empty") << "" << false;
    }
    void certificateUrls()
    {
        QFETCH(QString, url);
        QTEST(Certificate::isUsableUrl(QUrl(url, QUrl::StrictMode)), "usable");
    }

    void fileNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("safe");
        QTest::newRow("plain") << "corvane-root-1.crt" << true;
        QTest::newRow("underscore") << "root_2.CRT" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("dot dot") << ".." << false;
        QTest::newRow("hidden") << ".crt" << false;
        QTest::newRow("quote") << "a\".crt" << false;
        QTest::newRow("dollar") << "$(calc).crt" << false;
        QTest::newRow("blank") << "a b.crt" << false;
        QTest::newRow("backslash") << "a\\b.crt" << false;
        QTest::newRow("non-ASCII") << QString::fromUtf8("kö.crt") << false;
    }
    void fileNames()
    {
        QFETCH(QString, name);
        QTEST(Certificate::isSafeFileName(name), "safe");
    }
};

QTEST_GUILESS_MAIN(TestCertificateLogic)
#include "tst_certificate_logic.moc"
