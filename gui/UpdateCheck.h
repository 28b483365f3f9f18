#pragma once

#include <QObject>
#include <QTimer>

class QMovie;
class QPushButton;

// The progress of one "Check for updates" button: it spins while the agent is
// asked, shows the answer, and gives up after a bound when no answer comes
// (an agent that never answers must not leave it spinning forever).
class UpdateCheck : public QObject
{
    Q_OBJECT
public:
    UpdateCheck(QPushButton* button, QObject* parent);

    void setBoundMs(int ms) { bound.setInterval(ms); }

public slots:
    // The button was clicked: spin until the answer or the bound.
    void slotStart();
    // The agent answered: a new version is required, or this one is current.
    void slotFinish(bool newVersion);

private:
    void stop(const QString& icon, const QString& text);

    QPushButton* button;
    QMovie* movie;
    QTimer bound;
};
