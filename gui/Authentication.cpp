#include "gui/Authentication.h"

#include "gui/LockOutCountdown.h"

#include "gui/ClickableLineEdit.h"
#include "gui/ConstData.h"
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
const char* const signInText = "Sign in";
} // namespace

Authentication::Authentication(QWidget* parent, const QString& appName)
    : QWidget(parent), pageHeader(new PageHeader(appName, this)),
      statusLabel(new WrappedLabel(360, 40, this)),
      signInButton(new QPushButton(QString::fromLatin1(signInText), this)),
      updateButton(new QPushButton(this)), loading(new QLabel(this)),
      loaderMovie(new QMovie(QStringLiteral(":/authorization/loader.gif"), QByteArray(), this)),
      updateCheck(new UpdateCheck(updateButton, this))
{
    lockOut = new LockOutCountdown(this);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowTitle(appName);

    statusLabel->setObjectName(QStringLiteral("status"));
    statusLabel->setStyleSheet(QStringLiteral("color: #D92D20; font-size: 13px;"));
    statusLabel->setAlignment(Qt::AlignCenter);

    signInButton->setObjectName(QStringLiteral("signIn"));
    signInButton->setFixedSize(360, 44);
    signInButton->setCursor(Qt::PointingHandCursor);
    signInButton->setStyleSheet(
        QStringLiteral("QPushButton {background: #1C66F6; color: #FFFFFF; border: none; border-radius: 8px;"
                       " font-size: 15px;} QPushButton:hover {background: #1551C4;}"
                       " QPushButton:disabled {background: #98A2B3;}"));

    updateButton->setObjectName(QStringLiteral("update"));
    updateButton->setIcon(QIcon(QStringLiteral(":/nav/update_false.png")));
    updateButton->setText(QStringLiteral("Check for updates"));
    updateButton->setFlat(true);
    updateButton->setCursor(Qt::PointingHandCursor);
    updateButton->setStyleSheet(
        QStringLiteral("QPushButton {color: #475467; font-size: 13px; border: none;}"));

    loading->setObjectName(QStringLiteral("loading"));
    loading->setAlignment(Qt::AlignCenter);
    loaderMovie->setScaledSize(QSize(40, 40));
    loading->setMovie(loaderMovie);
    loading->setFixedHeight(44);
    loading->hide();

    connect(pageHeader, &PageHeader::signalCloseClicked, this, &Authentication::signalClose);
    connect(pageHeader, &PageHeader::signalLogoDoubleClicked, this, &Authentication::signalChangeStatusLog);
    connect(updateButton, &QPushButton::clicked, this, [this] {
        updateCheck->slotStart();
        emit signalGetUpdate();
    });
    connect(this, &Authentication::signalNewVersion, this, &Authentication::slotNewVersion);
}

void Authentication::finishLayout(const QString& title, const QString& subtitle, QWidget* fields)
{
    auto* titleLabel = new QLabel(title, this);
    titleLabel->setObjectName(QStringLiteral("formTitle"));
    titleLabel->setAlignment(Qt::AlignCenter);
    titleLabel->setStyleSheet(QStringLiteral("font-size: 28px; color: #101828;"));
    auto* subtitleLabel = new QLabel(subtitle, this);
    subtitleLabel->setAlignment(Qt::AlignCenter);
    subtitleLabel->setStyleSheet(QStringLiteral("font-size: 14px; color: #667085;"));

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
    centre->addWidget(subtitleLabel);
    centre->addSpacing(8);
    centre->addWidget(fields, 0, Qt::AlignHCenter);
    centre->addWidget(statusLabel, 0, Qt::AlignHCenter);
    centre->addWidget(signInButton, 0, Qt::AlignHCenter);
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
}

void Authentication::styleField(ClickableLineEdit* field, const QString& placeholder, const QString& focused,
                                const QString& resting)
{
    const QString common = QStringLiteral("padding: 0 12px; font-size: 14px; background: #FFFFFF;");
    field->setPlaceholderText(placeholder);
    field->setFixedSize(360, 44);
    field->setFrameStyles(resting + common, focused + common);
    connect(field, &ClickableLineEdit::focusOut, this, [field, placeholder] {
        if (field->text().isEmpty())
            field->setPlaceholderText(placeholder);
    });
    connect(field, &QLineEdit::textEdited, this, &Authentication::slotUserActed);
}

QString Authentication::networkErrorText()
{
    return QStringLiteral(
               "Oops! Something went wrong.\nPlease make sure your internet connection is stable\nor "
               "contact our technical support by ") +
           ConstData::getSupportEmail();
}

void Authentication::showLoading(bool shown)
{
    loading->setVisible(shown);
    if (shown)
        loaderMovie->start();
    else
        loaderMovie->stop();
}

void Authentication::beginCheck()
{
    keptStatus.clear();
    statusLabel->clear();
    showLoading(true);
    setFieldsEnabled(false);
    signInButton->setEnabled(false);
}

void Authentication::applyCheckAuth(Authentication::StatusCheckAuth status, const QString& wrongText)
{
    switch (status) {
    case SUCCESS:
        count = 0;
        break;
    case NETWORK_ERROR:
        statusLabel->setText(networkErrorText());
        break;
    case WRONG_DATA:
        statusLabel->setText(wrongText);
        ++count;
        if (count > 2 && !isLockedOut())
            startTimer();
        break;
    }
    // Whatever the answer, the form is usable again; only a lock-out keeps
    // the button blocked until it ends.
    showLoading(false);
    setFieldsEnabled(true);
    signInButton->setEnabled(!isLockedOut());
}

void Authentication::resetStatus()
{
    statusLabel->setText(keptStatus);
}

void Authentication::keepStatus(const QString& text)
{
    keptStatus = text;
    statusLabel->setText(text);
}

void Authentication::slotUserActed()
{
    if (keptStatus.isEmpty())
        return;
    keptStatus.clear();
    statusLabel->clear();
}

bool Authentication::isLockedOut() const
{
    return lockOut->isActive();
}

void Authentication::startTimer()
{
    lockOut->start(signInButton, [this] { timerTimeout(); });
}

void Authentication::timerTimeout()
{
    count = 0;
    signInButton->setEnabled(true);
    signInButton->setText(QString::fromLatin1(signInText));
}

void Authentication::slotNewVersion(bool status)
{
    updateCheck->slotFinish(status);
}
