#pragma once

#include <QJsonObject>
#include <QWidget>

class Authentication;
class MasterPass;
class QStackedWidget;

// The sign-in page: hosts the sign-in form (page 0) and the PIN form (page 1).
class Authorization : public QWidget
{
    Q_OBJECT
public:
    Authorization(QWidget* parent, const QString& appName);

    void create(bool token);
    void inputAuthenticationData();
    void inputMasterPass();
    void createMasterPass();

signals:
    void signalLogout();
    void signalSuccess();
    void signalClose();
    void signalGetUpdate();
    void signalChangeStatusLog();
    void signalCheckAuth(QJsonObject data);
    void signalCreatePin(QJsonObject data);
    void signalCheckPin(QJsonObject data);
    void signalNewVersion(bool status);

public slots:
    void slotShow(bool stored);
    void slotStatusCheckAuth(QJsonObject data);
    void slotStatusCreatePin(QJsonObject data);
    void slotStatusCheckPin(QJsonObject data);
    void slotStatusLog(bool status);
    void slotStatusAd(bool status);

private:
    const QString appName;
    QStackedWidget* stack;
    Authentication* authentication = nullptr;
    MasterPass* masterPass = nullptr;
};
