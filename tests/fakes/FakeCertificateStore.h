#pragma once

#include "platform/CertificateStore.h"
#include "platform/ServiceCertificate.h"

#include <QDateTime>
#include <QFile>
#include <QList>
#include <QSslCertificate>
#include <QStringList>

// An in-memory trusted root store: holds certificates, answers the count and
// the expiry test from them, and records every operation. Installs itself
// for its lifetime.
class FakeCertificateStore : public CertificateStore
{
public:
    FakeCertificateStore() { CertificateStore::setInstance(this); }
    ~FakeCertificateStore() override { CertificateStore::setInstance(nullptr); }

    bool count(const QString& orgName, int& result) override
    {
        ++countCalls;
        if (failCount)
            return false;
        result = 0;
        for (const QSslCertificate& certificate : installed)
            result += ServiceCertificate::subjectMatches(certificate, orgName) ? 1 : 0;
        return true;
    }

    Expiry expiring(const QString& orgName, int days) override
    {
        ++expiryCalls;
        if (failExpiry)
            return Expiry::Failed;
        const QDateTime now = QDateTime::currentDateTimeUtc();
        for (const QSslCertificate& certificate : installed) {
            if (ServiceCertificate::subjectMatches(certificate, orgName) &&
                ServiceCertificate::expiresWithin(certificate, now, days))
                return Expiry::Expiring;
        }
        return Expiry::None;
    }

    bool removeAll(const QString& orgName) override
    {
        ++removeCalls;
        if (failRemove)
            return false;
        QList<QSslCertificate> kept;
        for (const QSslCertificate& certificate : installed) {
            if (!ServiceCertificate::subjectMatches(certificate, orgName))
                kept.append(certificate);
        }
        installed = kept;
        return true;
    }

    bool import(const QString& path) override
    {
        importedPaths.append(path);
        if (failImport)
            return false;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        installed += ServiceCertificate::parse(file.readAll());
        return true;
    }

    void install(const QString& path)
    {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            installed += ServiceCertificate::parse(file.readAll());
    }

    QStringList commonNames() const
    {
        QStringList names;
        for (const QSslCertificate& certificate : installed)
            names += certificate.subjectInfo(QSslCertificate::CommonName);
        names.sort();
        return names;
    }

    QList<QSslCertificate> installed;
    QStringList importedPaths;
    int countCalls = 0;
    int expiryCalls = 0;
    int removeCalls = 0;
    bool failCount = false;
    bool failExpiry = false;
    bool failRemove = false;
    bool failImport = false;
};
