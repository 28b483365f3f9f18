#include "gui/AuthToken.h"

#include "common/PayloadKeys.h"
#include "gui/ClickableLineEdit.h"
#include "gui/PageHeader.h"
#include "gui/WrappedLabel.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

AuthToken::AuthToken(QWidget* parent, const QString& appName)
    : Authentication(parent, appName), key(new ClickableLineEdit)
{
    auto* fields = new QWidget(this);
    key->setParent(fields);
    key->setObjectName(QStringLiteral("key"));
    styleField(key, QStringLiteral("Access key"),
               QStringLiteral("border: 1px solid #4C94FF;border-radius: 8px;"),
               QStringLiteral("border: 1px solid #CED2DA;border-radius: 8px;"));
    auto* column = new QVBoxLayout(fields);
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(key);
    finishLayout(QStringLiteral("Sign in"), QStringLiteral("Enter the access key of your organisation"),
                 fields);

    connect(signInButton, &QPushButton::clicked, this, &AuthToken::slotAuthentication);
    connect(key, &QLineEdit::returnPressed, this, &AuthToken::slotEnter);
}

void AuthToken::showEnter()
{
    resetStatus();
    slotClear();
    key->setFocus();
}

void AuthToken::setStatusWrong(QString text)
{
    keepStatus(text);
}

void AuthToken::setCheckAuth(Authentication::StatusCheckAuth status)
{
    applyCheckAuth(status, QStringLiteral("Invalid key"));
}

void AuthToken::slotClear()
{
    key->clear();
}

void AuthToken::slotStatusLog(bool status)
{
    pageHeader->setStatusLog(status);
}

void AuthToken::slotStatusAd(bool status)
{
    pageHeader->setStatusAd(status);
}

void AuthToken::setFieldsEnabled(bool enabled)
{
    key->setEnabled(enabled);
}

void AuthToken::slotAuthentication()
{
    if (!signInButton->isEnabled())
        return;
    slotUserActed();
    if (key->text().isEmpty()) {
        statusLabel->setText(QStringLiteral("Field cannot be empty"));
        return;
    }
    beginCheck();
    emit signalCheckAuth(QJsonObject{{PayloadKeys::Token, key->text()}});
}

void AuthToken::slotEnter()
{
    slotAuthentication();
}
