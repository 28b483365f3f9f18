#pragma once

#include <QWidget>

class PageHeader;
class QLabel;
class QMovie;

// The page shown while the agent is being reached.
class Alert : public QWidget
{
    Q_OBJECT
public:
    Alert(QWidget* parent, const QString& appName);

    PageHeader* header() const { return pageHeader; }
    bool isLoaderRunning() const;

signals:
    void signalClose();
    void signalChangeStatusLog();

public slots:
    void slotStatusLog(bool status);
    void slotStatusAd(bool status);

private:
    PageHeader* pageHeader;
    QLabel* loader;
    QMovie* movie;
};
