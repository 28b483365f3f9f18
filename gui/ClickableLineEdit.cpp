#include "gui/ClickableLineEdit.h"

namespace {
const QString textColour = QStringLiteral("color: #101828;");
const QString placeholderColour = QStringLiteral("color: #98A2B3;");
} // namespace

ClickableLineEdit::ClickableLineEdit(QWidget* parent) : QLineEdit(parent) {}

void ClickableLineEdit::setFrameStyles(const QString& resting, const QString& focused)
{
    const bool first = restingStyle.isNull();
    restingStyle = resting;
    focusedStyle = focused;
    if (first) {
        // The colour changes between the first character and an empty field.
        connect(this, &QLineEdit::textChanged, this, [this](const QString& text) {
            if (text.size() <= 1)
                applyFrameStyle();
        });
    }
    applyFrameStyle();
}

void ClickableLineEdit::applyFrameStyle()
{
    if (restingStyle.isNull())
        return;
    const QString frame = hasFocus() ? focusedStyle : restingStyle;
    const QString style = frame + (text().isEmpty() ? placeholderColour : textColour);
    if (style != styleSheet())
        setStyleSheet(style);
}

void ClickableLineEdit::focusInEvent(QFocusEvent* event)
{
    QLineEdit::focusInEvent(event);
    applyFrameStyle();
    emit focusIn();
}

void ClickableLineEdit::focusOutEvent(QFocusEvent* event)
{
    QLineEdit::focusOutEvent(event);
    applyFrameStyle();
    emit focusOut();
}
