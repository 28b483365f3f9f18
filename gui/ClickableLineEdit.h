#pragma once

#include <QLineEdit>

// A line edit that reports gaining and losing the focus.
class ClickableLineEdit : public QLineEdit
{
    Q_OBJECT
public:
    explicit ClickableLineEdit(QWidget* parent = nullptr);

signals:
    void focusIn();
    void focusOut();

protected:
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
};
