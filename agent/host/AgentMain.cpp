#include "host/AgentMain.h"

#include "common/RegistryStore.h"
#include "common/RunGuard.h"
#include "host/Core.h"
#include "host/DeploymentValues.h"
#include "host/HostLogging.h"
#include "host/Logging.h"
#include "host/MessageHandler.h"
#include "logging/LogFile.h"
#include "platform/AgentLifecycle.h"
#include "platform/DescriptorLimit.h"
#include "settings/ConstData.h"

#include <QCoreApplication>
#include <QTextCodec>

#include <memory>

int startAgent(int argc, char** argv)
{
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    RunGuard guard(ConstData::getKeyGuard());
    if (!guard.tryToRun())
        return 0;

    // Before any thread or socket exists; logged once the log is set up.
    const DescriptorLimit::Result descriptors = DescriptorLimit::raise();

    int exitCode = 0;
    {
        QCoreApplication application(argc, argv);
        application.setOrganizationName(ConstData::getOrgName());
        application.setApplicationName(ConstData::getAppName());
        application.setApplicationVersion(ConstData::getVersion());

        // An installer's deployment values leave the registry before the
        // settings dump below could write them to the log.
        const DeploymentValues::Values deployment = DeploymentValues::take();

        Logging::startHeaderLog();
        qInstallMessageHandler(messageHandler);
        qCInfo(main_) << "CREATE";
        if (descriptors.supported)
            qCInfo(main_).noquote() << descriptors.text();
        // The settings hold the sign-in data, the PIN digest and the token:
        // no other local account may read them or write an uninstall PIN.
        QString refused;
        if (!RegistryStore::restrictAccess(ConstData::getAddressConf(), &refused))
            qCWarning(main_).noquote() << "Cannot restrict access to the settings:" << refused;
        // Their sign-in runs as the command-line sign-in does; the secrets go
        // to it in memory, never onto a command line.
        const QStringList arguments = application.arguments() + DeploymentValues::apply(deployment);
        Logging::writeSettings();
        // The interfaces get their DNS values back on aboutToQuit, when the
        // event loop ends and before Core is destroyed.
        auto agentCore = std::make_unique<Core>(arguments);

        AgentLifecycle::applicationCreated(&application);
        exitCode = application.exec();
        AgentLifecycle::applicationDestroying();
        agentCore.reset();
    }
    // Every queued line is on disk before the service reports that it has
    // stopped: the service manager may end the process right after that.
    LogFile::instance().flush();
    return exitCode;
}
