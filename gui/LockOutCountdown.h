#pragma once

#include <QObject>

#include <functional>

class QPushButton;
class QTimer;

// The lock-out after the third wrong sign-in or PIN: the button is disabled
// for ten seconds and counts them down on its face; `finished` runs at the end.
class LockOutCountdown : public QObject
{
    Q_OBJECT
public:
    static constexpr int lockOutMs = 10000;
    static constexpr int tickMs = 1000;

    explicit LockOutCountdown(QObject* parent = nullptr);

    void start(QPushButton* button, std::function<void()> finished);
    bool isActive() const;

    // The whole seconds left, rounded to the nearest so that a tick arriving
    // a little late or early still counts down 9, 8, ... 1.
    static QString secondsLeft(int remainingMs);

private:
    QTimer* lockTimer;
    QTimer* tickTimer;
    QPushButton* button = nullptr;
    std::function<void()> onFinished;
};
