#pragma once

#include <QWidget>

class PageHeader;

// The page shown when the service reports filtering off for this machine.
class FilteringStatus : public QWidget
{
    Q_OBJECT
public:
    FilteringStatus(QWidget* parent, const QString& appName);

signals:
    void signalClose();

public slots:
    void slotStatusLog(bool status);
    void slotStatusAd(bool status);

private:
    PageHeader* pageHeader;
};
