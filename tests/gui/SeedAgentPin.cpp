// Prepares the agent's settings for the uninstall check in end-to-end tests:
// stores sign-in data protected by a PIN, as a finished sign-in would.
// Usage: corvane-gui-seed-pin <login> <password> <pin> (uses $CORVANE_STATE_DIR).
#include "settings/UserData.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    const QStringList args = application.arguments();
    if (args.size() != 4) {
        QTextStream(stderr) << "usage: corvane-gui-seed-pin <login> <password> <pin>\n";
        return 2;
    }
    UserData::setLogin(args.at(1));
    UserData::setPassword(args.at(2));
    if (!UserData::setPin(args.at(3)) || !UserData::checkPin(args.at(3)))
        return 1;
    return 0;
}
