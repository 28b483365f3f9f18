#pragma once

#include "gui/Authentication.h"

// Sign-in with an access key (Active Directory mode).
class AuthToken : public Authentication
{
    Q_OBJECT
public:
    AuthToken(QWidget* parent, const QString& appName);

    void showEnter() override;
    void setStatusWrong(QString text) override;
    void setCheckAuth(Authentication::StatusCheckAuth status) override;

public slots:
    void slotClear() override;
    void slotStatusLog(bool status) override;
    void slotStatusAd(bool status) override;
    void slotAuthentication();
    void slotEnter();

protected:
    void setFieldsEnabled(bool enabled) override;

private:
    ClickableLineEdit* key;
};
