#include "gui/AuthLogin.h"

#include "common/PayloadKeys.h"
#include "gui/ClickableLineEdit.h"
#include "gui/PageHeader.h"
#include "gui/WrappedLabel.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
const QString focusedFrame = QStringLiteral("border: 1px solid #2F80ED;border-radius: 7px;");
const QString restingFrame = QStringLiteral("border: 1px solid #C0BBBB;border-radius: 7px;");
} // namespace

AuthLogin::AuthLogin(QWidget* parent, const QString& appName)
    : Authentication(parent, appName), email(new ClickableLineEdit), password(new ClickableLineEdit),
      eye(new QPushButton)
{
    auto* fields = new QWidget(this);
    email->setParent(fields);
    password->setParent(fields);
    eye->setParent(password);
    email->setObjectName(QStringLiteral("email"));
    password->setObjectName(QStringLiteral("password"));
    password->setEchoMode(QLineEdit::Password);
    styleField(email, QStringLiteral("Email"), focusedFrame, restingFrame);
    styleField(password, QStringLiteral("Password"), focusedFrame, restingFrame);
    password->setTextMargins(0, 0, 32, 0);

    // The eye sits inside the password field, at its right end.
    eye->setObjectName(QStringLiteral("eye"));
    eye->setIcon(QIcon(QStringLiteral(":/authorization/eye_on.png")));
    eye->setFlat(true);
    eye->setCursor(Qt::PointingHandCursor);
    eye->setFocusPolicy(Qt::NoFocus);
    eye->setStyleSheet(QStringLiteral("border: none; background: transparent;"));
    eye->setFixedSize(32, 32);
    eye->move(360 - 40, 6);

    auto* column = new QVBoxLayout(fields);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(12);
    column->addWidget(email);
    column->addWidget(password);
    finishLayout(QStringLiteral("Sign in"), QStringLiteral("Use the e-mail and password of your account"),
                 fields);

    connect(signInButton, &QPushButton::clicked, this, &AuthLogin::slotAuthentication);
    connect(email, &QLineEdit::returnPressed, this, &AuthLogin::slotEnter);
    connect(password, &QLineEdit::returnPressed, this, &AuthLogin::slotEnter);
    connect(eye, &QPushButton::clicked, this, &AuthLogin::slotClickedEye);
}

void AuthLogin::showEnter()
{
    resetStatus();
    slotClear();
    email->setFocus();
}

void AuthLogin::setStatusWrong(QString text)
{
    keepStatus(text);
}

void AuthLogin::setCheckAuth(Authentication::StatusCheckAuth status)
{
    applyCheckAuth(status, QStringLiteral("Invalid login/password pair"));
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
}

void AuthLogin::slotAuthentication()
{
    if (!signInButton->isEnabled())
        return;
    slotUserActed();
    if (email->text().isEmpty() || password->text().isEmpty()) {
        statusLabel->setText(QStringLiteral("Fields cannot be empty"));
        return;
    }
    beginCheck();
    emit signalCheckAuth(
        QJsonObject{{PayloadKeys::Login, email->text()}, {PayloadKeys::Password, password->text()}});
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
