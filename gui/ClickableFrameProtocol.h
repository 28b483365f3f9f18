#pragma once

#include "gui/ClickableFrameRadio.h"

class QLabel;

// One DNS transport to choose: its name, a description and a check mark.
class ClickableFrameProtocol : public ClickableFrameRadio
{
    Q_OBJECT
public:
    explicit ClickableFrameProtocol(QWidget* parent = nullptr);

    void setProperties(const QString& name, const QString& description);
    QString getName() const;

protected:
    void changeStyle(ClickableFrame::EEvent event) override;

private:
    QLabel* nameLabel;
    QLabel* descriptionLabel;
    QLabel* checkMark;
};
