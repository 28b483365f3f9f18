#pragma once

#include <QSettings>
#include <QString>

#include <memory>

// The agent's persistent settings and the interface keys live in the Windows
// registry. On Windows a path such as "\HKEY_USERS\.DEFAULT\Software\Corvane\Corvane Agent"
// opens the registry key itself; elsewhere it maps onto an INI file below the
// state directory ("<state>/HKEY_USERS/.DEFAULT/Software/Corvane/Corvane Agent.ini"),
// created with mode 0600 because it holds sign-in data.
class RegistryStore
{
public:
    // Opens the settings at a registry path, with the UTF-8 INI codec set.
    static std::unique_ptr<QSettings> open(const QString& registryPath);
    // Keeps the settings at `registryPath` from other local accounts, called
    // once when the agent starts: on Windows the key (created if missing) and
    // its subkeys get full control for SYSTEM and Administrators only, not
    // inherited from the parent; elsewhere the INI file is mode 0600 and its
    // state folder 0700. False with a reason in `error` when that failed.
    static bool restrictAccess(const QString& registryPath, QString* error = nullptr);
    // The folder that holds the emulated registry: $CORVANE_STATE_DIR, else
    // /var/lib/corvane-agent. Unused on Windows.
    static QString stateDirectory();
    // The INI file a registry path maps to (pure: no file is touched).
    static QString filePathFor(const QString& stateDir, const QString& registryPath);
};
