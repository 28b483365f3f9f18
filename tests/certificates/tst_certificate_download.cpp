#include "certificates/Certificate.h"
#include "certificates/Downloader.h"
#include "settings/ConstData.h"
#include "tests/fakes/FakeCertificateStore.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

// Downloads and imports against a small local HTTP server (port 0): the
// redirect, error and refusal paths a real download meets.
namespace {

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class FileServer : public QObject
{
public:
    QHash<QByteArray, QByteArray> files;     // path -> body
    QHash<QByteArray, QByteArray> redirects; // path -> location
    QList<QByteArray> requested;
    QTcpServer server;

    FileServer()
    {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { serve(socket); });
            }
        });
        server.listen(QHostAddress::LocalHost, 0);
    }

    QString url(const QString& path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(server.serverPort()).arg(path);
    }

private:
    void serve(QTcpSocket* socket)
    {
        QByteArray& buffer = pending[socket];
        buffer += socket->readAll();
        if (!buffer.contains("\r\n\r\n"))
            return;
        const QByteArray path = buffer.split(' ').value(1);
        requested.append(path);
        QByteArray response;
        if (path == "/hang.crt")
            return; // never answers
        if (redirects.contains(path)) {
            response =
                "HTTP/1.1 302 Found\r\nLocation: " + redirects.value(path) + "\r\nContent-Length: 0\r\n";
        } else if (files.contains(path)) {
            const QByteArray body = files.value(path);
            response = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                       QByteArray::number(body.size()) + "\r\n\r\n" + body;
            socket->write(response);
            socket->disconnectFromHost();
            return;
        } else {
            response = "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nNot found";
            socket->write(response);
            socket->disconnectFromHost();
            return;
        }
        socket->write(response + "Connection: close\r\n\r\n");
        socket->disconnectFromHost();
    }
    QHash<QTcpSocket*, QByteArray> pending;
};

} // namespace

