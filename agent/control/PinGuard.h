#pragma once

#include <QString>
#include <QtGlobal>

// The agent's own limit on PIN guesses, shared by all control connections:
// after the third wrong PIN in a row every "CHECKPIN" is answered 0 without
// being checked for 10 s; each wrong PIN after a lock-out starts the next one
// at twice the length, up to 10 minutes. Only a right PIN ends the series, so
// reconnecting gains nothing, and the state is kept in the settings store by
// the server, so restarting the agent gains nothing either.
//
// Times are wall-clock milliseconds since the epoch, because the end of a
// lock-out must mean the same after a restart. The wall clock may jump: a
// lock-out never lasts longer than its own length from the moment it is
// looked at (a clock set back, or a stored end far in the future, is pulled
// in to that length), so a clock change can shorten a lock-out but never
// lengthen it.
class PinGuard
{
public:
    static constexpr int wrongBeforeLockOut = 3;
    static constexpr qint64 firstLockOutMs = 10 * 1000;
    static constexpr qint64 maxLockOutMs = 10 * 60 * 1000;

    // What is kept across restarts.
    struct State
    {
        int wrongInRow = 0;
        int lockOuts = 0;         // lock-outs in the current series
        qint64 lockedUntilMs = 0; // end of the last one, ms since the epoch
        bool operator==(const State& other) const
        {
            return wrongInRow == other.wrongInRow && lockOuts == other.lockOuts &&
                   lockedUntilMs == other.lockedUntilMs;
        }
        bool operator!=(const State& other) const { return !(*this == other); }
    };

    // Messages about the account that only a connection that has given the
    // PIN may receive (or any connection while no sign-in data is stored).
    // Which commands the PIN guards is a column of the server's command table.
    static bool showsAccount(const QString& info);

    PinGuard() = default;
    // Takes a stored state, repairing what no run of the agent can have
    // written (negative counts, an end more than the longest lock-out ahead).
    explicit PinGuard(const State& stored, qint64 nowMs);

    // Pulls a lock-out end that lies further ahead than the lock-out's own
    // length back to now + length (the clock was set back, or the stored
    // value was changed). Returns whether the state changed.
    bool settle(qint64 nowMs);
    bool isLockedOut(qint64 nowMs) const { return remainingMs(nowMs) > 0; }
    qint64 remainingMs(qint64 nowMs) const;
    // The length of the lock-out that the next wrong PIN would start (0: none yet).
    qint64 nextLockOutMs() const;
    // The length of the current (last started) lock-out; 0 when none.
    qint64 currentLockOutMs() const;
    int wrongInRow() const { return current.wrongInRow; }
    const State& state() const { return current; }

    void wrongPin(qint64 nowMs);
    void rightPin();

private:
    static qint64 lengthOf(int lockOut);
    State current;
};
