#include "gui/ClickableFrame.h"

#include <QMouseEvent>

ClickableFrame::ClickableFrame(QWidget* parent) : QFrame(parent)
{
    qRegisterMetaType<ClickableFrame::EEvent>();
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover, true);
}

void ClickableFrame::click()
{
    checked = !checked;
    emit clicked();
}

void ClickableFrame::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        click();
    QFrame::mousePressEvent(event);
}

void ClickableFrame::enterEvent(QEvent* event)
{
    emit hover(HOVER_ENTER);
    QFrame::enterEvent(event);
}

void ClickableFrame::leaveEvent(QEvent* event)
{
    emit hover(HOVER_LEAVE);
    QFrame::leaveEvent(event);
}
