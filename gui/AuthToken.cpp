#include "AuthToken.h"

#include "PageHeader.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

AuthToken::AuthToken(QWidget* parent, const QString& appName)
    : Authentication(parent, appName), key(new QLineEdit)
{
    auto* fields = new QWidget(this);
    auto* title = new QLabel(QStringLiteral("Access key"), fields);
    title->setAlignment(Qt::AlignCenter);
    title->setStyleSheet(QStringLiteral("font-size: 26px; color: #101828;"));
    key->setObjectName(QStringLiteral("key"));
    key->setMinimumSize(320, 44);
    key->setStyleSheet(QStringLiteral("border: 1px solid #CED2DA;border-radius: 8px;"));
    auto* column = new QVBoxLayout(fields);
    column->setSpacing(12);
    column->addWidget(title);
    column->addWidget(key);
    finishLayout(fields);

    connect(signInButton, &QPushButton::clicked, this, &AuthToken::slotAuthentication);
    connect(key, &QLineEdit::returnPressed, this, &AuthToken::slotEnter);
}

void AuthToken::showEnter()
{
    statusLabel->clear();
    slotClear();
    key->setFocus();
}

void AuthToken::setStatusWrong(QString text)
{
    statusLabel->setText(text);
}

void AuthToken::setCheckAuth(Authentication::StatusCheckAuth status)
{
    switch (status) {
    case SUCCESS:
        count = 0;
        break;
    case NETWORK_ERROR:
        statusLabel->setText(networkErrorText());
        break;
    case WRONG_DATA:
        statusLabel->setText(QStringLiteral("Invalid key"));
        ++count;
        break;
    }
    showLoading(false);
    setFieldsEnabled(true);
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
    signInButton->setEnabled(enabled);
}

void AuthToken::slotAuthentication()
{
    if (!signInButton->isEnabled())
        return;
    if (key->text().isEmpty()) {
        statusLabel->setText(QStringLiteral("Field cannot be empty"));
        return;
    }
    showLoading(true);
    setFieldsEnabled(false);
    emit signalCheckAuth(QJsonObject{{QStringLiteral("token"), key->text()}});
}

void AuthToken::slotEnter()
{
    slotAuthentication();
}
