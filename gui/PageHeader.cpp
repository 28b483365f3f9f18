#include "gui/PageHeader.h"

#include "gui/ClickableLabel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

PageHeader::PageHeader(const QString& name, QWidget* parent)
    : QWidget(parent), appName(name), logo(new ClickableLabel(this)), adMark(new QLabel(this)),
      closeButton(new QPushButton(this))
{
    setObjectName(QStringLiteral("pageHeader"));
    setFixedHeight(85);
    setAttribute(Qt::WA_StyledBackground, true);
    setStyleSheet(QStringLiteral("#pageHeader {background: #FFFFFF; border-bottom: 1px solid #E4E7EC;}"));

    logo->setObjectName(QStringLiteral("logo"));
    logo->setPixmap(QPixmap(QStringLiteral(":/logo/logo.png")));
    logo->setToolTip(appName);

    // Named for what it shows: "title" is the PIN form's own heading, and
    // that form carries this header.
    auto* title = new QLabel(appName, this);
    title->setObjectName(QStringLiteral("appName"));
    title->setStyleSheet(QStringLiteral("font-size: 20px; color: #101828;"));

    adMark->setObjectName(QStringLiteral("adMark"));
    adMark->setText(QStringLiteral("ActiveDirectory"));
    // A small badge beside the title, not a box the height of the header.
    adMark->setStyleSheet(QStringLiteral("color: #1C66F6; background: #EFF4FF; border: 1px solid #B2CCFF;"
                                         " border-radius: 9px; padding: 1px 8px; font-size: 11px;"));
    adMark->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    adMark->hide();

    closeButton->setObjectName(QStringLiteral("close"));
    closeButton->setText(QStringLiteral("\u2715"));
    closeButton->setToolTip(QStringLiteral("Minimize to tray"));
    closeButton->setFixedSize(36, 36);
    closeButton->setFlat(true);
    closeButton->setCursor(Qt::PointingHandCursor);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(24, 0, 16, 0);
    layout->setSpacing(12);
    layout->addWidget(logo);
    layout->addWidget(title);
    layout->addWidget(adMark, 0, Qt::AlignVCenter);
    layout->addStretch(1);
    layout->addWidget(closeButton);

    connect(logo, &ClickableLabel::doubleClicked, this, &PageHeader::signalLogoDoubleClicked);
    connect(closeButton, &QPushButton::clicked, this, &PageHeader::signalCloseClicked);
}

void PageHeader::setStatusLog(bool status)
{
    logo->setToolTip(appName + QLatin1Char(' ') + (status ? QStringLiteral("(D)") : QStringLiteral("(I)")));
}

void PageHeader::setStatusAd(bool status)
{
    adMark->setVisible(status);
}
