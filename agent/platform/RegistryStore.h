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
    // The folder that holds the emulated registry: $CORVANE_STATE_DIR, else
    // /var/lib/corvane-agent. Unused on Windows.
    static QString stateDirectory();
    // The INI file a registry path maps to (pure: no file is touched).
    static QString filePathFor(const QString& stateDir, const QString& registryPath);
};
