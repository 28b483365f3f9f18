#pragma once

#include "platform/CertificateStore.h"

#include <QString>

// The local machine's "Root" store through PowerShell, one child process per
// operation (30 s at most). The command lines are built here so that they can
// be checked anywhere; the store itself is the system's on Windows.
class PowerShellCertificateStore : public CertificateStore
{
public:
    static QString showCommand(const QString& orgName);
    static QString expiryCommand(const QString& orgName, int days);
    static QString deleteCommand(const QString& orgName);
    static QString importCommand(const QString& path);

    // The count command's answer: a decimal unsigned number, blanks and line
    // breaks around it allowed.
    static bool parseCount(const QString& output, int& result);
    // A path PowerShell takes literally inside double quotes (no quote,
    // backtick or "$", no line break).
    static bool isSafePath(const QString& path);

    bool count(const QString& orgName, int& result) override;
    Expiry expiring(const QString& orgName, int days) override;
    bool removeAll(const QString& orgName) override;
    bool import(const QString& path) override;
};
