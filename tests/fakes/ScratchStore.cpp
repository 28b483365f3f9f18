#include "tests/fakes/ScratchStore.h"

#include <QDir>
#include <QSettings>

ScratchStore::ScratchStore() : state(scratch.path())
{
    qputenv("CORVANE_STATE_DIR", QFile::encodeName(state));
    clearRegistry();
}

ScratchStore::~ScratchStore()
{
    clearRegistry();
}

void ScratchStore::clearRegistry()
{
#ifdef Q_OS_WIN
    // The keys the agent writes: its settings and the interfaces' DNS values.
    QSettings agent(QStringLiteral("\\HKEY_USERS\\.DEFAULT\\Software\\Corvane\\Corvane Agent"),
                    QSettings::NativeFormat);
    agent.clear();
    for (const char* stack : {"Tcpip", "Tcpip6"}) {
        QSettings interfaces(QStringLiteral("\\HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\%1"
                                            "\\Parameters\\Interfaces")
                                 .arg(QLatin1String(stack)),
                             QSettings::NativeFormat);
        const QStringList keys = interfaces.childGroups();
        for (const QString& key : keys)
            interfaces.remove(key);
    }
#endif
}
