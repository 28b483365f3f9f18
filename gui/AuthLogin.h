#pragma once

#include "gui/Authentication.h"

// Sign-in with e-mail and password.
class AuthLogin : public Authentication
{
    Q_OBJECT
public:
    AuthLogin(QWidget* parent, const QString& appName);

    void showEnter() override;
    void setStatusWrong(QString text) override;
    void setCheckAuth(Authentication::StatusCheckAuth status) override;

public slots:
    void slotClear() override;
    void slotStatusLog(bool status) override;
    void slotStatusAd(bool status) override;
    void slotAuthentication();
    void slotEnter();
    void slotClickedEye();

protected:
    void setFieldsEnabled(bool enabled) override;

private:
    ClickableLineEdit* email;
    ClickableLineEdit* password;
    QPushButton* eye;
};
