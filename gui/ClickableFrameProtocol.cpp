#include "gui/ClickableFrameProtocol.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

ClickableFrameProtocol::ClickableFrameProtocol(QWidget* parent)
    : ClickableFrameRadio(parent), nameLabel(new QLabel(this)), descriptionLabel(new QLabel(this)),
      checkMark(new QLabel(this))
{
    setMinimumHeight(84);
    nameLabel->setObjectName(QStringLiteral("protocolName"));
    nameLabel->setStyleSheet(QStringLiteral("border: none; font-size: 15px; color: #101828;"));
    descriptionLabel->setObjectName(QStringLiteral("protocolDescription"));
    descriptionLabel->setWordWrap(true);
    descriptionLabel->setStyleSheet(QStringLiteral("border: none; font-size: 12px; color: #667085;"));
    checkMark->setObjectName(QStringLiteral("protocolCheck"));
    checkMark->setFixedSize(22, 22);
    checkMark->setStyleSheet(QStringLiteral("border: none; background: transparent;"));
    checkMark->setPixmap(QPixmap(QStringLiteral(":/personal_area/check.png")));
    checkMark->setVisible(false);

    auto* text = new QVBoxLayout;
    text->setSpacing(4);
    text->addWidget(nameLabel);
    text->addWidget(descriptionLabel);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 10, 16, 10);
    layout->setSpacing(16);
    layout->addLayout(text, 1);
    layout->addWidget(checkMark, 0, Qt::AlignTop);
    changeStyle(NONE);
}

void ClickableFrameProtocol::setProperties(const QString& name, const QString& description)
{
    nameLabel->setText(name);
    descriptionLabel->setText(description);
}

QString ClickableFrameProtocol::getName() const
{
    return nameLabel->text();
}

void ClickableFrameProtocol::changeStyle(ClickableFrame::EEvent event)
{
    checkMark->setVisible(checked);
    if (checked) {
        setStyleSheet(QStringLiteral("QFrame {background: #FFFFFF;border: 2px solid #1C66F6;}"));
        return;
    }
    if (event == HOVER_ENTER) {
        setStyleSheet(QStringLiteral("QFrame {background: #F9FAFB;border: 1px solid #CED2DA;}"));
        return;
    }
    setStyleSheet(QStringLiteral("QFrame {padding: 0px;background: #FFFFFF;border: 1px solid #E4E7EC;}"));
}
