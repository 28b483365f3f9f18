#include "certificates/Certificate.h"

#include "certificates/Downloader.h"
#include "platform/CertificateStore.h"
#include "platform/PlatformLogging.h"
#include "platform/ServiceCertificate.h"
#include "settings/ConstData.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileSystemWatcher>

namespace {

constexpr qint64 maxCertificateBytes = 1024 * 1024;

} // namespace

Certificate::Certificate(const QString& address, QObject* parent)
    : QObject(parent), url(address), downloader(new Downloader(this)), watcher(new QFileSystemWatcher(this))
{
    timer.setInterval(retryMs);
    connect(watcher, &QFileSystemWatcher::fileChanged, this, &Certificate::slotChangedFile);
    connect(downloader, &Downloader::signalFinishedSuccess, this, &Certificate::slotDownloaded);
    connect(&timer, &QTimer::timeout, this, &Certificate::slotRetry);
    qCInfo(certificate).noquote() << "CREATE FOR" << address;
}

bool Certificate::isSafeFileName(const QString& name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')) || name.size() > 200)
        return false;
    for (const QChar c : name) {
        const bool plain = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                           (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
                           (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('.') ||
                           c == QLatin1Char('_') || c == QLatin1Char('-');
        if (!plain)
            return false;
    }
    return true;
}

bool Certificate::isUsableUrl(const QUrl& url)
{
    return url.isValid() && url.scheme() == QLatin1String("https") && !url.host().isEmpty() &&
           url.userInfo().isEmpty();
}

QString Certificate::localPath() const
{
    return ConstData::getDirForCrt() + QDir::separator() + url.fileName();
}

void Certificate::download()
{
    if (downloader == nullptr) {
        timer.stop();
        qCCritical(certificate) << "Object downloader is null";
        return;
    }
    timer.start();
    const QString name = url.fileName();
    // An empty name is the downloader's to refuse; anything else must be a
    // plain file name before it becomes a path.
    if (!name.isEmpty() && !isSafeFileName(name)) {
        qCWarning(certificate).noquote() << "file name not usable:" << name;
        return;
    }
    downloader->get(url, ConstData::getDirForCrt());
}

void Certificate::slotRetry()
{
    download();
}

void Certificate::slotDownloaded()
{
    timer.stop();
    importCert();
}

void Certificate::slotChangedFile(const QString& path)
{
    if (path.isEmpty())
        return;
    qCDebug(certificate).noquote() << "file changed:" << path;
    QFile::remove(path);
    watcher->removePath(path);
    imported = false;
    download();
}

bool Certificate::existsCert() const
{
    return QFile::exists(localPath());
}

QByteArray Certificate::fileChecksum(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!hash.addData(&file))
        return QByteArray();
    return hash.result();
}

void Certificate::importCert()
{
    const QString path = QDir::toNativeSeparators(localPath());
    qCDebug(certificate).noquote() << "Download finished" << path;

    // Only a certificate authority of the service may become a trust anchor:
    // an error page, a server certificate or someone else's root is refused.
    QByteArray content;
    {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly) && file.size() <= maxCertificateBytes)
            content = file.read(maxCertificateBytes);
    }
    QString reason;
    if (!ServiceCertificate::isServiceRoot(content, ConstData::getOrgName(), reason)) {
        qCWarning(certificate).noquote() << "Refused" << path << ":" << reason;
        QFile::remove(path);
        timer.start();
        return;
    }

    qCDebug(certificate).noquote() << "Hash sum md5: " + QString::fromLatin1(fileChecksum(path).toHex());
    if (CertificateStore::instance().import(path)) {
        qCWarning(certificate).noquote() << "The certificate" << path << "added successfully!";
        imported = true;
        watcher->addPath(path);
        emit signalImported();
        return;
    }
    qCWarning(certificate).noquote() << "Failed to add" << path << "certificate!";
    // Fetch it anew and try again, at the retry pace rather than at once:
    // a store that keeps refusing must not turn this into a busy loop.
    timer.start();
}
