#include "AgentCommandLine.h"

#include "CheckerCertificate.h"
#include "Platform.h"
#include "ProgramRunner.h"
#include "UserData.h"

#include <QDir>
#include <QFileInfo>

int AgentCommandLine::run(int argc, char** argv, AgentEntry entry)
{
    const QString word = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (word == QLatin1String("install")) {
        ServiceHost::installService();
        UserData::setNoAdWork(argc > 2 && QString::fromLocal8Bit(argv[2]) == QLatin1String("noAd"));
        return ServiceHost::startService(entry, argc, argv, ServiceHost::StartReason::AfterInstall);
    }
    if (word == QLatin1String("checkuninst"))
        return checkUninstall(QString::fromLocal8Bit(argv[0]));
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
