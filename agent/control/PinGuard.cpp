#include "control/PinGuard.h"

#include "common/MessageNames.h"

#include <algorithm>

namespace {

bool listed(const QString& info, const char* const* begin, const char* const* end)
{
    return std::any_of(begin, end, [&info](const char* name) { return info == QLatin1String(name); });
}

} // namespace

bool PinGuard::showsAccount(const QString& info)
{
    static const char* const account[] = {
        MessageNames::UserInfo,
        MessageNames::Profiles,
        MessageNames::StatusFilteringServer,
    };
    return listed(info, std::begin(account), std::end(account));
}

PinGuard::PinGuard(const State& stored, qint64 nowMs) : current(stored)
{
    current.wrongInRow = std::max(0, current.wrongInRow);
    // Beyond the point where the length stops doubling the count changes nothing.
    current.lockOuts = std::clamp(current.lockOuts, 0, 64);
    if (current.lockOuts == 0)
        current.lockedUntilMs = 0;
    settle(nowMs);
}

qint64 PinGuard::lengthOf(int lockOut)
{
    if (lockOut <= 0)
        return 0;
    // Doubling stops long before the shift could overflow.
    const int doublings = std::min(lockOut - 1, 16);
    return std::min(firstLockOutMs << doublings, maxLockOutMs);
}

bool PinGuard::settle(qint64 nowMs)
{
    const qint64 length = currentLockOutMs();
    if (length == 0 || current.lockedUntilMs - nowMs <= length)
        return false;
    current.lockedUntilMs = nowMs + length;
    return true;
}

qint64 PinGuard::remainingMs(qint64 nowMs) const
{
    if (current.lockOuts == 0 || nowMs >= current.lockedUntilMs)
        return 0;
    return std::min(current.lockedUntilMs - nowMs, currentLockOutMs());
}

qint64 PinGuard::nextLockOutMs() const
{
    if (current.lockOuts == 0)
        return current.wrongInRow + 1 >= wrongBeforeLockOut ? firstLockOutMs : 0;
    return lengthOf(current.lockOuts + 1);
}

qint64 PinGuard::currentLockOutMs() const
{
    return lengthOf(current.lockOuts);
}

void PinGuard::wrongPin(qint64 nowMs)
{
    const qint64 length = nextLockOutMs();
    if (current.wrongInRow < 1000000)
        ++current.wrongInRow;
    if (length == 0)
        return;
    current.lockedUntilMs = nowMs + length;
    current.lockOuts = std::min(current.lockOuts + 1, 64);
}

void PinGuard::rightPin()
{
    current = State();
}
