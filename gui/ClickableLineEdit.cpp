#include "ClickableLineEdit.h"

ClickableLineEdit::ClickableLineEdit(QWidget* parent) : QLineEdit(parent) {}

void ClickableLineEdit::focusInEvent(QFocusEvent* event)
{
    QLineEdit::focusInEvent(event);
    emit focusIn();
}

void ClickableLineEdit::focusOutEvent(QFocusEvent* event)
{
    QLineEdit::focusOutEvent(event);
    emit focusOut();
}
