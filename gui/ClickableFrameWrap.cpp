#include "gui/ClickableFrameWrap.h"

#include <QHBoxLayout>
#include <QLabel>

ClickableFrameWrap::ClickableFrameWrap(QWidget* parent)
    : ClickableFrame(parent), titleLabel(new QLabel(this)), arrow(new QLabel(this))
{
    setObjectName(QStringLiteral("wrap"));
    setFixedHeight(48);
    setStyleSheet(
        QStringLiteral("#wrap {background: #FFFFFF; border: 1px solid #E4E7EC; border-radius: 8px;}"));
    titleLabel->setStyleSheet(QStringLiteral("font-size: 16px; color: #101828;"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 0, 16, 0);
    layout->addWidget(titleLabel);
    layout->addStretch(1);
    layout->addWidget(arrow);
    changeStyle();
}

void ClickableFrameWrap::setProperties(const QString& title, QWidget* widget)
{
    titleLabel->setText(title);
    content = widget;
    changeStyle();
}

void ClickableFrameWrap::click()
{
    ClickableFrame::click();
    if (checked)
        hideWidget();
    else
        showWidget();
}

void ClickableFrameWrap::showWidget()
{
    checked = false;
    if (content)
        content->show();
    changeStyle();
}

void ClickableFrameWrap::hideWidget()
{
    checked = true;
    if (content)
        content->hide();
    changeStyle();
}

void ClickableFrameWrap::changeStyle()
{
    arrow->setPixmap(QPixmap(checked ? QStringLiteral(":/personal_area/profiles/arrow_down.png")
                                     : QStringLiteral(":/personal_area/profiles/arrow_up.png")));
}
