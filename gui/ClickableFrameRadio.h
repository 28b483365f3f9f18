#pragma once

#include "gui/ClickableFrame.h"

// A frame that acts as one choice of a group: the sibling frames of this
// class form the group, and checking one unchecks the others.
class ClickableFrameRadio : public ClickableFrame
{
    Q_OBJECT
public:
    explicit ClickableFrameRadio(QWidget* parent = nullptr);

    // Checks this frame; reports the click only when it was not checked yet
    // and the frame's own signal block is off.
    void click() override;
    // Toggles the checked flag and restyles.
    void changeCheck();
    // The frame's own block of `clicked()`: a program-made check (an agent
    // message) must not look like a user's choice. It leaves the QObject
    // signal machinery (hover, destroyed) alone.
    void blockSignals(bool block) { ownSignalsBlocked = block; }
    bool signalsBlocked() const { return ownSignalsBlocked; }

protected:
    virtual void changeStyle(ClickableFrame::EEvent event);

private:
    bool ownSignalsBlocked = false;
};
