#include "common/RunGuard.h"

#include <QCryptographicHash>

RunGuard::RunGuard(const QString& guardKey)
    : key(guardKey), memLockKey(generateKeyHash(guardKey, QStringLiteral("_memLockKey"))),
      sharedMemKey(generateKeyHash(guardKey, QStringLiteral("_sharedMemKey"))), sharedMem(sharedMemKey),
      memLock(memLockKey, 1, QSystemSemaphore::Open)
{
    // Attaching and detaching once releases a segment left behind by an
    // instance that died, on systems (Unix) that keep such segments.
    QSharedMemory fix(sharedMemKey);
    fix.attach();
}

RunGuard::~RunGuard()
{
    release();
}

bool RunGuard::tryToRun()
{
    memLock.acquire();
    const bool created = sharedMem.create(8);
    memLock.release();
    return created;
}

void RunGuard::release()
{
    memLock.acquire();
    if (sharedMem.isAttached())
        sharedMem.detach();
    memLock.release();
}

QString RunGuard::generateKeyHash(const QString& key, const QString& salt)
{
    QByteArray data = key.toUtf8();
    data.append(salt.toUtf8());
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}
