#pragma once

#include <QWidget>

class ClickableLabel;
class QLabel;
class QPushButton;

// The top strip every page carries: the logo (its tooltip shows the agent's
// logging mark), the "ActiveDirectory" mark and the close button. It is also
// the strip by which the frameless window is dragged.
class PageHeader : public QWidget
{
    Q_OBJECT
public:
    PageHeader(const QString& appName, QWidget* parent = nullptr);

    void setStatusLog(bool status);
    void setStatusAd(bool status);

signals:
    void signalLogoDoubleClicked();
    void signalCloseClicked();

private:
    const QString appName;
    ClickableLabel* logo;
    QLabel* adMark;
    QPushButton* closeButton;
};
