// A stand-in agent for looking at the tray program without the real agent:
// listens on the control port, answers the greeting with the start-up
// messages and the window's requests. Usage: corvane-gui-fake-agent [--pin]
// (--pin: report stored sign-in data, so the PIN entry is shown).
#include "gui/ConstData.h"
#include "tests/gui/FakeAgent.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    FakeAgent agent;
    agent.setSendStartupStatus(true);
    agent.setAuthDataStored(application.arguments().contains(QStringLiteral("--pin")));
    if (!agent.listen(ConstData::getPortTcpOfAgent())) {
        QTextStream(stderr) << "cannot listen on port " << ConstData::getPortTcpOfAgent() << "\n";
        return 1;
    }
    return application.exec();
}
