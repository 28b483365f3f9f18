#include "AgentMain.h"

#include "AgentLifecycle.h"
#include "ConstData.h"
#include "Core.h"
#include "DescriptorLimit.h"
#include "LogFile.h"
#include "Logging.h"
#include "LoggingCategories.h"
#include "MessageHandler.h"
#include "RunGuard.h"

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

        Logging::startHeaderLog();
        qInstallMessageHandler(messageHandler);
        qCInfo(main_) << "CREATE";
        if (descriptors.supported)
            qCInfo(main_).noquote() << descriptors.text();
        Logging::writeSettings();
        // The interfaces get their DNS values back on aboutToQuit, when the
        // event loop ends and before Core is destroyed.
        auto agentCore = std::make_unique<Core>(application.arguments());

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
