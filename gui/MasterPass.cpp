#include "gui/MasterPass.h"

#include "common/PayloadKeys.h"
#include "gui/LockOutCountdown.h"

#include "gui/ClickableLineEdit.h"
#include "gui/ConstData.h"
#include "gui/GuiLoggingCategories.h"
#include "gui/PageHeader.h"
#include "gui/UpdateCheck.h"
#include "gui/WrappedLabel.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMovie>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace {
const QString focusedFrame = QStringLiteral("border: 1px solid #2F80ED;border-radius: 7px;");
const QString restingFrame = QStringLiteral("border: 1px solid #C0BBBB;border-radius: 7px;");
const QString fieldCommon = QStringLiteral("padding: 0 12px; font-size: 14px; background: #FFFFFF;");

QString networkErrorText()
{
    return QStringLiteral(
               "Oops! Something went wrong.\nPlease make sure your internet connection is stable\nor "
               "contact our technical support by ") +
           ConstData::getSupportEmail();
}
} // namespace

MasterPass::MasterPass(QWidget* parent, const QString& appName)
    : QWidget(parent), pageHeader(new PageHeader(appName, this)), titleLabel(new QLabel(this)),
      pin(new ClickableLineEdit(this)), confirm(new ClickableLineEdit(this)), button(new QPushButton(this)),
      statusLabel(new WrappedLabel(360, 40, this)), loading(new QLabel(this)),
      loaderMovie(new QMovie(QStringLiteral(":/authorization/loader.gif"), QByteArray(), this)),
      updateButton(new QPushButton(this)), updateCheck(new UpdateCheck(updateButton, this))
{
    lockOut = new LockOutCountdown(this);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setWindowTitle(appName);

    titleLabel->setObjectName(QStringLiteral("title"));
    titleLabel->setAlignment(Qt::AlignCenter);
    titleLabel->setStyleSheet(QStringLiteral("font-size: 28px; color: #101828;"));
    auto* subtitle = new QLabel(QStringLiteral("The PIN-code protects this program on this computer"), this);
    subtitle->setAlignment(Qt::AlignCenter);
    subtitle->setStyleSheet(QStringLiteral("font-size: 14px; color: #667085;"));
    pin->setObjectName(QStringLiteral("pin"));
    confirm->setObjectName(QStringLiteral("confirm"));
    const QList<QPair<ClickableLineEdit*, QString>> fields{{pin, QStringLiteral("Pin-code")},
                                                           {confirm, QStringLiteral("Confirm Pin-code")}};
    for (const auto& entry : fields) {
        ClickableLineEdit* field = entry.first;
        const QString placeholder = entry.second;
        field->setEchoMode(QLineEdit::Password);
        field->setPlaceholderText(placeholder);
        field->setFixedSize(360, 44);
        field->setFrameStyles(restingFrame + fieldCommon, focusedFrame + fieldCommon);
        connect(field, &ClickableLineEdit::focusOut, this, [field, placeholder] {
            if (field->text().isEmpty())
                field->setPlaceholderText(placeholder);
        });
    }
    button->setObjectName(QStringLiteral("button"));
    button->setFixedSize(360, 44);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(
        QStringLiteral("QPushButton {background: #1C66F6; color: #FFFFFF; border: none; border-radius: 8px;"
                       " font-size: 15px;} QPushButton:hover {background: #1551C4;}"
                       " QPushButton:disabled {background: #98A2B3;}"));
    statusLabel->setObjectName(QStringLiteral("status"));
    statusLabel->setStyleSheet(QStringLiteral("color: #D92D20; font-size: 13px;"));
    statusLabel->setAlignment(Qt::AlignCenter);
    loading->setObjectName(QStringLiteral("loading"));
    loading->setAlignment(Qt::AlignCenter);
    loaderMovie->setScaledSize(QSize(40, 40));
    loading->setMovie(loaderMovie);
    loading->setFixedHeight(44);
    loading->hide();
    updateButton->setObjectName(QStringLiteral("update"));
    updateButton->setIcon(QIcon(QStringLiteral(":/nav/update_false.png")));
    updateButton->setText(QStringLiteral("Check for updates"));
    updateButton->setFlat(true);
    updateButton->setCursor(Qt::PointingHandCursor);
    updateButton->setStyleSheet(
        QStringLiteral("QPushButton {color: #475467; font-size: 13px; border: none;}"));

    auto* card = new QWidget(this);
    card->setObjectName(QStringLiteral("card"));
    card->setAttribute(Qt::WA_StyledBackground, true);
    card->setStyleSheet(
        QStringLiteral("#card {background: #FFFFFF; border: 1px solid #E4E7EC; border-radius: 16px;}"));
    card->setFixedWidth(480);
    auto* centre = new QVBoxLayout(card);
    centre->setContentsMargins(60, 28, 60, 24);
    centre->setSpacing(10);
    centre->addWidget(titleLabel);
    centre->addWidget(subtitle);
    centre->addSpacing(8);
    centre->addWidget(pin, 0, Qt::AlignHCenter);
    centre->addWidget(confirm, 0, Qt::AlignHCenter);
    centre->addWidget(statusLabel, 0, Qt::AlignHCenter);
    centre->addWidget(button, 0, Qt::AlignHCenter);
    centre->addWidget(loading);
    auto* bottom = new QHBoxLayout;
    bottom->setContentsMargins(24, 0, 24, 12);
    bottom->addWidget(updateButton);
    bottom->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(pageHeader);
    layout->addStretch(1);
    layout->addWidget(card, 0, Qt::AlignHCenter);
    layout->addStretch(1);
    layout->addLayout(bottom);

    connect(pageHeader, &PageHeader::signalCloseClicked, this, &MasterPass::signalClose);
    connect(pageHeader, &PageHeader::signalLogoDoubleClicked, this, &MasterPass::signalChangeStatusLog);
    connect(updateButton, &QPushButton::clicked, this, [this] {
        updateCheck->slotStart();
        emit signalGetUpdate();
    });
    connect(this, &MasterPass::signalNewVersion, this, &MasterPass::slotNewVersion);
    showEnter();
}

