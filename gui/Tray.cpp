#include "gui/Tray.h"

#include "gui/ConstData.h"
#include "gui/GuiLoggingCategories.h"

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QWidget>

QString Tray::minimizedMessage()
{
    return QStringLiteral(
        "The application is minimized to tray. To maximize the application window, click the "
        "application icon in the tray");
}

Tray::Tray(QWidget* mainWindow)
    : QSystemTrayIcon(mainWindow), window(mainWindow), toolTipText(ConstData::getAppName()),
      menu(std::make_unique<QMenu>()), action(menu->addAction(QStringLiteral("Maximize window")))
{
    setIcon(QIcon(QStringLiteral(":tray/icon.png")));
    action->setObjectName(QStringLiteral("toggleWindow"));
    setToolTip(toolTipText);
    // The menu has no parent widget (the tray icon is no widget); it is
    // owned here and goes with the icon.
    setContextMenu(menu.get());
    connect(action, &QAction::triggered, this, &Tray::slotCloseParent);
    connect(this, &Tray::signalCloseParent, this, &Tray::slotCloseParent);
    connect(this, &QSystemTrayIcon::activated, this, &Tray::slotIconActivated);
    qCDebug(GuiLog::tray) << "CREATE";
}

Tray::~Tray()
{
    setContextMenu(nullptr);
}

void Tray::setStatusText(const QString& text)
{
    setToolTip(text.isEmpty() ? toolTipText : toolTipText + QLatin1Char('\n') + text);
}

void Tray::slotIconActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason != QSystemTrayIcon::Trigger)
        return;
    slotCloseParent();
}

void Tray::slotCloseParent()
{
    if (window && window->isVisible()) {
        showMessage(ConstData::getAppName(), minimizedMessage(), QSystemTrayIcon::Information, 2000);
        action->setText(QStringLiteral("Maximize window"));
        window->hide();
        return;
    }
    action->setText(QStringLiteral("Minimize window"));
    emit signalShow();
}

void Tray::slotShow()
{
    if (isVisible())
        return;
    qCDebug(GuiLog::tray) << "SHOW";
    show();
}

void Tray::slotHide()
{
    if (!isVisible())
        return;
    qCDebug(GuiLog::tray) << "HIDE";
    hide();
}
