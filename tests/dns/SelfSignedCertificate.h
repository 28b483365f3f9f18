#pragma once

#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QTemporaryDir>

// A self-signed certificate and its key, made with the openssl program into
// a temporary folder for the life of the object. It is issued to `name`
// (common name and subject alternative name: an IP entry for an address, a
// DNS entry otherwise), the name a client checks it against. A client trusts
// it only once it is among its trust anchors.
class SelfSignedCertificate
{
public:
    explicit SelfSignedCertificate(const QString& name = QStringLiteral("doh.corvane.test"));
    bool isValid() const { return !certificate.isNull() && !key.isNull(); }
    QString certificatePath() const { return dir.filePath(QStringLiteral("cert.pem")); }
    QString keyPath() const { return dir.filePath(QStringLiteral("key.pem")); }

    QSslCertificate certificate;
    QSslKey key;
    QString error;

private:
    QTemporaryDir dir;
};
