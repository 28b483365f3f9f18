#pragma once

#include "platform/CertificateStore.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

// The system trust store of Debian-like systems: PEM files "*.crt" under the
// local CA folder (/usr/local/share/ca-certificates), made effective by
// update-ca-certificates. The service's certificates are recognised by their
// subject; the count and the expiry test are computed from the files.
//
// CORVANE_CA_DIR replaces the folder and CORVANE_CA_UPDATE the update command
// (split like a shell command line; empty: no update), read at each operation.
class FileCertificateStore : public CertificateStore
{
public:
    static constexpr int updateTimeoutMs = 120000;

    static QString folder();
    static QStringList updateCommand();
    // The file name an imported certificate gets: derived from its content,
    // so that nothing from the download reaches the trust store's paths.
    static QString fileNameFor(const QByteArray& pem);

    bool count(const QString& orgName, int& result) override;
    Expiry expiring(const QString& orgName, int days) override;
    bool removeAll(const QString& orgName) override;
    bool import(const QString& path) override;

    // The expiry test against a given moment (tests).
    Expiry expiringAt(const QString& orgName, int days, const QDateTime& now);

private:
    // The service's certificate files in the folder, with their certificates' end dates.
    QStringList serviceFiles(const QString& orgName, QList<QDateTime>* ends = nullptr);
    bool runUpdate();
};
