#include "gui/CheckUninst.h"

#include "common/PayloadKeys.h"
#include "gui/AgentGUI.h"
#include "gui/Authorization.h"
#include "gui/ConstData.h"
#include "gui/GuiLoggingCategories.h"
#include "gui/UserData.h"
#include "gui/WindowPlacement.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QScreen>
#include <QVBoxLayout>

CheckUninst::CheckUninst(QWidget* parent)
    : QWidget(parent), authorization(new Authorization(this, ConstData::getAppName())),
      layout(new QVBoxLayout(this))
{
    qCDebug(GuiLog::gui) << "CREATE CheckUninst";
    // Started on its own by the agent's uninstaller: without the main window
    // nothing else registers the fonts the forms are laid out for.
    AgentGUI::registerFonts();
    setWindowIcon(QIcon(QStringLiteral(":tray/icon.png")));
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setWindowTitle(ConstData::getAppName());
    setFixedSize(ConstData::getSizeWin());
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(WindowPlacement::centred(screen->availableGeometry(), size()));

    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(authorization);

    connect(authorization, &Authorization::signalCheckPin, this, &CheckUninst::slotCheckPin);
    // Closing the prompt leaves no PIN behind, which the agent takes as a
    // refusal; the program ends either way so the agent is not kept waiting.
    connect(authorization, &Authorization::signalClose, this, [] { QCoreApplication::exit(0); });

    authorization->slotStatusAd(false);
    show();
    activateWindow();
    authorization->slotShow(true);
}

void CheckUninst::slotCheckPin(QJsonObject data)
{
    const QString pin = data.value(PayloadKeys::PinCode).toString();
    if (!UserData::setCheckUninstPin(pin))
        qCCritical(GuiLog::gui) << "The uninstall PIN could not be handed to the agent";
    QCoreApplication::exit(0);
}
