#pragma once

#include <QJsonObject>
#include <QWidget>

class Authorization;
class QVBoxLayout;

// The PIN prompt the agent starts ("checkuninst") while it is being
// uninstalled: the PIN typed here is handed to the agent through its settings.
class CheckUninst : public QWidget
{
    Q_OBJECT
public:
    explicit CheckUninst(QWidget* parent = nullptr);

public slots:
    // Stores the PIN for the agent and ends the program with code 0.
    void slotCheckPin(QJsonObject data);

private:
    Authorization* authorization;
    QVBoxLayout* layout;
};
