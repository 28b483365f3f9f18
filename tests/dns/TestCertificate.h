#pragma once

#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QTemporaryDir>

// A self-signed certificate and its key, made with the openssl program into
// a temporary folder for the life of the object.
class TestCertificate
{
public:
    explicit TestCertificate(const QString& commonName = QStringLiteral("doh.corvane.test"));
    bool isValid() const { return !certificate.isNull() && !key.isNull(); }
    QString certificatePath() const { return dir.filePath(QStringLiteral("cert.pem")); }
    QString keyPath() const { return dir.filePath(QStringLiteral("key.pem")); }

    QSslCertificate certificate;
    QSslKey key;
    QString error;

private:
    QTemporaryDir dir;
};
