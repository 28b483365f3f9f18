#include "common/RunGuard.h"
#include "gui/AgentGUI.h"
#include "gui/CheckUninst.h"
#include "gui/ConstData.h"
#include "gui/GuiLoggingCategories.h"
#include "gui/Logging.h"
#include "gui/MessageHandler.h"
#include "gui/UserData.h"

#include <QApplication>
#include <QTextCodec>

int main(int argc, char** argv)
{
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    // Scaled displays (125 %, 150 %, ...) get a window of the same physical
    // size as at 100 % instead of a tiny one; set before the application exists.
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
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
