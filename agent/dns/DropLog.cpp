#include "dns/DropLog.h"

bool DropLog::count(qint64 nowMs)
{
    ++dropped;
    if (!started || nowMs - windowStart >= windowMs) {
        started = true;
        windowStart = nowMs;
        linesInWindow = 0;
    }
    if (linesInWindow >= burst) {
        ++unlogged;
        return false;
    }
    ++linesInWindow;
    return true;
}

quint64 DropLog::takeUnlogged()
{
    const quint64 value = unlogged;
    unlogged = 0;
    return value;
}