class TestCertificateDownload : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir certs;
    FileServer server;

    QString localFile(const QString& name) const
    {
        return ConstData::getDirForCrt() + QDir::separator() + name;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(certs.isValid());
        QProcess make;
        make.start(QStringLiteral("sh"), {QStringLiteral(CORVANE_TEST_CERT_SCRIPT), certs.path()});
        QVERIFY(make.waitForFinished(60000));
        QCOMPARE(make.exitCode(), 0);
        QVERIFY(server.server.isListening());
        server.files.insert("/files/root-a.crt", readFile(certs.filePath("root-a.crt")));
        server.files.insert("/files/root-b.crt", readFile(certs.filePath("root-b.crt")));
        server.files.insert("/files/page.crt", readFile(certs.filePath("page.html")));
        server.files.insert("/files/leaf.crt", readFile(certs.filePath("leaf.crt")));
        server.files.insert("/files/big.crt", QByteArray(Downloader::maxBytes + 4096, 'x'));
        server.redirects.insert("/moved/root-b.crt", server.url("/files/root-b.crt").toUtf8());
    }
    void cleanup()
    {
        for (const char* name :
             {"root-a.crt", "root-b.crt", "page.crt", "leaf.crt", "big.crt", "missing.crt"})
            QFile::remove(localFile(QLatin1String(name)));
    }

    void downloadAndImport()
    {
        FakeCertificateStore store;
        Certificate job(server.url("/files/root-a.crt"));
        QSignalSpy imported(&job, &Certificate::signalImported);
        job.download();
        QVERIFY(job.isRetrying());
        QCOMPARE(job.retryInterval(), 10000);
        QVERIFY(imported.wait(10000));
        QVERIFY(!job.isRetrying());
        QCOMPARE(store.commonNames(), QStringList{"Corvane Root CA 1"});
        QCOMPARE(store.importedPaths, QStringList{QDir::toNativeSeparators(localFile("root-a.crt"))});
        QCOMPARE(readFile(localFile("root-a.crt")), readFile(certs.filePath("root-a.crt")));
        QCOMPARE(Certificate::fileChecksum(localFile("root-a.crt")).toHex().size(), 32);
        QCOMPARE(job.getDownloader()->getState(), int(Downloader::finishedOk));
    }

    void redirectIsFollowed()
    {
        FakeCertificateStore store;
        Certificate job(server.url("/moved/root-b.crt"));
        QSignalSpy imported(&job, &Certificate::signalImported);
        job.download();
        QVERIFY(imported.wait(10000));
        QCOMPARE(store.commonNames(), QStringList{"Corvane Root CA 2"});
        QVERIFY(server.requested.contains("/files/root-b.crt"));
    }

    void refusedDownloads_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("reason");
        QTest::newRow("HTML page") << "/files/page.crt"
                                   << "not an X.509 certificate";
        QTest::newRow("server certificate") << "/files/leaf.crt"
                                            << "not a certificate authority";
    }
    void refusedDownloads()
    {
        QFETCH(QString, path);
        QFETCH(QString, reason);
        FakeCertificateStore store;
        Certificate job(server.url(path));
        QSignalSpy finished(job.getDownloader(), &Downloader::signalFinishedSuccess);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Refused .* : ") + reason));
        job.download();
        QVERIFY(finished.wait(10000));
        QVERIFY(store.importedPaths.isEmpty());
        QVERIFY(store.installed.isEmpty());
        QVERIFY(!QFile::exists(job.localPath()));
        // The retry runs again in 10 s.
        QVERIFY(job.isRetrying());
        QCOMPARE(job.retryInterval(), 10000);
    }

    void notFoundIsRetried()
    {
        FakeCertificateStore store;
        Certificate job(server.url("/files/missing.crt"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("/files/missing.crt : "));
        job.download();
        QTRY_COMPARE_WITH_TIMEOUT(job.getDownloader()->getState(), int(Downloader::idle), 10000);
        QVERIFY(!QFile::exists(job.localPath()));
        QVERIFY(job.isRetrying());
        QVERIFY(store.importedPaths.isEmpty());
    }

    void oversizedDownloadIsAbandoned()
    {
        FakeCertificateStore store;
        Certificate job(server.url("/files/big.crt"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^download larger than"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("/files/big.crt : "));
        job.download();
        QTRY_COMPARE_WITH_TIMEOUT(server.requested.count("/files/big.crt"), 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(job.getDownloader()->getState(), int(Downloader::idle), 10000);
        QVERIFY(!QFile::exists(job.localPath()));
        QVERIFY(store.importedPaths.isEmpty());
    }

    void emptyUrlIsRefusedAtEveryRetry()
    {
        Certificate job{QString()};
        QTest::ignoreMessage(QtWarningMsg, "URL IS EMPTY");
        job.download();
        QVERIFY(job.isRetrying());
        QTest::ignoreMessage(QtWarningMsg, "URL IS EMPTY");
        job.slotRetry();
        QVERIFY(job.isRetrying());
        QCOMPARE(job.retryInterval(), 10000);
    }

    void urlEndingInSlashCannotBeOpened()
    {
        Certificate job(server.url("/files/"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("file is not open!$"));
        job.download();
        QVERIFY(job.isRetrying());
        QCOMPARE(job.getDownloader()->getState(), int(Downloader::idle));
    }

    void unsafeFileNameIsNotFetched()
    {
        Certificate job(server.url("/files/%24(calc).crt"));
        const int before = server.requested.size();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^file name not usable"));
        job.download();
        QVERIFY(job.isRetrying());
        QCOMPARE(job.getDownloader()->getState(), int(Downloader::idle));
        QCOMPARE(server.requested.size(), before);
    }

    void hangingDownloadMeetsItsDeadline()
    {
        Downloader downloader;
        downloader.setTransferLimit(300);
        QVERIFY(downloader.get(QUrl(server.url("/hang.crt")), ConstData::getDirForCrt()));
        QCOMPARE(downloader.getState(), int(Downloader::inProgress));
        // A second start while one runs is refused.
        QVERIFY(!downloader.get(QUrl(server.url("/hang.crt")), ConstData::getDirForCrt()));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("no answer in time"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("/hang.crt : "));
        QTRY_COMPARE_WITH_TIMEOUT(downloader.getState(), int(Downloader::idle), 10000);
        QVERIFY(!QFile::exists(ConstData::getDirForCrt() + "/hang.crt"));
        QVERIFY(downloader.get(QUrl(server.url("/files/root-a.crt")), ConstData::getDirForCrt()));
        QTRY_COMPARE_WITH_TIMEOUT(downloader.getState(), int(Downloader::finishedOk), 10000);
    }

    void deletingAJobDuringDownload()
    {
        auto* job = new Certificate(server.url("/hang.crt"));
        job->download();
        QCOMPARE(job->getDownloader()->getState(), int(Downloader::inProgress));
        delete job;
        QFile::remove(localFile("hang.crt"));
    }

    void failedImportWaitsForTheRetry()
    {
        FakeCertificateStore store;
        store.failImport = true;
        Certificate job(server.url("/files/root-a.crt"));
        QSignalSpy finished(job.getDownloader(), &Downloader::signalFinishedSuccess);
        const int before = server.requested.count("/files/root-a.crt");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Failed to add .* certificate!$"));
        job.download();
        QVERIFY(finished.wait(10000));
        QCOMPARE(store.importedPaths.size(), 1);
        // No immediate new download: the next attempt is the retry.
        QCOMPARE(server.requested.count("/files/root-a.crt"), before + 1);
        QVERIFY(job.isRetrying());
        store.failImport = false;
        QSignalSpy imported(&job, &Certificate::signalImported);
        job.slotRetry();
        QVERIFY(imported.wait(10000));
        QCOMPARE(store.commonNames(), QStringList{"Corvane Root CA 1"});
    }

    void changedFileIsFetchedAgain()
    {
        FakeCertificateStore store;
        Certificate job(server.url("/files/root-b.crt"));
        QSignalSpy imported(&job, &Certificate::signalImported);
        job.download();
        QVERIFY(imported.wait(10000));
        job.slotChangedFile(job.localPath());
        QVERIFY(imported.wait(10000));
        QCOMPARE(store.importedPaths.size(), 2);
        job.slotChangedFile(QString()); // nothing happens
        QCOMPARE(store.importedPaths.size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestCertificateDownload)
#include "tst_certificate_download.moc"
