#pragma once

#include <QtGlobal>

// Counts messages dropped for one reason and bounds the log lines about
// them: whoever sends the agent forged or stray datagrams decides how many
// there are, not how much is written.
class DropLog
{
public:
    // At most this many lines per window of windowMs.
    static constexpr int burst = 10;
    static constexpr qint64 windowMs = 1000;

    // Counts one drop; true when a line about it may be written now.
    bool count(qint64 nowMs);
    // Drops not logged since the last line that was (then back to 0).
    quint64 takeUnlogged();
    quint64 total() const { return dropped; }

private:
    quint64 dropped = 0;
    quint64 unlogged = 0;
    qint64 windowStart = 0;
    int linesInWindow = 0;
    bool started = false;
};
