// A stand-in agent for the tests that need a process of its own (a kill in the
// middle of protection, the exit on an unreadable adapter list): the interface
// manager over a fake adapter list, quitting when its standard input closes.
//
// Usage: netconfig_agent_stub run|unreadable [name|type|up|friendly]...
#include "netconfig/NetworkInterfaceManager.h"
#include "settings/ConstData.h"
#include "tests/fakes/FakeAdapterSource.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    application.setOrganizationName(ConstData::getOrgName());
    application.setApplicationName(ConstData::getAppName());
    const QStringList arguments = application.arguments();
    if (arguments.size() < 2)
        return 2;

    FakeAdapterSource adapters;
    QVector<AdapterInfo> list;
    for (int i = 2; i < arguments.size(); ++i) {
        const QStringList fields = arguments.at(i).split(QLatin1Char('|'));
        if (fields.size() != 4)
            return 2;
        list << FakeAdapterSource::adapter(fields.at(0), fields.at(3), fields.at(1).toUInt(),
                                           fields.at(2) == QLatin1String("1"));
    }
    adapters.setAdapters(list);
    adapters.setReadable(arguments.at(1) != QLatin1String("unreadable"));

    new NetworkInterfaceManager(ConstData::getAddrFileDns(), &application);
    std::printf("READY\n");
    std::fflush(stdout);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &application, [&input] {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
        }
    });
    return application.exec();
}
