#include "common/windows/WinKeySecurity.h"

#include <sddl.h>

#include <vector>

namespace {

LONG applyTree(HKEY key, PSECURITY_DESCRIPTOR descriptor, int depth)
{
    LONG status =
        ::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, descriptor);
    if (status != ERROR_SUCCESS)
        return status;
    // The settings key is two levels deep at most (CONTROL/UNINSTALL); the
    // bound keeps a hostile tree from recursing without end.
    if (depth >= 8)
        return ERROR_SUCCESS;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD length = sizeof name / sizeof name[0];
        const LONG listed = ::RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (listed == ERROR_NO_MORE_ITEMS)
            break;
        if (listed != ERROR_SUCCESS)
            return listed;
        HKEY opened = nullptr;
        status = ::RegOpenKeyExW(key, name, 0, WRITE_DAC | READ_CONTROL | KEY_ENUMERATE_SUB_KEYS, &opened);
        if (status != ERROR_SUCCESS)
            return status;
        const RegistryKey child(opened);
        status = applyTree(child.get(), descriptor, depth + 1);
        if (status != ERROR_SUCCESS)
            return status;
    }
    return ERROR_SUCCESS;
}

} // namespace

bool WinKeySecurity::restrict(HKEY root, const std::wstring& subKey, DWORD* error)
{
    PSECURITY_DESCRIPTOR made = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(restrictedSddl(), SDDL_REVISION_1, &made,
                                                                nullptr)) {
        *error = ::GetLastError();
        return false;
    }
    const LocalMemory descriptor(made);
    HKEY created = nullptr;
    LONG status =
        ::RegCreateKeyExW(root, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          WRITE_DAC | READ_CONTROL | KEY_ENUMERATE_SUB_KEYS, nullptr, &created, nullptr);
    if (status != ERROR_SUCCESS) {
        *error = static_cast<DWORD>(status);
        return false;
    }
    const RegistryKey key(created);
    status = applyTree(key.get(), descriptor.get(), 0);
    if (status != ERROR_SUCCESS) {
        *error = static_cast<DWORD>(status);
        return false;
    }
    *error = ERROR_SUCCESS;
    return true;
}

std::wstring WinKeySecurity::daclSddl(HKEY root, const std::wstring& subKey)
{
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(root, subKey.c_str(), 0, READ_CONTROL, &opened) != ERROR_SUCCESS)
        return std::wstring();
    const RegistryKey key(opened);
    DWORD size = 0;
    ::RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, nullptr, &size);
    if (size == 0)
        return std::wstring();
    std::vector<unsigned char> buffer(size);
    if (::RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, buffer.data(), &size) != ERROR_SUCCESS)
        return std::wstring();
    LPWSTR text = nullptr;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(buffer.data(), SDDL_REVISION_1,
                                                                DACL_SECURITY_INFORMATION, &text, nullptr))
        return std::wstring();
    const LocalMemory owned(text);
    return std::wstring(text);
}
