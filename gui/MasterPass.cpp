#include "MasterPass.h"

#include "ConstData.h"
#include "GuiLoggingCategories.h"
#include "PageHeader.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMovie>
#include <QPushButton>
#include <QVBoxLayout>

MasterPass::MasterPass(QWidget* parent, const QString& appName)
    : QWidget(parent), pageHeader(new PageHeader(appName, this)), titleLabel(new QLabel(this)),
      pin(new QLineEdit(this)), confirm(new QLineEdit(this)), button(new QPushButton(this)),
      statusLabel(new QLabel(this)), loading(new QLabel(this)),
      loaderMovie(new QMovie(QStringLiteral(":/authorization/loader.gif"), QByteArray(), this)),
      updateButton(new QPushButton(this))
{
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setWindowTitle(appName);

    titleLabel->setObjectName(QStringLiteral("title"));
    titleLabel->setAlignment(Qt::AlignCenter);
    titleLabel->setStyleSheet(QStringLiteral("font-size: 26px; color: #101828;"));
    pin->setObjectName(QStringLiteral("pin"));
    pin->setPlaceholderText(QStringLiteral("Pin-code"));
    confirm->setObjectName(QStringLiteral("confirm"));
    confirm->setPlaceholderText(QStringLiteral("Confirm Pin-code"));
    for (QLineEdit* field : {pin, confirm}) {
        field->setEchoMode(QLineEdit::Password);
        field->setMinimumSize(320, 44);
        field->setStyleSheet(QStringLiteral("border: 1px solid #C0BBBB;border-radius: 7px;"));
    }
    button->setObjectName(QStringLiteral("button"));
    button->setMinimumSize(320, 44);
    button->setStyleSheet(
        QStringLiteral("QPushButton {background: #1C66F6; color: #FFFFFF; border-radius: 8px;} "
                       "QPushButton:disabled {background: #98A2B3;}"));
    statusLabel->setObjectName(QStringLiteral("status"));
    statusLabel->setStyleSheet(QStringLiteral("color: #D92D20;"));
    statusLabel->setAlignment(Qt::AlignCenter);
    statusLabel->setWordWrap(true);
    loading->setAlignment(Qt::AlignCenter);
    loaderMovie->setScaledSize(QSize(40, 40));
    loading->setMovie(loaderMovie);
    loading->hide();
    updateButton->setObjectName(QStringLiteral("update"));
    updateButton->setIcon(QIcon(QStringLiteral(":/nav/update_false.png")));
    updateButton->setText(QStringLiteral("Check for updates"));
    updateButton->setFlat(true);

    auto* centre = new QVBoxLayout;
    centre->setSpacing(12);
    centre->addWidget(titleLabel);
    centre->addWidget(pin, 0, Qt::AlignHCenter);
    centre->addWidget(confirm, 0, Qt::AlignHCenter);
    centre->addWidget(statusLabel);
    centre->addWidget(button, 0, Qt::AlignHCenter);
    centre->addWidget(loading);
    auto* bottom = new QHBoxLayout;
    bottom->setContentsMargins(24, 0, 24, 16);
    bottom->addWidget(updateButton);
    bottom->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(pageHeader);
    layout->addStretch(1);
    layout->addLayout(centre);
    layout->addStretch(2);
    layout->addLayout(bottom);

    connect(pageHeader, &PageHeader::signalCloseClicked, this, &MasterPass::signalClose);
    connect(pageHeader, &PageHeader::signalLogoDoubleClicked, this, &MasterPass::signalChangeStatusLog);
    connect(updateButton, &QPushButton::clicked, this, &MasterPass::signalGetUpdate);
    connect(this, &MasterPass::signalNewVersion, this, &MasterPass::slotNewVersion);
    showEnter();
}

