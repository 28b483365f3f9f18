#include "platform/CertificateStore.h"

#include "platform/linux/FileCertificateStore.h"
#include "platform/windows/PowerShellCertificateStore.h"

#include <atomic>

namespace {

std::atomic<CertificateStore*> installed{nullptr};

CertificateStore& systemStore()
{
#ifdef Q_OS_WIN
    static PowerShellCertificateStore store;
#else
    static FileCertificateStore store;
#endif
    return store;
}

} // namespace

CertificateStore& CertificateStore::instance()
{
    CertificateStore* store = installed.load();
    return store != nullptr ? *store : systemStore();
}

void CertificateStore::setInstance(CertificateStore* store)
{
    installed.store(store);
}
