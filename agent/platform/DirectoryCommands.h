#pragma once

#include <QString>
#include <QStringList>

// The command lines that read a directory user's groups and make sure the
// directory tools are present, and how their output reads. On Windows these
// are PowerShell's directory cmdlets; elsewhere the groups come from the
// system's account database ("id", which on a machine joined through SSSD or
// winbind knows the domain users), and there are no tools to install.
struct DirectoryCommand
{
    QString program; // empty: this system offers no such command
    QStringList arguments;
    const char* codec = "UTF-8"; // a name ProgramRunner::decode knows
};

class DirectoryCommands
{
public:
    // True for a user name that can be pasted into the directory filter:
    // letters, digits and " ._-@" only (no quote, wildcard or PowerShell
    // metacharacter can reach the command line), 1 to 256 characters.
    static bool isSafeUserName(const QString& name);
    // True for a DNS domain name: letters, digits, "-" and ".", 1 to 255 characters.
    static bool isSafeDomainName(const QString& name);

    // The PowerShell command that lists the "MemberOf" values of `user` in `domain`.
    static QString windowsGroupQuery(const QString& user, const QString& domain);
    static QString windowsToolCheck();
    static QString windowsToolInstall();

    // The group query of the target system (names checked by the caller).
    static DirectoryCommand groupQuery(const QString& user, const QString& domain);
    // The tool check and installation of the target system; empty programs
    // where there is nothing to install.
    static DirectoryCommand toolCheck();
    static DirectoryCommand toolInstall();

    // Group names from the target's group query output.
    static QStringList parseGroups(const QString& output);

    // Group names from "MemberOf" output: one distinguished name per line
    // (CN=name,OU=...,DC=...), the name being the first relative name. Lines
    // that do not start with "CN=" (errors, blank lines) are skipped; "\,"
    // inside the name is an escaped comma; a name appears once.
    static QStringList parseMemberOf(const QString& output);
    // Group names from "id -Gn" output: blank-separated, "name@domain" read as name.
    static QStringList parseIdGroups(const QString& output);
};
