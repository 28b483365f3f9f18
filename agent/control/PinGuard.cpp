#include "PinGuard.h"

#include "MessageNames.h"

#include <algorithm>

bool PinGuard::needsPin(const QString& info)
{
    // CREATEPIN and CHANGENETINTERFACE belong here as well: a new PIN would
    // open every other command, and an interface switched off is filtering
    // switched off for it.
    static const char* const guarded[] = {
        MessageNames::StatusFilteringLocal,
        MessageNames::ChangeDnsProtocol,
        MessageNames::SetProfileId,
        MessageNames::ChangeStatusLog,
        MessageNames::Logout,
        MessageNames::CheckAuth,
        MessageNames::CreatePin,
        MessageNames::ChangeNetInterface,
    };
    return std::any_of(std::begin(guarded), std::end(guarded),
                       [&info](const char* name) { return info == QLatin1String(name); });
}

qint64 PinGuard::nextLockOutMs() const
{
    if (lockOuts == 0)
        return wrongCount + 1 >= wrongBeforeLockOut ? firstLockOutMs : 0;
    // Doubling stops long before the shift could overflow.
    const int doublings = std::min(lockOuts, 16);
    return std::min(firstLockOutMs << doublings, maxLockOutMs);
}

void PinGuard::wrongPin(qint64 nowMs)
{
    const qint64 length = nextLockOutMs();
    ++wrongCount;
    if (length == 0)
        return;
    lockedUntilMs = nowMs + length;
    ++lockOuts;
}

void PinGuard::rightPin()
{
    wrongCount = 0;
    lockOuts = 0;
    lockedUntilMs = 0;
}
