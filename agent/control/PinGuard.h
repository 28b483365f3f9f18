#pragma once

#include <QString>
#include <QtGlobal>

// The agent's own limit on PIN guesses, shared by all control connections:
// after the third wrong PIN in a row every "CHECKPIN" is answered 0 without
// being checked for 10 s; each wrong PIN after a lock-out starts the next one
// at twice the length, up to 10 minutes. Only a right PIN ends the series, so
// reconnecting gains nothing. Times are milliseconds of a monotonic clock.
class PinGuard
{
public:
    static constexpr int wrongBeforeLockOut = 3;
    static constexpr qint64 firstLockOutMs = 10 * 1000;
    static constexpr qint64 maxLockOutMs = 10 * 60 * 1000;

    // Commands of the personal area that change the machine's protection or
    // its sign-in: while sign-in data is stored, only a connection that has
    // given the PIN may send them.
    static bool needsPin(const QString& info);

    bool isLockedOut(qint64 nowMs) const { return lockOuts > 0 && nowMs < lockedUntilMs; }
    qint64 remainingMs(qint64 nowMs) const { return isLockedOut(nowMs) ? lockedUntilMs - nowMs : 0; }
    // The length of the lock-out that the next wrong PIN would start (0: none yet).
    qint64 nextLockOutMs() const;
    int wrongInRow() const { return wrongCount; }

    void wrongPin(qint64 nowMs);
    void rightPin();

private:
    int wrongCount = 0;
    int lockOuts = 0;
    qint64 lockedUntilMs = 0;
};
