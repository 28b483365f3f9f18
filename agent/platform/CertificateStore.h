#pragma once

#include <QString>

// The machine's trusted root store, as far as the service's certificates go.
// The service's certificates are those whose subject matches "CN=" + the
// organisation name. The system implementation is the one of the target
// (PowerShell on Windows, the CA certificate folder elsewhere); tests install
// their own.
class CertificateStore
{
public:
    enum class Expiry
    {
        None,     // no certificate of the service ends within the period
        Expiring, // at least one does (and has not already ended)
        Failed    // the store could not be asked
    };

    virtual ~CertificateStore() = default;

    // How many of the service's certificates are installed; false when the
    // store could not be asked or its answer could not be read.
    virtual bool count(const QString& orgName, int& result) = 0;
    virtual Expiry expiring(const QString& orgName, int days) = 0;
    // Removes every certificate of the service; true on success.
    virtual bool removeAll(const QString& orgName) = 0;
    // Adds the certificate file at `path`; true on success.
    virtual bool import(const QString& path) = 0;

    // The installed store (the system's unless a test replaced it).
    static CertificateStore& instance();
    // Replace the store (the caller keeps ownership and keeps it alive while
    // installed); nullptr puts the system's back.
    static void setInstance(CertificateStore* store);
};
