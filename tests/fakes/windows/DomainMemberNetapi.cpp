// A stand-in for the system's netapi32.dll on a wine machine, which has no
// directory domain: it answers the primary-domain question the way a
// workstation joined to the domain "corp.example.test" does, so the agent's
// directory mode runs end to end under wine. Loaded only by agentcorvane.exe
// (a per-program DLL override in the test's prefix); the two functions Qt's
// core library imports from netapi32 answer as on a machine without shares.
#include <windows.h>

#include <dsrole.h>
#include <lm.h>

#include <cstring>

extern "C" {

static const wchar_t domainDns[] = L"corp.example.test";
static const wchar_t domainFlat[] = L"CORP";

DWORD WINAPI DsRoleGetPrimaryDomainInformation(LPCWSTR server, DSROLE_PRIMARY_DOMAIN_INFO_LEVEL level,
                                               PBYTE* buffer)
{
    if (!buffer)
        return ERROR_INVALID_PARAMETER;
    *buffer = nullptr;
    if (server || level != DsRolePrimaryDomainInfoBasic)
        return ERROR_NOT_SUPPORTED;
    // One block: the record, then the two names it points at.
    const SIZE_T bytes = sizeof(DSROLE_PRIMARY_DOMAIN_INFO_BASIC) + sizeof domainDns + sizeof domainFlat;
    auto* block = static_cast<BYTE*>(::LocalAlloc(LPTR, bytes));
    if (!block)
        return ERROR_NOT_ENOUGH_MEMORY;
    auto* info = reinterpret_cast<PDSROLE_PRIMARY_DOMAIN_INFO_BASIC>(block);
    auto* dns = reinterpret_cast<wchar_t*>(block + sizeof *info);
    auto* flat = reinterpret_cast<wchar_t*>(block + sizeof *info + sizeof domainDns);
    std::memcpy(dns, domainDns, sizeof domainDns);
    std::memcpy(flat, domainFlat, sizeof domainFlat);
    info->MachineRole = DsRole_RoleMemberWorkstation;
    info->DomainNameFlat = flat;
    info->DomainNameDns = dns;
    info->DomainForestName = dns;
    *buffer = block;
    return ERROR_SUCCESS;
}

VOID WINAPI DsRoleFreeMemory(PVOID buffer)
{
    ::LocalFree(buffer);
}

NET_API_STATUS WINAPI NetApiBufferFree(LPVOID buffer)
{
    ::LocalFree(buffer);
    return NERR_Success;
}

NET_API_STATUS WINAPI NetShareEnum(LMSTR, DWORD, LPBYTE* buffer, DWORD, LPDWORD read, LPDWORD total, LPDWORD)
{
    if (buffer)
        *buffer = nullptr;
    if (read)
        *read = 0;
    if (total)
        *total = 0;
    return NERR_Success;
}
} // extern "C"
