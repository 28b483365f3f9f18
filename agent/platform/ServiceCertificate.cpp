#include "platform/ServiceCertificate.h"

#include <QSslCertificateExtension>
#include <QVariantMap>

QList<QSslCertificate> ServiceCertificate::parse(const QByteArray& data)
{
    if (data.isEmpty())
        return {};
    QList<QSslCertificate> certificates = QSslCertificate::fromData(data, QSsl::Pem);
    if (certificates.isEmpty())
        certificates = QSslCertificate::fromData(data, QSsl::Der);
    QList<QSslCertificate> usable;
    for (const QSslCertificate& certificate : certificates) {
        if (!certificate.isNull())
            usable.append(certificate);
    }
    return usable;
}

bool ServiceCertificate::subjectMatches(const QSslCertificate& certificate, const QString& orgName)
{
    if (orgName.isEmpty())
        return false;
    const QStringList names = certificate.subjectInfo(QSslCertificate::CommonName);
    for (const QString& name : names) {
        if (name.startsWith(orgName, Qt::CaseInsensitive))
            return true;
    }
    return false;
}

bool ServiceCertificate::isCa(const QSslCertificate& certificate)
{
    const QList<QSslCertificateExtension> extensions = certificate.extensions();
    for (const QSslCertificateExtension& extension : extensions) {
        if (extension.name() != QLatin1String("basicConstraints"))
            continue;
        return extension.value().toMap().value(QStringLiteral("ca")).toBool();
    }
    return false;
}

bool ServiceCertificate::expiresWithin(const QSslCertificate& certificate, const QDateTime& now, int days)
{
    const QDateTime end = certificate.expiryDate();
    return end.isValid() && end > now && end <= now.addDays(days);
}

QStringList ServiceCertificate::rootNames(const QString& orgName)
{
    if (orgName.isEmpty())
        return {};
    return {orgName + QStringLiteral(" Root CA 1"), orgName + QStringLiteral(" Root CA 2")};
}

bool ServiceCertificate::isServiceRoot(const QByteArray& data, const QString& orgName, QString& reason)
{
    const QList<QSslCertificate> certificates = parse(data);
    if (certificates.isEmpty()) {
        reason = QStringLiteral("not an X.509 certificate");
        return false;
    }
    if (certificates.size() != 1) {
        reason = QStringLiteral("more than one certificate");
        return false;
    }
    const QSslCertificate& certificate = certificates.first();
    if (!isCa(certificate)) {
        reason = QStringLiteral("not a certificate authority");
        return false;
    }
    const QStringList names = certificate.subjectInfo(QSslCertificate::CommonName);
    const QStringList roots = rootNames(orgName);
    if (names.size() != 1 || !roots.contains(names.first())) {
        reason = QStringLiteral("subject is not one of the service's roots");
        return false;
    }
    return true;
}
