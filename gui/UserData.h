#pragma once

#include <QString>

// The tray program's few settings: the activation flag in its own INI file,
// and the uninstall PIN it hands to the agent through the agent's settings.
class UserData
{
public:
    // GUI/LAUNCH/STATUS in the INI file. Returns false when the write failed.
    static bool setStatusActivationGui(bool status);
    static bool getStatusActivationGui();
    // CONTROL/UNINSTALL/PIN in the agent's settings. Returns false when the
    // write failed (it is logged).
    static bool setCheckUninstPin(const QString& pin);
};
