#pragma once

#include <QFrame>

// A frame that behaves like a button: a mouse press toggles its checked flag
// and reports the click; entering and leaving report hover events.
class ClickableFrame : public QFrame
{
    Q_OBJECT
public:
    // Hover event kind handed to the restyling hooks.
    enum EEvent : int
    {
        NONE = 0,
        HOVER_ENTER = 1,
        HOVER_LEAVE = 2
    };
    Q_ENUM(EEvent)

    explicit ClickableFrame(QWidget* parent = nullptr);

    virtual void click();
    bool isChecked() const { return checked; }

signals:
    void clicked();
    void hover(ClickableFrame::EEvent event);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;

    bool checked = false;
};
