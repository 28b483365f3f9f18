#pragma once

#include <QSharedMemory>
#include <QString>
#include <QSystemSemaphore>

// Machine-wide single-instance guard: the first instance creates a small
// shared segment under a key derived from its guard key and keeps it while it
// lives; later instances fail to create it.
class RunGuard
{
public:
    explicit RunGuard(const QString& key);
    ~RunGuard();
    RunGuard(const RunGuard&) = delete;
    RunGuard& operator=(const RunGuard&) = delete;

    bool tryToRun();
    void release();

    // SHA-256 of the UTF-8 key followed by the UTF-8 salt, as 64 lower-case hex digits.
    static QString generateKeyHash(const QString& key, const QString& salt);

private:
    const QString key;
    const QString memLockKey;
    const QString sharedMemKey;
    QSharedMemory sharedMem;
    QSystemSemaphore memLock;
};
