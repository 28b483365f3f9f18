#include "Authentication.h"

#include "ConstData.h"
#include "PageHeader.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMovie>
#include <QPushButton>
#include <QVBoxLayout>

Authentication::Authentication(QWidget* parent, const QString& appName)
    : QWidget(parent), pageHeader(new PageHeader(appName, this)), statusLabel(new QLabel(this)),
      signInButton(new QPushButton(QStringLiteral("Sign in"), this)), updateButton(new QPushButton(this)),
      loading(new QLabel(this)),
      loaderMovie(new QMovie(QStringLiteral(":/authorization/loader.gif"), QByteArray(), this))
{
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowTitle(appName);

    statusLabel->setObjectName(QStringLiteral("status"));
    statusLabel->setStyleSheet(QStringLiteral("color: #D92D20;"));
    statusLabel->setWordWrap(true);
    statusLabel->setAlignment(Qt::AlignCenter);

    signInButton->setObjectName(QStringLiteral("signIn"));
    signInButton->setMinimumSize(320, 44);
    signInButton->setStyleSheet(
        QStringLiteral("QPushButton {background: #1C66F6; color: #FFFFFF; border-radius: "
                       "8px;} QPushButton:disabled {background: #98A2B3;}"));

    updateButton->setObjectName(QStringLiteral("update"));
    updateButton->setIcon(QIcon(QStringLiteral(":/nav/update_false.png")));
    updateButton->setText(QStringLiteral("Check for updates"));
    updateButton->setFlat(true);

    loading->setObjectName(QStringLiteral("loading"));
    loading->setAlignment(Qt::AlignCenter);
    loaderMovie->setScaledSize(QSize(40, 40));
    loading->setMovie(loaderMovie);
    loading->hide();

    connect(pageHeader, &PageHeader::signalCloseClicked, this, &Authentication::signalClose);
    connect(pageHeader, &PageHeader::signalLogoDoubleClicked, this, &Authentication::signalChangeStatusLog);
    connect(updateButton, &QPushButton::clicked, this, &Authentication::signalGetUpdate);
    connect(this, &Authentication::signalNewVersion, this, &Authentication::slotNewVersion);
}

void Authentication::finishLayout(QWidget* fields)
{
    auto* centre = new QVBoxLayout;
    centre->setSpacing(12);
    centre->addWidget(fields, 0, Qt::AlignHCenter);
    centre->addWidget(statusLabel);
    centre->addWidget(signInButton, 0, Qt::AlignHCenter);
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

QString Authentication::getStatusText() const
{
    return statusLabel->text();
}

bool Authentication::isLoading() const
{
    return !loading->isHidden();
}

void Authentication::slotNewVersion(bool status)
{
    updateButton->setIcon(
        QIcon(status ? QStringLiteral(":/nav/update_true.png") : QStringLiteral(":/nav/update_false.png")));
    updateButton->setText(status ? QStringLiteral("Service update required")
                                 : QStringLiteral("Latest version"));
}