void MasterPass::prepare(const QString& title, const QString& buttonText, bool withConfirm,
                         void (MasterPass::*target)())
{
    titleLabel->setText(title);
    button->setText(buttonText);
    showLoading(false);
    confirm->setVisible(withConfirm);
    setFieldsEnabled(true);
    statusLabel->clear();
    pin->clear();
    confirm->clear();
    // Exactly one route for the button and the Return key at a time.
    disconnect(button, &QPushButton::clicked, this, nullptr);
    disconnect(pin, &QLineEdit::returnPressed, this, nullptr);
    disconnect(confirm, &QLineEdit::returnPressed, this, nullptr);
    connect(button, &QPushButton::clicked, this, target);
    connect(pin, &QLineEdit::returnPressed, this, target);
    if (withConfirm)
        connect(confirm, &QLineEdit::returnPressed, this, target);
    pin->setFocus();
}

void MasterPass::showEnter()
{
    prepare(QStringLiteral("PIN-code"), QStringLiteral("Sign in"), false, &MasterPass::slotEnter_pressed);
}

void MasterPass::showCreate()
{
    prepare(QStringLiteral("Set PIN-code"), QStringLiteral("Set"), true, &MasterPass::slotCreate_pressed);
}

void MasterPass::setFieldsEnabled(bool enabled)
{
    pin->setEnabled(enabled);
    confirm->setEnabled(enabled);
    button->setEnabled(enabled);
}

void MasterPass::showLoading(bool shown)
{
    loading->setVisible(shown);
    if (shown)
        loaderMovie->start();
    else
        loaderMovie->stop();
}

void MasterPass::slotEnter_pressed()
{
    if (!button->isEnabled())
        return;
    const int length = pin->text().size();
    if (length < minLength || length > maxLength) {
        statusLabel->setText(
            QStringLiteral("Password must be between %1 and %2 characters").arg(minLength).arg(maxLength));
        return;
    }
    showLoading(true);
    setFieldsEnabled(false);
    emit signalCheckPin(QJsonObject{{QStringLiteral("pin_code"), pin->text()}});
}

void MasterPass::slotCreate_pressed()
{
    if (!button->isEnabled())
        return;
    const int length = pin->text().size();
    if (length < minLength) {
        statusLabel->setText(QStringLiteral("Password must be at least %1 characters").arg(minLength));
        return;
    }
    if (length > maxLength) {
        statusLabel->setText(QStringLiteral("Password must be no more than %1 symbols").arg(maxLength));
        return;
    }
    if (confirm->text() != pin->text()) {
        statusLabel->setText(QStringLiteral("Passwords do not match"));
        return;
    }
    showLoading(true);
    setFieldsEnabled(false);
    emit signalCreatePin(QJsonObject{{QStringLiteral("pin_code"), pin->text()}});
}

void MasterPass::wrongMP(int status)
{
    pin->clear();
    showLoading(false);
    setFieldsEnabled(true);
    switch (status) {
    case WRONG_LENGTH:
        statusLabel->setText(
            QStringLiteral("Password must be between %1 and %2 characters").arg(minLength).arg(maxLength));
        break;
    case NETWORK_ERROR:
        statusLabel->setText(
            QStringLiteral(
                "Oops! Something went wrong.\nPlease make sure your internet connection is stable\nor "
                "contact our technical support by ") +
            ConstData::getSupportEmail());
        break;
    case WRONG_PIN:
        statusLabel->setText(QStringLiteral("Invalid PIN-code"));
        ++count;
        if (count > 2)
            savedButtonText = button->text();
        break;
    default:
        statusLabel->setText(QStringLiteral("Problem with validation"));
        break;
    }
    qCDebug(GuiLog::masterPass) << "wrongMP" << status << "count" << count;
}

QString MasterPass::getStatusText() const
{
    return statusLabel->text();
}

QString MasterPass::getTitle() const
{
    return titleLabel->text();
}

bool MasterPass::isConfirmShown() const
{
    return !confirm->isHidden();
}

void MasterPass::slotStatusLog(bool status)
{
    pageHeader->setStatusLog(status);
}

void MasterPass::slotStatusAd(bool status)
{
    pageHeader->setStatusAd(status);
}

void MasterPass::slotNewVersion(bool status)
{
    updateButton->setIcon(
        QIcon(status ? QStringLiteral(":/nav/update_true.png") : QStringLiteral(":/nav/update_false.png")));
    updateButton->setText(status ? QStringLiteral("Service update required")
                                 : QStringLiteral("Latest version"));
}
