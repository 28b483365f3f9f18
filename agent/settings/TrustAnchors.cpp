#include "settings/TrustAnchors.h"

#include "settings/SettingsLogging.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSslSocket>

#ifndef CORVANE_EXTRA_CA_FILE
#define CORVANE_EXTRA_CA_FILE ""
#endif

namespace {

// The system's roots and those of the build-time file, read once: reading the
// system store takes a while and it does not change under a running agent.
// The initialisation of a function's static is thread-safe.
const QList<QSslCertificate>& fixedCertificates()
{
    static const QList<QSslCertificate> certificates = [] {
        QList<QSslCertificate> all = QSslConfiguration::systemCaCertificates();
        const QString file = QStringLiteral(CORVANE_EXTRA_CA_FILE);
        if (!file.isEmpty()) {
            const QList<QSslCertificate> extra = QSslCertificate::fromPath(file, QSsl::Pem);
            if (extra.isEmpty())
                qCWarning(network).noquote() << "no CA certificate read from" << file;
            all += extra;
        }
        return all;
    }();
    return certificates;
}

QMutex extraMutex;
QList<QSslCertificate>& extraCertificates()
{
    static QList<QSslCertificate> certificates;
    return certificates;
}

} // namespace

QList<QSslCertificate> TrustAnchors::certificates()
{
    QList<QSslCertificate> anchors = fixedCertificates();
    QMutexLocker lock(&extraMutex);
    anchors += extraCertificates();
    return anchors;
}

void TrustAnchors::setExtraCertificates(const QList<QSslCertificate>& certificates)
{
    QMutexLocker lock(&extraMutex);
    extraCertificates() = certificates;
}

QSslConfiguration TrustAnchors::clientConfiguration()
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates(certificates());
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    return configuration;
}
