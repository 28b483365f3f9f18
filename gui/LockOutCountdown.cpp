#include "gui/LockOutCountdown.h"

#include <QPushButton>
#include <QTimer>

LockOutCountdown::LockOutCountdown(QObject* parent)
    : QObject(parent), lockTimer(new QTimer(this)), tickTimer(new QTimer(this))
{
    lockTimer->setSingleShot(true);
    lockTimer->setTimerType(Qt::PreciseTimer);
    tickTimer->setTimerType(Qt::PreciseTimer);
    connect(tickTimer, &QTimer::timeout, this, [this] {
        if (button && lockTimer->isActive())
            button->setText(secondsLeft(lockTimer->remainingTime()));
    });
    connect(lockTimer, &QTimer::timeout, this, [this] {
        tickTimer->stop();
        if (onFinished)
            onFinished();
    });
}

void LockOutCountdown::start(QPushButton* lockedButton, std::function<void()> finished)
{
    button = lockedButton;
    onFinished = std::move(finished);
    button->setEnabled(false);
    lockTimer->start(lockOutMs);
    tickTimer->start(tickMs);
}

bool LockOutCountdown::isActive() const
{
    return lockTimer->isActive();
}

QString LockOutCountdown::secondsLeft(int remainingMs)
{
    return QString::number(qMax(0, (remainingMs + 500) / 1000));
}
