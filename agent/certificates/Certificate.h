#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

class Downloader;
class QFileSystemWatcher;

// One root certificate the backend named by URL: downloaded into the agent's
// folder (retried every 10 s until it succeeds), checked, and imported into
// the machine's trusted root store. A refused or failed import starts over
// with the next retry.
class Certificate : public QObject
{
    Q_OBJECT

public:
    static constexpr int retryMs = 10000;

    Certificate(const QString& address, QObject* parent = nullptr);

    void download();
    bool existsCert() const;
    // The MD5 digest of the file; empty when it cannot be read.
    static QByteArray fileChecksum(const QString& path);
    // The local file of this certificate.
    QString localPath() const;
    // A URL file name that may become a local file name (and a PowerShell
    // argument): letters, digits, ".", "_" and "-", not starting with ".".
    static bool isSafeFileName(const QString& name);
    // An address the service's roots may come from: https with a host and no
    // user info. Over plain http anyone on the path could hand out a root.
    static bool isUsableUrl(const QUrl& url);

    void importCert();

    QUrl getUrl() const { return url; }
    Downloader* getDownloader() const { return downloader; }
    bool isRetrying() const { return timer.isActive(); }
    int retryInterval() const { return timer.interval(); }
    bool isImported() const { return imported; }

signals:
    // The certificate is in the store (tests and diagnostics).
    void signalImported();

public slots:
    void slotChangedFile(const QString& path);
    // The retry step: the same as download().
    void slotRetry();

private:
    void slotDownloaded();

    QUrl url;
    Downloader* downloader = nullptr;
    QFileSystemWatcher* watcher = nullptr;
    QTimer timer;
    bool imported = false;
};
