#include "platform/windows/WinMachine.h"

#include "common/windows/WinHandle.h"

#include <dsrole.h>
#include <wtsapi32.h>

#include <vector>

const wchar_t* const WinMachine::currentVersionKey = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

namespace {
// Buffers the system allocates for us, each freed by its own function.
struct DsRoleBuffer
{
    PDSROLE_PRIMARY_DOMAIN_INFO_BASIC info = nullptr;
    ~DsRoleBuffer()
    {
        if (info)
            ::DsRoleFreeMemory(info);
    }
};

struct WtsBuffer
{
    LPWSTR text = nullptr;
    ~WtsBuffer()
    {
        if (text)
            ::WTSFreeMemory(text);
    }
};

bool readString(HKEY key, const wchar_t* value, std::wstring& out)
{
    DWORD bytes = 0;
    if (::RegGetValueW(key, nullptr, value, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) != ERROR_SUCCESS)
        return false;
    std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (::RegGetValueW(key, nullptr, value, RRF_RT_REG_SZ, nullptr, buffer.data(), &bytes) != ERROR_SUCCESS)
        return false;
    // RegGetValueW terminates the string; the byte count includes the terminator.
    out.assign(buffer.data());
    return true;
}
} // namespace

bool WinMachine::domainDnsName(std::wstring& domain, unsigned long* error)
{
    domain.clear();
    DsRoleBuffer buffer;
    const DWORD result = ::DsRoleGetPrimaryDomainInformation(nullptr, DsRolePrimaryDomainInfoBasic,
                                                             reinterpret_cast<PBYTE*>(&buffer.info));
    if (error)
        *error = result;
    if (result != ERROR_SUCCESS || !buffer.info)
        return false;
    if (buffer.info->DomainNameDns)
        domain = buffer.info->DomainNameDns;
    return true;
}

bool WinMachine::consoleUserName(std::wstring& user, unsigned long* error)
{
    user.clear();
    const DWORD session = ::WTSGetActiveConsoleSessionId();
    if (session == 0xFFFFFFFF) {
        if (error)
            *error = ERROR_NO_SUCH_LOGON_SESSION;
        return false;
    }
    WtsBuffer buffer;
    DWORD bytes = 0;
    if (!::WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName, &buffer.text,
                                       &bytes)) {
        if (error)
            *error = ::GetLastError();
        return false;
    }
    if (error)
        *error = ERROR_SUCCESS;
    if (!buffer.text)
        return true;
    // The answer is UTF-16 with its terminating zero counted in `bytes`.
    std::size_t length = bytes / sizeof(wchar_t);
    while (length > 0 && buffer.text[length - 1] == L'\0')
        --length;
    user.assign(buffer.text, length);
    return true;
}

unsigned long WinMachine::parseBuildNumber(const std::wstring& text)
{
    if (text.empty() || text.size() > 9)
        return 0;
    unsigned long value = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return 0;
        value = value * 10 + static_cast<unsigned long>(c - L'0');
    }
    return value;
}

bool WinMachine::readProductInfo(HKEY root, const wchar_t* subKey, ProductInfo& info)
{
    info = ProductInfo();
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(root, subKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened) != ERROR_SUCCESS)
        return false;
    const RegistryKey key(opened);
    readString(key.get(), L"ProductName", info.productName);
    std::wstring build;
    if (readString(key.get(), L"CurrentBuildNumber", build))
        info.buildNumber = parseBuildNumber(build);
    return true;
}

std::wstring WinMachine::productNameForBuild(std::wstring productName, unsigned long buildNumber)
{
    if (buildNumber <= 21999)
        return productName;
    for (std::size_t at = productName.find(L"10"); at != std::wstring::npos;
         at = productName.find(L"10", at + 2))
        productName.replace(at, 2, L"11");
    return productName;
}
