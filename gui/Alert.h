#pragma once

#include <QWidget>

class PageHeader;
class QLabel;
class QMovie;

// The page shown while the agent is being reached, and when the program on
// the agent's port turned out not to be the agent.
class Alert : public QWidget
{
    Q_OBJECT
public:
    Alert(QWidget* parent, const QString& appName);

signals:
    void signalClose();
    void signalChangeStatusLog();

public slots:
    void slotStatusLog(bool status);
    void slotStatusAd(bool status);
    // Another program holds the agent's port: nothing secret was sent to it.
    void slotListenerRefused();
    // Back to "No connection" while the agent is reached again.
    void slotWaiting();

private:
    PageHeader* pageHeader;
    QLabel* heading;
    QLabel* text;
    QLabel* loader;
    QMovie* movie;
};
