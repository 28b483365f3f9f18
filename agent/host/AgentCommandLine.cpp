#include "host/AgentCommandLine.h"

#include "certificates/CheckerCertificate.h"
#include "platform/Platform.h"
#include "platform/ProgramRunner.h"
#include "settings/UserData.h"

#include <QDir>
#include <QFileInfo>

#include <cstdio>

int AgentCommandLine::run(int argc, char** argv, AgentEntry entry)
{
    const QString word = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (word == QLatin1String("install")) {
        ServiceHost::installService();
        UserData::setNoAdWork(argc > 2 && QString::fromLocal8Bit(argv[2]) == QLatin1String("noAd"));
        return ServiceHost::startService(entry, argc, argv, ServiceHost::StartReason::AfterInstall);
    }
    if (word == QLatin1String("checkuninst")) {
        if (argc > 2 && QString::fromLocal8Bit(argv[2]) == QLatin1String("nogui"))
            return checkUninstallWithoutGui();
        return checkUninstall(QString::fromLocal8Bit(argv[0]));
    }
    if (word == QLatin1String("deploy"))
        return deploy(argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString());
    if (word == QLatin1String("stop"))
        return ServiceHost::stopInstalledService(stopBoundMs) ? 0 : 1;
    if (word == QLatin1String("uninstall"))
        return uninstall();
    return ServiceHost::startService(entry, argc, argv);
}

QString AgentCommandLine::guiProgramPath(const QString& programArgument)
{
    const QString folder = QFileInfo(programArgument).absolutePath();
    const QString gui = ServiceHost::executableName(QStringLiteral("agentcorvanegui"));
    return QDir::toNativeSeparators(folder + QStringLiteral("/agentcorvanegui/") + gui);
}

int AgentCommandLine::checkUninstall(const QString& programArgument)
{
    if (UserData::getCheckUninstallStatus())
        return 0;
    // The tray program writes what the user typed into CONTROL/UNINSTALL/PIN;
    // a missing program still leaves whatever entry is stored to be tested.
    Platform::programRunner().run(guiProgramPath(programArgument), {QStringLiteral("checkuninst")},
                                  ProgramRunner::defaultTimeoutMs);
    const bool allowed = UserData::checkPin(UserData::getCheckUninstallPin());
    UserData::setCheckUninstallStatus(allowed);
    return allowed ? 0 : 1;
}

int AgentCommandLine::checkUninstallWithoutGui()
{
    if (UserData::getCheckUninstallStatus())
        return 0;
    // An installer without a desktop stored the PIN it was given where the
    // tray program stores what the user typed; the entry is read once.
    const QString entry = UserData::getCheckUninstallPin();
    bool allowed = false;
    if (!UserData::checkAuthData()) {
        // Nothing is signed in, so no PIN protects anything.
        std::printf("Uninstall allowed: no sign-in data stored\n");
        allowed = true;
    } else if (entry.isEmpty()) {
        std::printf("Uninstall refused: sign-in data is stored and no PIN was given\n");
    } else if (UserData::checkPin(entry)) {
        std::printf("Uninstall allowed: the PIN matches\n");
        allowed = true;
    } else {
        std::printf("Uninstall refused: the PIN does not match\n");
    }
    std::fflush(stdout);
    UserData::setCheckUninstallStatus(allowed);
    return allowed ? 0 : 1;
}

int AgentCommandLine::deploy(const QString& directoryMode)
{
    // Creates the service, or gives an existing one (registered by the
    // installer package) the restart-after-failure actions.
    ServiceHost::installService();
    if (directoryMode == QLatin1String("noAd"))
        UserData::setNoAdWork(true);
    else if (directoryMode == QLatin1String("ad"))
        UserData::setNoAdWork(false);
    // Unlike "install" this does not hand over to the service dispatcher: the
    // installer starts the service itself, and an upgrade keeps the switch.
    return 0;
}

int AgentCommandLine::uninstall()
{
    if (!UserData::getCheckUninstallStatus())
        return 0;
    UserData::setCheckUninstallStatus(false);
    ServiceHost::uninstallService();
    // No root certificate of the service may stay behind.
    CheckerCertificate::deleteCertificates();
    const QList<QStringList> commands = ServiceHost::addressRenewalCommands();
    for (const QStringList& command : commands) {
        if (!command.isEmpty())
            Platform::programRunner().run(command.first(), command.mid(1), ProgramRunner::defaultTimeoutMs);
    }
    return 0;
}
