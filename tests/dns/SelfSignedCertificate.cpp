#include "tests/dns/SelfSignedCertificate.h"

#include <QFile>
#include <QHostAddress>
#include <QProcess>

SelfSignedCertificate::SelfSignedCertificate(const QString& name)
{
    const bool isAddress = !QHostAddress(name).isNull();
    const QString alternativeName = QStringLiteral("subjectAltName=") +
                                    (isAddress ? QStringLiteral("IP:") : QStringLiteral("DNS:")) + name;
    if (!dir.isValid()) {
        error = QStringLiteral("no temporary folder");
        return;
    }
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                   QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                   QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                   QStringLiteral("/CN=") + name, QStringLiteral("-addext"), alternativeName,
                   QStringLiteral("-keyout"), keyPath(), QStringLiteral("-out"), certificatePath()});
    if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0) {
        error = QString::fromUtf8(openssl.readAllStandardError());
        return;
    }
    QFile certFile(certificatePath());
    QFile keyFile(keyPath());
    if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the generated files");
        return;
    }
    certificate = QSslCertificate(certFile.readAll(), QSsl::Pem);
    key = QSslKey(keyFile.readAll(), QSsl::Ec, QSsl::Pem);
}
