#pragma once

#include "settings/UserData.h"

#include <QString>
#include <QStringList>

// What an installer leaves for the agent's next start: a sign-in to run
// (access key, or login and password, with the PIN that protects it) and the
// upstream transport. The Windows Installer package writes them into the
// group DEPLOY of the agent's settings key, which only SYSTEM and
// Administrators may read; the agent takes them once, before anything is
// logged, and deletes them, so the secrets stay neither in the registry nor in
// the settings dump of the log.
class DeploymentValues
{
public:
    struct Values
    {
        QString accessKey;
        QString login;
        QString password;
        QString pin;
        QString protocol;
        QString failMode; // "open" or "closed"
        bool isEmpty() const;
    };

    // Reads the group DEPLOY and removes it in the same pass.
    static Values take();
    // The sign-in options in the form the command-line sign-in reads; empty
    // when no credentials were left.
    static QStringList signInArguments(const Values& values);
    // "dns", "dot" or "doh" (any letter case); false for anything else.
    static bool protocolFromText(const QString& text, UserData::ETypeOfDnsProtocol& protocol);
    // "open" or "closed" (any letter case); false for anything else.
    static bool failModeFromText(const QString& text, bool& closed);
    // Stores the transport, logs which values were taken (names only) and
    // returns the sign-in options to add to the agent's own arguments.
    static QStringList apply(const Values& values);
};
