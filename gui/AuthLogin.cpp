#include "AuthLogin.h"

#include "PageHeader.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

AuthLogin::AuthLogin(QWidget* parent, const QString& appName)
    : Authentication(parent, appName), email(new QLineEdit), password(new QLineEdit), eye(new QPushButton)
{
    auto* fields = new QWidget(this);
    auto* title = new QLabel(QStringLiteral("Sign in"), fields);
    title->setAlignment(Qt::AlignCenter);
    title->setStyleSheet(QStringLiteral("font-size: 26px; color: #101828;"));
    email->setObjectName(QStringLiteral("email"));
    email->setPlaceholderText(QStringLiteral("Email"));
    password->setObjectName(QStringLiteral("password"));
    password->setPlaceholderText(QStringLiteral("Password"));
    password->setEchoMode(QLineEdit::Password);
    eye->setObjectName(QStringLiteral("eye"));
    eye->setIcon(QIcon(QStringLiteral(":/authorization/eye_on.png")));
    eye->setFlat(true);
    for (QLineEdit* field : {email, password}) {
        field->setMinimumSize(320, 44);
        field->setStyleSheet(QStringLiteral("border: 1px solid #C0BBBB;border-radius: 7px;"));
    }

    auto* passwordRow = new QHBoxLayout;
    passwordRow->setSpacing(4);
    passwordRow->addWidget(password);
    passwordRow->addWidget(eye);
    auto* column = new QVBoxLayout(fields);
    column->setSpacing(12);
    column->addWidget(title);
    column->addWidget(email);
    column->addLayout(passwordRow);
    finishLayout(fields);

    connect(signInButton, &QPushButton::clicked, this, &AuthLogin::slotAuthentication);
    connect(email, &QLineEdit::returnPressed, this, &AuthLogin::slotEnter);
    connect(password, &QLineEdit::returnPressed, this, &AuthLogin::slotEnter);
    connect(eye, &QPushButton::clicked, this, &AuthLogin::slotClickedEye);
}

void AuthLogin::showEnter()
{
    statusLabel->clear();
    slotClear();
    email->setFocus();
}

void AuthLogin::setStatusWrong(QString text)
{
    statusLabel->setText(text);
}

void AuthLogin::setCheckAuth(Authentication::StatusCheckAuth status)
{
    switch (status) {
    case SUCCESS:
        count = 0;
        break;
    case NETWORK_ERROR:
        statusLabel->setText(networkErrorText());
        break;
    case WRONG_DATA:
        statusLabel->setText(QStringLiteral("Invalid login/password pair"));
        ++count;
        break;
    }
    showLoading(false);
    setFieldsEnabled(true);
}

void AuthLogin::slotClear()
{
    email->clear();
    password->clear();
}

void AuthLogin::slotStatusLog(bool status)
{
    pageHeader->setStatusLog(status);
}

void AuthLogin::slotStatusAd(bool status)
{
    pageHeader->setStatusAd(status);
}

void AuthLogin::setFieldsEnabled(bool enabled)
{
    email->setEnabled(enabled);
    password->setEnabled(enabled);
    signInButton->setEnabled(enabled);
}

void AuthLogin::slotAuthentication()
{
    if (!signInButton->isEnabled())
        return;
    if (email->text().isEmpty() || password->text().isEmpty()) {
        statusLabel->setText(QStringLiteral("Fields cannot be empty"));
        return;
    }
    showLoading(true);
    setFieldsEnabled(false);
    emit signalCheckAuth(QJsonObject{{QStringLiteral("login"), email->text()},
                                     {QStringLiteral("password"), password->text()}});
}

void AuthLogin::slotEnter()
{
    if (sender() == email) {
        password->setFocus();
        return;
    }
    if (email->text().isEmpty()) {
        email->setFocus();
        return;
    }
    slotAuthentication();
}

void AuthLogin::slotClickedEye()
{
    const bool hidden = password->echoMode() == QLineEdit::Password;
    password->setEchoMode(hidden ? QLineEdit::Normal : QLineEdit::Password);
    eye->setIcon(QIcon(hidden ? QStringLiteral(":/authorization/eye_off.png")
                              : QStringLiteral(":/authorization/eye_on.png")));
}
