#include "gui/Authorization.h"

#include "common/ControlStatus.h"
#include "common/PayloadKeys.h"
#include "gui/AuthLogin.h"
#include "gui/AuthToken.h"
#include "gui/GuiLoggingCategories.h"
#include "gui/MasterPass.h"

#include <QStackedWidget>
#include <QVBoxLayout>

Authorization::Authorization(QWidget* parent, const QString& name)
    : QWidget(parent), appName(name), stack(new QStackedWidget(this))
{
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setWindowTitle(appName);
    setObjectName(QStringLiteral("authorization"));
    setAttribute(Qt::WA_StyledBackground, true);
    setStyleSheet(QStringLiteral("#authorization {background: #F9FAFB;}"));
    stack->setObjectName(QStringLiteral("forms"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(stack);
}

void Authorization::create(bool token)
{
    if (token)
        authentication = new AuthToken(stack, appName);
    else
        authentication = new AuthLogin(stack, appName);
    masterPass = new MasterPass(stack, appName);
    authentication->setObjectName(QStringLiteral("authentication"));
    masterPass->setObjectName(QStringLiteral("masterPass"));
    stack->addWidget(authentication);
    stack->addWidget(masterPass);

    connect(this, &Authorization::signalLogout, authentication, &Authentication::slotClear);
    connect(this, &Authorization::signalNewVersion, authentication, &Authentication::signalNewVersion);
    connect(this, &Authorization::signalNewVersion, masterPass, &MasterPass::signalNewVersion);

    connect(authentication, &Authentication::signalClose, this, &Authorization::signalClose);
    connect(authentication, &Authentication::signalGetUpdate, this, &Authorization::signalGetUpdate);
    connect(authentication, &Authentication::signalCheckAuth, this, &Authorization::signalCheckAuth);
    connect(authentication, &Authentication::signalChangeStatusLog, this,
            &Authorization::signalChangeStatusLog);

    connect(masterPass, &MasterPass::signalClose, this, &Authorization::signalClose);
    connect(masterPass, &MasterPass::signalCreatePin, this, &Authorization::signalCreatePin);
    connect(masterPass, &MasterPass::signalCheckPin, this, &Authorization::signalCheckPin);
    connect(masterPass, &MasterPass::signalGetUpdate, this, &Authorization::signalGetUpdate);
    connect(masterPass, &MasterPass::signalChangeStatusLog, this, &Authorization::signalChangeStatusLog);
}

void Authorization::slotStatusAd(bool ad)
{
    if (!authentication)
        create(ad);
    authentication->slotStatusAd(ad);
    masterPass->slotStatusAd(ad);
}

void Authorization::slotStatusLog(bool status)
{
    if (!authentication)
        return;
    authentication->slotStatusLog(status);
    masterPass->slotStatusLog(status);
}

void Authorization::slotShow(bool stored)
{
    qCDebug(GuiLog::authorization) << "slotShow" << (stored ? "PIN entry" : "sign-in form");
    if (stored) {
        inputMasterPass();
        return;
    }
    inputAuthenticationData();
}

void Authorization::inputAuthenticationData()
{
    if (!authentication) {
        qCCritical(GuiLog::authorization) << "Window authentication didn't create!";
        return;
    }
    stack->setCurrentIndex(0);
    authentication->showEnter();
}

void Authorization::inputMasterPass()
{
    if (!masterPass) {
        qCCritical(GuiLog::authorization) << "Window authentication didn't create!";
        return;
    }
    qCDebug(GuiLog::authorization) << "show PIN entry";
    stack->setCurrentIndex(1);
    masterPass->showEnter();
}

void Authorization::createMasterPass()
{
    if (!masterPass) {
        qCCritical(GuiLog::authorization) << "Window authentication didn't create!";
        return;
    }
    qCDebug(GuiLog::authorization) << "show PIN creation";
    stack->setCurrentIndex(1);
    masterPass->showCreate();
}

void Authorization::slotStatusCheckAuth(QJsonObject data)
{
    if (!authentication)
        return;
    const int status = data.value(PayloadKeys::Status).toInt(-1);
    authentication->setCheckAuth(static_cast<Authentication::StatusCheckAuth>(status));
    if (status == Authentication::SUCCESS)
        createMasterPass();
}

void Authorization::slotStatusCreatePin(QJsonObject data)
{
    if (!masterPass)
        return;
    const int status = data.value(PayloadKeys::Status).toInt(-1);
    if (status == ControlStatus::createPinOk) {
        inputMasterPass();
        return;
    }
    // Any other answer: the form must not stay frozen behind its overlay.
    stack->setCurrentIndex(1);
    masterPass->createFailed(status);
}

void Authorization::slotStatusCheckPin(QJsonObject data)
{
    const int status = data.value(PayloadKeys::Status).toInt(-1);
    qCDebug(GuiLog::authorization) << "slotStatusCheckPin" << status;
    if (!masterPass)
        return;
    switch (status) {
    case MasterPass::SUCCESS:
        masterPass->resetCount();
        emit signalSuccess();
        break;
    case MasterPass::LAUNCH_LIMIT:
        emit signalLogout();
        if (authentication)
            authentication->setStatusWrong(
                QStringLiteral("You have reached the agent launch limit, \ndelete the "
                               "settings in the cabinet \nor use other credentials"));
        break;
    default:
        masterPass->wrongMP(status);
        break;
    }
}
