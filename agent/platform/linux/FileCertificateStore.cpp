#include "platform/linux/FileCertificateStore.h"

#include "platform/Platform.h"
#include "platform/PlatformLogging.h"
#include "platform/ProgramRunner.h"
#include "platform/ServiceCertificate.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QSaveFile>

namespace {

// A trust-store file larger than this is not a certificate of ours.
constexpr qint64 maxFileBytes = 1024 * 1024;

QByteArray readSmallFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > maxFileBytes)
        return QByteArray();
    return file.read(maxFileBytes);
}

} // namespace

QString FileCertificateStore::folder()
{
    const QString dir = qEnvironmentVariable("CORVANE_CA_DIR");
    return dir.isEmpty() ? QStringLiteral("/usr/local/share/ca-certificates") : dir;
}

QStringList FileCertificateStore::updateCommand()
{
    if (!qEnvironmentVariableIsSet("CORVANE_CA_UPDATE"))
        return {QStringLiteral("update-ca-certificates")};
    return QProcess::splitCommand(qEnvironmentVariable("CORVANE_CA_UPDATE"));
}

QString FileCertificateStore::fileNameFor(const QByteArray& pem)
{
    const QByteArray digest = QCryptographicHash::hash(pem, QCryptographicHash::Sha256).toHex().left(16);
    return QStringLiteral("corvane-") + QString::fromLatin1(digest) + QStringLiteral(".crt");
}

QStringList FileCertificateStore::serviceFiles(const QString& orgName, QList<QDateTime>* ends)
{
    QStringList files;
    QDirIterator it(folder(), {QStringLiteral("*.crt")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QList<QSslCertificate> certificates = ServiceCertificate::parse(readSmallFile(path));
        bool ours = false;
        for (const QSslCertificate& certificate : certificates) {
            if (!ServiceCertificate::subjectMatches(certificate, orgName))
                continue;
            ours = true;
            if (ends != nullptr)
                ends->append(certificate.expiryDate());
        }
        if (ours)
            files.append(path);
    }
    return files;
}

bool FileCertificateStore::count(const QString& orgName, int& result)
{
    QList<QDateTime> ends;
    serviceFiles(orgName, &ends);
    result = ends.size();
    qCDebug(checker_certificate).noquote() << "service certificates in" << folder() << ":" << result;
    return true;
}

CertificateStore::Expiry FileCertificateStore::expiring(const QString& orgName, int days)
{
    return expiringAt(orgName, days, QDateTime::currentDateTimeUtc());
}

CertificateStore::Expiry FileCertificateStore::expiringAt(const QString& orgName, int days,
                                                          const QDateTime& now)
{
    QList<QDateTime> ends;
    serviceFiles(orgName, &ends);
    for (const QDateTime& end : ends) {
        if (end.isValid() && end > now && end <= now.addDays(days)) {
            qCDebug(checker_certificate).noquote()
                << "a service certificate ends on" << end.toString(Qt::ISODate);
            return Expiry::Expiring;
        }
    }
    return Expiry::None;
}

bool FileCertificateStore::removeAll(const QString& orgName)
{
    bool ok = true;
    const QStringList files = serviceFiles(orgName);
    for (const QString& path : files) {
        qCDebug(checker_certificate).noquote() << "remove" << path;
        if (!QFile::remove(path)) {
            qCWarning(checker_certificate).noquote() << "cannot remove" << path;
            ok = false;
        }
    }
    if (files.isEmpty())
        return ok;
    return runUpdate() && ok;
}

bool FileCertificateStore::import(const QString& path)
{
    const QList<QSslCertificate> certificates = ServiceCertificate::parse(readSmallFile(path));
    if (certificates.isEmpty()) {
        qCWarning(certificate).noquote() << "not a certificate:" << path;
        return false;
    }
    // The folder takes PEM only, whatever form the download had.
    QByteArray pem;
    for (const QSslCertificate& one : certificates)
        pem += one.toPem();

    const QString dir = folder();
    if (!QDir().mkpath(dir)) {
        qCWarning(certificate).noquote() << "cannot create" << dir;
        return false;
    }
    const QString target = dir + QLatin1Char('/') + fileNameFor(pem);
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly) || file.write(pem) != pem.size() || !file.commit()) {
        qCWarning(certificate).noquote() << "cannot write" << target;
        return false;
    }
    QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                                      QFileDevice::ReadOther);
    qCDebug(certificate).noquote() << "Command for add certificate:" << target << updateCommand().join(' ');
    return runUpdate();
}

bool FileCertificateStore::runUpdate()
{
    const QStringList command = updateCommand();
    if (command.isEmpty())
        return true;
    // Rebuilding the system bundle rehashes every certificate of the system;
    // on a busy machine that takes far longer than a PowerShell call, and a
    // run killed half-way leaves the bundle behind the folder.
    const ProgramResult result =
        Platform::programRunner().run(command.first(), command.mid(1), updateTimeoutMs);
    qCDebug(checker_certificate).noquote() << "Output:" << QString::fromUtf8(result.output);
    if (!result.started || !result.finished || result.exitCode != 0) {
        qCWarning(checker_certificate).noquote()
            << "trust store update failed:" << command.join(QLatin1Char(' ')) << result.exitCode;
        return false;
    }
    return true;
}
