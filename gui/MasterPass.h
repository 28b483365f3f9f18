#pragma once

#include "common/ControlStatus.h"

#include <QJsonObject>
#include <QWidget>

class ClickableLineEdit;
class PageHeader;
class QLabel;
class QMovie;
class QPushButton;
class UpdateCheck;
class WrappedLabel;
class QTimer;
class LockOutCountdown;

// The PIN form: sets a new PIN or asks for the stored one.
class MasterPass : public QWidget
{
    Q_OBJECT
public:
    // The "status" of "STATUSCHECKPIN".
    enum StatusCheckPin : int
    {
        WRONG_PIN = ControlStatus::checkPinWrong,
        SUCCESS = ControlStatus::checkPinOk,
        WRONG_LENGTH = ControlStatus::checkPinWrongLength,
        LAUNCH_LIMIT = ControlStatus::checkPinUidRefused,
        NETWORK_ERROR = ControlStatus::checkPinBackendDown
    };
    Q_ENUM(StatusCheckPin)

    MasterPass(QWidget* parent, const QString& appName);

    void showEnter();
    void showCreate();
    void wrongMP(int status);
    // The agent could not store the new PIN: the form becomes usable again.
    void createFailed(int status);
    void resetCount() { count = 0; }
    quint16 getCount() const { return count; }
    bool isLockedOut() const;

signals:
    void signalClose();
    void signalCreatePin(QJsonObject data);
    void signalCheckPin(QJsonObject data);
    void signalGetUpdate();
    void signalChangeStatusLog();
    void signalNewVersion(bool status);

public slots:
    void slotEnter_pressed();
    void slotCreate_pressed();
    void slotStatusLog(bool status);
    void slotStatusAd(bool status);
    void slotNewVersion(bool status);

private:
    // Resets the form for one mode and routes the button and Return key to `target`.
    void prepare(const QString& title, const QString& button, bool confirm, void (MasterPass::*target)());
    void setFieldsEnabled(bool enabled);
    void showLoading(bool shown);
    void startTimer();
    void timerTimeout();

    const quint8 minLength = 4;
    const quint8 maxLength = 20;
    PageHeader* pageHeader;
    QLabel* titleLabel;
    ClickableLineEdit* pin;
    ClickableLineEdit* confirm;
    QPushButton* button;
    WrappedLabel* statusLabel;
    QLabel* loading;
    QMovie* loaderMovie;
    QPushButton* updateButton;
    UpdateCheck* updateCheck;
    quint16 count = 0;
    QString savedButtonText;
    LockOutCountdown* lockOut = nullptr;
};
