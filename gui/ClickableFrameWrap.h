#pragma once

#include "gui/ClickableFrame.h"

#include <QPointer>

class QLabel;

// A header that folds away the widget below it: a click collapses or
// expands it, the arrow shows which.
class ClickableFrameWrap : public ClickableFrame
{
    Q_OBJECT
public:
    explicit ClickableFrameWrap(QWidget* parent = nullptr);

    void setProperties(const QString& title, QWidget* widget);
    void click() override;
    void showWidget();
    void hideWidget();
    void changeStyle();
    bool isExpanded() const { return !checked; }

private:
    QLabel* titleLabel;
    QLabel* arrow;
    QPointer<QWidget> content;
};
