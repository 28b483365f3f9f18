#include "gui/CheckerVersion.h"

#include "common/PayloadKeys.h"
#include "gui/GuiLoggingCategories.h"
#include "gui/PageHeader.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

CheckerVersion::CheckerVersion(QWidget* parent, const QString& appName)
    : QWidget(parent), pageHeader(new PageHeader(appName, this)), installText(new QLabel(this))
{
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setWindowTitle(appName);
    setObjectName(QStringLiteral("checkerVersion"));
    setAttribute(Qt::WA_StyledBackground, true);
    setStyleSheet(QStringLiteral("#checkerVersion {background: #F9FAFB;}"));

    auto* heading = new QLabel(QStringLiteral("The new version of the agent has been released"), this);
    heading->setAlignment(Qt::AlignCenter);
    heading->setStyleSheet(QStringLiteral("font-size: 26px; color: #101828;"));

    installText->setObjectName(QStringLiteral("installText"));
    installText->setText(QStringLiteral("Install the version for new possibilities"));
    installText->setAlignment(Qt::AlignCenter);
    installText->setStyleSheet(QStringLiteral("font-size: 16px; color: #667085;"));

    auto* remindLater = new QPushButton(QStringLiteral("Remind later"), this);
    remindLater->setObjectName(QStringLiteral("remindLater"));
    auto* download = new QPushButton(QStringLiteral("Download"), this);
    download->setObjectName(QStringLiteral("download"));
    for (QPushButton* button : {remindLater, download})
        button->setMinimumSize(160, 44);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(remindLater);
    buttons->addWidget(download);
    buttons->addStretch(1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(16);
    layout->addWidget(pageHeader);
    layout->addStretch(1);
    layout->addWidget(heading);
    layout->addWidget(installText);
    layout->addLayout(buttons);
    layout->addStretch(2);

    connect(pageHeader, &PageHeader::signalCloseClicked, this, &CheckerVersion::signalClose);
    connect(pageHeader, &PageHeader::signalLogoDoubleClicked, this, &CheckerVersion::signalChangeStatusLog);
    connect(remindLater, &QPushButton::clicked, this, &CheckerVersion::signalRemindLater);
    connect(download, &QPushButton::clicked, this, &CheckerVersion::slotDownload);
}

bool CheckerVersion::applyStatus(int value)
{
    if (value < ERROR_VERSION || value > NEW_VERSION)
        return false;
    status = static_cast<StatusVersion>(value);
    emit signalChangeStatus();
    emit signalNewVersion(status == NEW_VERSION);
    return true;
}

void CheckerVersion::setStatus(StatusVersion value)
{
    applyStatus(value);
}

void CheckerVersion::slotVersions(QJsonObject data)
{
    const int value = data.value(PayloadKeys::Status).toInt(-1);
    const char* line = value == REQUIRE_VERSION ? "EQUIRE VERSION"
                       : value == NEW_VERSION   ? "NEW VERSION"
                                                : "ERROR VERSION";
    qCDebug(GuiLog::checkerVersion) << line << data;
    applyStatus(value);
    downloadUrl = QUrl(data.value(PayloadKeys::Url).toString());
    installText->setText(QStringLiteral("Install version ") + data.value(PayloadKeys::GetVersion).toString() +
                         QStringLiteral(" for new possibilities"));
}

void CheckerVersion::slotDownload()
{
    // The address comes from the agent; only a web address goes to the browser.
    const QString scheme = downloadUrl.scheme();
    if (!downloadUrl.isValid() || (scheme != QLatin1String("https") && scheme != QLatin1String("http"))) {
        qCWarning(GuiLog::checkerVersion) << "No valid download address:" << downloadUrl.toString();
        emit signalError(QStringLiteral("No download address"));
        return;
    }
    QDesktopServices::openUrl(downloadUrl);
}

void CheckerVersion::slotShow() {}

void CheckerVersion::slotStatusLog(bool value)
{
    pageHeader->setStatusLog(value);
}

void CheckerVersion::slotStatusAd(bool value)
{
    pageHeader->setStatusAd(value);
}
