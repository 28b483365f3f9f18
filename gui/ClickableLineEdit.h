#pragma once

#include <QLineEdit>

// A line edit that reports gaining and losing the focus, and styles its frame
// for rest and focus.
class ClickableLineEdit : public QLineEdit
{
    Q_OBJECT
public:
    explicit ClickableLineEdit(QWidget* parent = nullptr);

    // Style sheets of the field at rest and with the focus (frame, padding,
    // font). The text colour is added here: an empty field shows its
    // placeholder in grey whether it has the focus or not (Qt 5 draws the
    // placeholder in the style sheet's text colour), typed text is dark.
    void setFrameStyles(const QString& resting, const QString& focused);

signals:
    void focusIn();
    void focusOut();

protected:
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void applyFrameStyle();

    QString restingStyle;
    QString focusedStyle;
};
