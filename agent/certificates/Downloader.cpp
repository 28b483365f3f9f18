#include "certificates/Downloader.h"

#include "backend/Network.h"
#include "backend/NetworkAccessManager.h"
#include "certificates/CertificatesLogging.h"

#include <QDir>
#include <QFile>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <algorithm>
#include <iterator>

Downloader::Downloader(QObject* parent) : QObject(parent), network(new NetworkAccessManager(this))
{
    deadline.setSingleShot(true);
    deadline.setInterval(transferLimitMs);
    connect(&deadline, &QTimer::timeout, this, &Downloader::slotDeadline);
    qCInfo(downloader) << "CREATE";
}

Downloader::~Downloader()
{
    // The reply belongs to the access manager, which goes with this object;
    // nothing of it may call back into a half-destroyed downloader.
    if (reply != nullptr)
        reply->disconnect(this);
}

bool Downloader::get(const QUrl& url, const QString& dir)
{
    qCDebug(downloader).noquote() << url.fileName() + QStringLiteral(": get()");
    if (url.isEmpty()) {
        qCWarning(downloader) << "URL IS EMPTY";
        return false;
    }
    if (state == inProgress) {
        qCDebug(downloader) << "in progress...";
        return false;
    }
    slotCancelDownload();
    qCDebug(downloader).noquote() << "Get file" << url.toString();
    targetPath = dir;

    if (file != nullptr) {
        qCDebug(downloader).noquote() << "Remove file" << file->fileName();
        file->close();
        file->remove();
        delete file;
        file = nullptr;
    }
    file = new QFile(dir + QDir::separator() + url.fileName(), this);
    if (!file->open(QIODevice::WriteOnly)) {
        qCWarning(downloader).noquote() << url.toString() << "file is not open!";
        delete file;
        file = nullptr;
        return false;
    }

    state = inProgress;
    redirects = 0;
    deadline.start();
    startRequest(url);
    return true;
}

void Downloader::startRequest(const QUrl& url)
{
    QNetworkRequest request(url);
    // The backend layer hands every redirect back as an answer; the
    // downloader follows them itself (see followRedirect()).
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    received = 0;
    tooLarge = false;
    reply = network->get(request);
    connect(reply, &QNetworkReply::finished, this, &Downloader::slotFinished);
    connect(reply, &QNetworkReply::readyRead, this, &Downloader::slotReadyRead);
    connect(reply, &QNetworkReply::downloadProgress, this, &Downloader::signalUpdateDownloadProgress);
}

QUrl Downloader::redirectTarget(const QUrl& from, int httpStatus, const QByteArray& location)
{
    static const int followed[] = {301, 302, 303, 307, 308};
    if (std::find(std::begin(followed), std::end(followed), httpStatus) == std::end(followed) ||
        location.isEmpty())
        return QUrl();
    const QUrl target = from.resolved(QUrl::fromEncoded(location, QUrl::StrictMode));
    if (!target.isValid() ||
        (target.scheme() != QLatin1String("https") && target.scheme() != QLatin1String("http")))
        return QUrl();
    // Never from https down to plain http.
    if (from.scheme() == QLatin1String("https") && target.scheme() != QLatin1String("https"))
        return QUrl();
    return target;
}

bool Downloader::followRedirect()
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 300 || status > 399)
        return false;
    const QUrl target = redirectTarget(reply->url(), status, reply->rawHeader("Location"));
    if (!target.isValid() || redirects >= maxRedirects) {
        qCWarning(downloader).noquote() << reply->url().toString() << ": redirect not followed"
                                        << QString::fromLatin1(reply->rawHeader("Location"));
        return false;
    }
    ++redirects;
    qCDebug(downloader).noquote() << "redirected to" << target.toString();
    // The redirect's own body is not part of the file.
    file->resize(0);
    file->seek(0);
    dropReply();
    deadline.start();
    startRequest(target);
    return true;
}

void Downloader::slotReadyRead()
{
    qCDebug(downloader) << "slotReadyRead";
    if (file != nullptr && file->isOpen() && file->isWritable() && reply != nullptr) {
        const QByteArray chunk = reply->readAll();
        received += chunk.size();
        if (received > maxBytes) {
            // Far more than any certificate: someone else's answer.
            qCWarning(downloader) << "download larger than" << maxBytes << "bytes; abandoned";
            tooLarge = true;
            reply->abort();
            return;
        }
        file->write(chunk);
    }
    qCDebug(downloader) << "END slotReadyRead";
}

void Downloader::slotFinished()
{
    qCDebug(downloader) << "slotFinished()";
    deadline.stop();
    if (reply != nullptr && file != nullptr && file->isOpen() && file->isWritable()) {
        if (reply->error() != QNetworkReply::NoError || tooLarge) {
            qCWarning(downloader).noquote()
                << reply->url().toString(QUrl::RemoveUserInfo) << ":" << Network::errorText(reply);
            state = idle;
            file->close();
            file->remove();
        } else if (followRedirect()) {
            return;
        } else if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() >= 300) {
            // An unfollowed redirect or another non-success answer is no file.
            qCWarning(downloader).noquote()
                << reply->url().toString() << ":"
                << "HTTP" << reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            state = idle;
            file->close();
            file->remove();
        } else {
            // Whatever is still buffered belongs to the file too.
            slotReadyRead();
            if (tooLarge) {
                state = idle;
                file->close();
                file->remove();
            } else {
                file->close();
                state = finishedOk;
            }
        }
    } else {
        state = idle;
        qCWarning(downloader).noquote()
            << (reply != nullptr ? reply->request().url().toString() : QString()) << ":"
            << "file closed!";
    }
    dropReply();
    qCDebug(downloader) << "END slotFinished" << state;
    if (state == finishedOk)
        emit signalFinishedSuccess();
}

void Downloader::slotCancelDownload()
{
    qCDebug(downloader) << "slotCancelDownload";
    deadline.stop();
    if (reply == nullptr)
        return;
    reply->disconnect(this);
    reply->abort();
    dropReply();
    if (file != nullptr && file->isOpen()) {
        file->close();
        file->remove();
    }
    state = idle;
}

void Downloader::slotDeadline()
{
    if (reply == nullptr)
        return;
    qCWarning(downloader).noquote() << reply->request().url().toString() << ": no answer in time; abandoned";
    // abort() finishes the reply, which ends in slotFinished as a failed transfer.
    reply->abort();
}

void Downloader::dropReply()
{
    if (reply == nullptr)
        return;
    reply->disconnect(this);
    reply->deleteLater();
    reply = nullptr;
}
