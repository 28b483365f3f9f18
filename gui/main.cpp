#include "AgentGUI.h"
#include "CheckUninst.h"
#include "ConstData.h"
#include "GuiLoggingCategories.h"
#include "Logging.h"
#include "MessageHandler.h"
#include "RunGuard.h"
#include "UserData.h"

#include <QApplication>
#include <QTextCodec>

int main(int argc, char** argv)
{
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    QApplication application(argc, argv);
    const QString word = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();

    if (word == QLatin1String("activation")) {
        UserData::setStatusActivationGui(true);
    } else if (word == QLatin1String("checkuninst")) {
        qCDebug(GuiLog::gui) << "CREATE main";
        CheckUninst prompt;
        return application.exec();
    }

    RunGuard guard(ConstData::getKeyGuard());
    if (!guard.tryToRun())
        return 0;

    Logging::startHeaderLog();
    qInstallMessageHandler(messageHandler);
    // The program lives in the tray: hiding or closing its last window (the
    // main window, a balloon, a menu) must not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    AgentGUI window;
    return application.exec();
}
