#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

class NetworkAccessManager;
class QFile;
class QNetworkReply;

// Streams one URL into one file through the backend door's get(), following
// up to maxRedirects redirects (never from https to http), and reports success
// with signalFinishedSuccess(). A transfer that takes longer than
// transferLimitMs or grows beyond maxBytes is abandoned.
class Downloader : public QObject
{
    Q_OBJECT

public:
    enum State : int
    {
        idle = 0,
        inProgress = 1,
        finishedOk = 2
    };

    static constexpr qint64 maxBytes = 1024 * 1024;
    static constexpr int transferLimitMs = 60000;
    static constexpr int maxRedirects = 5;

    explicit Downloader(QObject* parent = nullptr);
    ~Downloader() override;

    // Starts downloading `url` into `dir` + separator + the URL's file name.
    // False when nothing was started: an empty URL, a download already
    // running, or a target that cannot be opened.
    bool get(const QUrl& url, const QString& dir);
    QString getTargetPath() const { return targetPath; }
    int getState() const { return state; }
    // Where a redirect answer leads; invalid when it is not followed (not a
    // redirect status, no or unusable location, https to http).
    static QUrl redirectTarget(const QUrl& from, int httpStatus, const QByteArray& location);
    // The deadline of the running transfer (tests shorten it).
    void setTransferLimit(int ms) { deadline.setInterval(ms); }

signals:
    void signalUpdateDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void signalFinishedSuccess();

public slots:
    void slotReadyRead();
    void slotFinished();
    void slotCancelDownload();

private:
    void slotDeadline();
    void dropReply();
    void startRequest(const QUrl& url);
    bool followRedirect();

    QNetworkReply* reply = nullptr;
    QFile* file = nullptr;
    NetworkAccessManager* network = nullptr;
    QString targetPath;
    int state = idle;
    qint64 received = 0;
    int redirects = 0;
    bool tooLarge = false;
    QTimer deadline;
};
