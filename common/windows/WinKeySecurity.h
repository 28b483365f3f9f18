#pragma once

#include "common/windows/WinHandle.h"

#include <string>

// The access list of the agent's settings key: full control for SYSTEM and
// the Administrators group only, not inherited from the parent key, so that
// no other local account reads the sign-in data, the PIN digest or the token,
// or writes an uninstall PIN. The tray program writes the uninstall PIN only
// while it runs elevated (as an administrator), which the list allows.
// Plain C++: no Qt.
namespace WinKeySecurity {

// "P": protected from inheritance; each entry inherited by subkeys created
// later (container inherit) and by their values' subkeys (object inherit).
inline const wchar_t* restrictedSddl()
{
    return L"D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)";
}

// Creates `subKey` below `root` if it is missing and gives it, and every
// subkey it already has, the restricted list. False with the Win32 error in
// `error` when any of it fails.
bool restrict(HKEY root, const std::wstring& subKey, DWORD* error);

// The access list (DACL) of a key in SDDL form, empty when it cannot be read.
std::wstring daclSddl(HKEY root, const std::wstring& subKey);

} // namespace WinKeySecurity