void MasterPass::prepare(const QString& title, const QString& buttonText, bool withConfirm,
                         void (MasterPass::*target)())
{
    titleLabel->setText(title);
    // During a lock-out the button shows the countdown; its text comes back
    // when the lock-out ends.
    if (isLockedOut())
        savedButtonText = buttonText;
    else
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
    button->setEnabled(enabled && !isLockedOut());
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
    statusLabel->clear();
    showLoading(true);
    setFieldsEnabled(false);
    emit signalCheckPin(QJsonObject{{PayloadKeys::PinCode, pin->text()}});
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
    statusLabel->clear();
    showLoading(true);
    setFieldsEnabled(false);
    emit signalCreatePin(QJsonObject{{PayloadKeys::PinCode, pin->text()}});
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
        statusLabel->setText(networkErrorText());
        break;
    case WRONG_PIN:
        statusLabel->setText(QStringLiteral("Invalid PIN-code"));
        ++count;
        if (count > 2 && !isLockedOut()) {
            savedButtonText = button->text();
            button->setEnabled(false);
            startTimer();
        }
        break;
    default:
        statusLabel->setText(QStringLiteral("Problem with validation"));
        break;
    }
    qCDebug(GuiLog::masterPass) << "wrongMP" << status << "count" << count;
}

void MasterPass::createFailed(int status)
{
    qCWarning(GuiLog::masterPass) << "PIN-code not set, status" << status;
    pin->clear();
    confirm->clear();
    showLoading(false);
    setFieldsEnabled(true);
    statusLabel->setText(
        status == WRONG_LENGTH
            ? QStringLiteral("Password must be between %1 and %2 characters").arg(minLength).arg(maxLength)
            : QStringLiteral("The PIN-code was not set. Please try again"));
    pin->setFocus();
}

bool MasterPass::isLockedOut() const
{
    return lockOut->isActive();
}

void MasterPass::startTimer()
{
    lockOut->start(button, [this] { timerTimeout(); });
}

void MasterPass::timerTimeout()
{
    count = 0;
    button->setEnabled(loading->isHidden());
    button->setText(savedButtonText);
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
    updateCheck->slotFinish(status);
}
