#pragma once

#include <QPointer>
#include <QSystemTrayIcon>

#include <memory>

class QAction;
class QMenu;
class QWidget;

// The tray icon: hides the main window to the tray and brings it back.
class Tray : public QSystemTrayIcon
{
    Q_OBJECT
public:
    // The balloon shown when the window goes to the tray.
    static QString minimizedMessage();

    explicit Tray(QWidget* window);
    ~Tray() override;

    // A line under the application name in the tooltip (the resolver's
    // state); empty: the name alone.
    void setStatusText(const QString& text);

signals:
    void signalShow();
    void signalCloseParent();

public slots:
    void slotIconActivated(QSystemTrayIcon::ActivationReason reason);
    void slotCloseParent();
    void slotShow();
    void slotHide();

private:
    QPointer<QWidget> window;
    const QString toolTipText;
    std::unique_ptr<QMenu> menu;
    QAction* action;
};
