#pragma once

#include "common/ControlStatus.h"

#include <QJsonObject>
#include <QWidget>

class ClickableLineEdit;
class PageHeader;
class QLabel;
class QMovie;
class QPushButton;
class QTimer;
class UpdateCheck;
class WrappedLabel;
class LockOutCountdown;
class QVBoxLayout;

// Common base of the two sign-in forms (e-mail and password, access key).
class Authentication : public QWidget
{
    Q_OBJECT
public:
    // The "status" of "STATUSCHECKAUTH".
    enum StatusCheckAuth : int
    {
        WRONG_DATA = ControlStatus::checkAuthRefused,
        SUCCESS = ControlStatus::checkAuthOk,
        NETWORK_ERROR = ControlStatus::checkAuthTransportError
    };
    Q_ENUM(StatusCheckAuth)

    Authentication(QWidget* parent, const QString& appName);

    virtual void showEnter() = 0;
    virtual void setStatusWrong(QString text) = 0;
    virtual void setCheckAuth(Authentication::StatusCheckAuth status) = 0;

    bool isLockedOut() const;
    quint16 getCount() const { return count; }

signals:
    void signalClose();
    void signalGetUpdate();
    void signalCheckAuth(QJsonObject data);
    void signalChangeStatusLog();
    void signalNewVersion(bool status);

public slots:
    virtual void slotClear() = 0;
    virtual void slotStatusLog(bool status) = 0;
    virtual void slotStatusAd(bool status) = 0;
    void slotNewVersion(bool status);

protected:
    // The text every form shows when the service could not be reached.
    static QString networkErrorText();
    void showLoading(bool shown);
    // Lays out the common parts around the form's own fields.
    void finishLayout(const QString& title, const QString& subtitle, QWidget* fields);
    // Enables or disables the form's own fields (not the button).
    virtual void setFieldsEnabled(bool enabled) = 0;
    // The part of an answer to a sign-in both forms share; `wrongText` is the
    // form's rejection text.
    void applyCheckAuth(Authentication::StatusCheckAuth status, const QString& wrongText);
    // Starts the sign-in: overlay on, fields and button off.
    void beginCheck();
    // The status line as the form is shown again: a kept notice survives.
    void resetStatus();
    void keepStatus(const QString& text);
    // The user acted: a kept notice has done its job.
    void slotUserActed();
    // Field frame styles for the focused and the resting state.
    void styleField(ClickableLineEdit* field, const QString& placeholder, const QString& focused,
                    const QString& resting);

    void startTimer();
    void timerTimeout();

    PageHeader* pageHeader;
    WrappedLabel* statusLabel;
    QPushButton* signInButton;
    QPushButton* updateButton;
    QLabel* loading;
    QMovie* loaderMovie;
    UpdateCheck* updateCheck;
    quint16 count = 0;

private:
    LockOutCountdown* lockOut = nullptr;
    QString keptStatus;
};
