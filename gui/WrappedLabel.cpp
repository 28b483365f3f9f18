#include "gui/WrappedLabel.h"

WrappedLabel::WrappedLabel(int width, int base, QWidget* parent) : QLabel(parent), baseHeight(base)
{
    setWordWrap(true);
    setFixedWidth(width);
    setMinimumHeight(baseHeight);
}

void WrappedLabel::setText(const QString& text)
{
    QLabel::setText(text);
    // The style sheet's font decides the height: polish before measuring.
    ensurePolished();
    setMinimumHeight(qMax(baseHeight, heightForWidth(width())));
}

void WrappedLabel::clear()
{
    QLabel::clear();
    setMinimumHeight(baseHeight);
}
