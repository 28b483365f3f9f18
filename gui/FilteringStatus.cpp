#include "gui/FilteringStatus.h"

#include "gui/PageHeader.h"

#include <QLabel>
#include <QVBoxLayout>

FilteringStatus::FilteringStatus(QWidget* parent, const QString& appName)
    : QWidget(parent), pageHeader(new PageHeader(appName, this))
{
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setWindowTitle(appName);
    setObjectName(QStringLiteral("filteringStatus"));
    setAttribute(Qt::WA_StyledBackground, true);
    setStyleSheet(QStringLiteral("#filteringStatus {background: #F9FAFB;}"));

    auto* image = new QLabel(this);
    image->setPixmap(QPixmap(QStringLiteral(":/alert/no_filtering/logo.png")));
    image->setAlignment(Qt::AlignCenter);

    auto* heading = new QLabel(QStringLiteral("The filter is off according ") + QChar(0x2028) +
                                   QStringLiteral("to the dashboard settings"),
                               this);
    heading->setObjectName(QStringLiteral("heading"));
    heading->setAlignment(Qt::AlignCenter);
    heading->setStyleSheet(QStringLiteral("font-size: 26px; color: #101828;"));

    auto* text =
        new QLabel(QStringLiteral("<html><head/><body><p>To enable the filter please log in <br/>to your "
                                  "dashboard and set filtering rules.</p></body></html>"),
                   this);
    text->setObjectName(QStringLiteral("text"));
    text->setAlignment(Qt::AlignCenter);
    text->setStyleSheet(QStringLiteral("font-size: 16px; color: #667085;"));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(16);
    layout->addWidget(pageHeader);
    layout->addStretch(1);
    layout->addWidget(image);
    layout->addWidget(heading);
    layout->addWidget(text);
    layout->addStretch(2);

    // The logo of this page does not switch the agent's logging.
    connect(pageHeader, &PageHeader::signalCloseClicked, this, &FilteringStatus::signalClose);
}

void FilteringStatus::slotStatusLog(bool status)
{
    pageHeader->setStatusLog(status);
}

void FilteringStatus::slotStatusAd(bool status)
{
    pageHeader->setStatusAd(status);
}
