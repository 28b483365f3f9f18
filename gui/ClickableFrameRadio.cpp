#include "gui/ClickableFrameRadio.h"

ClickableFrameRadio::ClickableFrameRadio(QWidget* parent) : ClickableFrame(parent)
{
    connect(this, &ClickableFrame::hover, this, [this](ClickableFrame::EEvent event) { changeStyle(event); });
}

void ClickableFrameRadio::click()
{
    if (checked)
        return;
    changeCheck();
    if (QWidget* group = parentWidget()) {
        const auto siblings =
            group->findChildren<ClickableFrameRadio*>(QString(), Qt::FindDirectChildrenOnly);
        for (ClickableFrameRadio* other : siblings) {
            if (other != this && other->isChecked())
                other->changeCheck();
        }
    }
    if (!ownSignalsBlocked)
        emit clicked();
}

void ClickableFrameRadio::changeCheck()
{
    checked = !checked;
    changeStyle(NONE);
}

void ClickableFrameRadio::changeStyle(ClickableFrame::EEvent) {}
