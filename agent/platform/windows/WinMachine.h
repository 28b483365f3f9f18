#pragma once

// Machine facts only Windows can tell, in plain C++: domain membership, the
// user of the active console session, and the product name and build.

// winsock2.h has to come before windows.h.
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <string>

class WinMachine
{
public:
    struct ProductInfo
    {
        std::wstring productName;
        unsigned long buildNumber = 0; // 0 when missing or not a number
    };

    // Where Windows keeps its product name and build number (below HKEY_LOCAL_MACHINE).
    static const wchar_t* const currentVersionKey;

    // The DNS name of the domain the machine is joined to (empty when it is
    // not joined). False when the question failed.
    static bool domainDnsName(std::wstring& domain, unsigned long* error = nullptr);
    // The user name of the active console session. False when there is no
    // console session or the query failed.
    static bool consoleUserName(std::wstring& user, unsigned long* error = nullptr);
    // Reads ProductName and CurrentBuildNumber below `root`\`subKey`
    // (HKEY_LOCAL_MACHINE and currentVersionKey for the running system).
    // False when the key cannot be opened.
    static bool readProductInfo(HKEY root, const wchar_t* subKey, ProductInfo& info);
    // A build number as the registry stores it (decimal text); 0 for anything else.
    static unsigned long parseBuildNumber(const std::wstring& text);
    // Windows 11 still calls itself "Windows 10" in ProductName; builds from
    // 22000 on are Windows 11.
    static std::wstring productNameForBuild(std::wstring productName, unsigned long buildNumber);
};
