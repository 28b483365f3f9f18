#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QSslCertificate>
#include <QString>
#include <QStringList>

// What makes a certificate one of the service's root certificates, shared by
// the trust-store operations and the import check: the subject has a common
// name that begins with the organisation name (the "CN=" + organisation test
// of the Windows store, case-insensitive like PowerShell's -match).
class ServiceCertificate
{
public:
    // Every certificate in `data`, PEM (one or more) or DER (one).
    static QList<QSslCertificate> parse(const QByteArray& data);
    static bool subjectMatches(const QSslCertificate& certificate, const QString& orgName);
    // True when the basic constraints say this is a certificate authority.
    static bool isCa(const QSslCertificate& certificate);
    // True when the end of validity lies after `now` and no later than `days` days after it.
    static bool expiresWithin(const QSslCertificate& certificate, const QDateTime& now, int days);

    // The common names of the service's roots: the organisation name followed
    // by " Root CA 1" and " Root CA 2".
    static QStringList rootNames(const QString& orgName);

    // Checks a downloaded file before it becomes a trust anchor: exactly one
    // X.509 certificate, a CA, whose common name is exactly one of the
    // service's roots (a prefix match would let "<org> Evil Root" in).
    // `reason` says why not.
    static bool isServiceRoot(const QByteArray& data, const QString& orgName, QString& reason);
};
