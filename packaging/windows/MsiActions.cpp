// Custom actions of the Windows Installer package (packaging/windows/corvane.wxs).
//
// The deferred actions here run as LocalSystem. Their input arrives as
// CustomActionData, never on a command line: the access key, the password and
// the PINs must not be visible to other users of the machine, and the package
// lists these actions in MsiHiddenProperties so that the installer's own log
// does not show their data either.
//
// - Store<Name>: writes one deployment value (ACCESSKEY, LOGIN, PASSWORD, PIN,
//   PROTOCOL) into the agent's settings key, subkey DEPLOY, which only SYSTEM
//   and Administrators may open. The agent takes these values once at its
//   next start, signs in with them and deletes them.
// - AskUninstallPin (an interactive removal without PIN=): "agentcorvane.exe
//   checkuninst", the tray program's prompt, as the NSIS installer does. Its
//   outcome is left to the check below, which reports a refusal.
// - CheckUninstallPin (immediate, so it runs as the user who removes the
//   package: SYSTEM in a deployment): puts the PIN property where the tray
//   program puts what the user typed and runs "agentcorvane.exe checkuninst
//   nogui", which tests it against the stored sign-in data without starting
//   the tray program. A refusal ends the removal with an error before the
//   installer has changed anything.
// - RefuseDowngrade: the error for a package older than the installed one.
// - MarkUpgrade, UnmarkUpgrade, DetectUpgrade: tell a package that a newer one
//   removes it (see freshUpgradeMark).
// - RunAgent: "<install dir>|<seconds>|<words>". Runs the agent with those
//   words and waits at most that long; a non-zero exit code or a time-out
//   fails the action.
// - WaitForAgent: "<seconds>|<USER values the sign-in leaves, by commas, or empty>".
//   Returns once the started agent answers DNS and has taken (and, with
//   credentials, used) the deployment values, so the machine is filtered when
//   msiexec returns; at most that long.
// - RemoveLeftovers: "<install dir>". Deletes what the programs wrote beside
//   themselves (log folders, downloaded root certificates) and the folders
//   that are then empty.
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <msi.h>
#include <msiquery.h>
#include <sddl.h>

#include <string>
#include <vector>

namespace {

const wchar_t agentKeyPath[] = L".DEFAULT\\Software\\Corvane\\Corvane Agent";

class Handle
{
public:
    explicit Handle(HANDLE value = nullptr) : value(value) {}
    ~Handle()
    {
        if (value && value != INVALID_HANDLE_VALUE)
            ::CloseHandle(value);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return value; }

private:
    HANDLE value;
};

class RegKey
{
public:
    RegKey() = default;
    ~RegKey()
    {
        if (value)
            ::RegCloseKey(value);
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    HKEY get() const { return value; }
    HKEY* out() { return &value; }

private:
    HKEY value = nullptr;
};

class MsiRecord
{
public:
    explicit MsiRecord(UINT fields) : value(::MsiCreateRecord(fields)) {}
    ~MsiRecord()
    {
        if (value)
            ::MsiCloseHandle(value);
    }
    MsiRecord(const MsiRecord&) = delete;
    MsiRecord& operator=(const MsiRecord&) = delete;
    MSIHANDLE get() const { return value; }

private:
    MSIHANDLE value;
};

class LocalMemory
{
public:
    LocalMemory() = default;
    ~LocalMemory()
    {
        if (value)
            ::LocalFree(value);
    }
    LocalMemory(const LocalMemory&) = delete;
    LocalMemory& operator=(const LocalMemory&) = delete;
    PSECURITY_DESCRIPTOR get() const { return value; }
    PSECURITY_DESCRIPTOR* out() { return &value; }

private:
    PSECURITY_DESCRIPTOR value = nullptr;
};

// A line in the installer's log (and nothing on the screen).
void logLine(MSIHANDLE install, const std::wstring& text)
{
    MsiRecord record(1);
    ::MsiRecordSetStringW(record.get(), 0, (L"Corvane Agent: " + text).c_str());
    ::MsiProcessMessage(install, INSTALLMESSAGE_INFO, record.get());
}

// An error the installer shows (with a user interface) or logs (without one).
void reportError(MSIHANDLE install, const std::wstring& text)
{
    MsiRecord record(1);
    ::MsiRecordSetStringW(record.get(), 0, (L"Corvane Agent: " + text).c_str());
    ::MsiProcessMessage(install, INSTALLMESSAGE(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR), record.get());
    logLine(install, text);
}

std::wstring property(MSIHANDLE install, const wchar_t* name)
{
    DWORD size = 0;
    wchar_t empty[1] = {L'\0'};
    if (::MsiGetPropertyW(install, name, empty, &size) != ERROR_MORE_DATA)
        return std::wstring();
    std::wstring value(size + 1, L'\0');
    size = static_cast<DWORD>(value.size());
    if (::MsiGetPropertyW(install, name, &value[0], &size) != ERROR_SUCCESS)
        return std::wstring();
    value.resize(size);
    return value;
}

std::wstring customActionData(MSIHANDLE install)
{
    return property(install, L"CustomActionData");
}

// Splits "head|rest" at the first separator; the rest may contain more of them.
std::wstring takeField(std::wstring& data, wchar_t separator = L'|')
{
    const std::wstring::size_type bar = data.find(separator);
    if (bar == std::wstring::npos) {
        std::wstring head = data;
        data.clear();
        return head;
    }
    std::wstring head = data.substr(0, bar);
    data.erase(0, bar + 1);
    return head;
}

std::wstring withSlash(std::wstring dir)
{
    if (!dir.empty() && dir.back() != L'\\')
        dir += L'\\';
    return dir;
}

// Opens (creating it when needed) a key below the agent's settings key that
// holds secrets: only SYSTEM and Administrators may open it, whatever the
// parent allows.
LONG openSecretKey(const std::wstring& subKey, RegKey& key)
{
    RegKey agent;
    LONG result = ::RegCreateKeyExW(HKEY_USERS, agentKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_CREATE_SUB_KEY | KEY_WOW64_64KEY, nullptr, agent.out(), nullptr);
    if (result != ERROR_SUCCESS)
        return result;
    LocalMemory descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)",
                                                                SDDL_REVISION_1, descriptor.out(), nullptr))
        return static_cast<LONG>(::GetLastError());
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor.get();
    DWORD disposition = 0;
    result =
        ::RegCreateKeyExW(agent.get(), subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_SET_VALUE | WRITE_DAC | KEY_WOW64_64KEY, &attributes, key.out(), &disposition);
    if (result != ERROR_SUCCESS)
        return result;
    // A key that was already there gets the same protection before a secret goes in.
    if (disposition == REG_OPENED_EXISTING_KEY)
        result = ::RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor.get());
    return result;
}

LONG writeSecret(const std::wstring& subKey, const wchar_t* name, const std::wstring& value)
{
    RegKey key;
    LONG result = openSecretKey(subKey, key);
    if (result != ERROR_SUCCESS)
        return result;
    return ::RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool valueExists(HKEY root, const std::wstring& path, const wchar_t* name)
{
    RegKey key;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.out()) != ERROR_SUCCESS)
        return false;
    if (!name)
        return true;
    return ::RegQueryValueExW(key.get(), name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// One lookup at 127.0.0.1:53; true when any answer with its ID came back
// within timeoutMs.
bool agentAnswers(DWORD timeoutMs)
{
    WSADATA data{};
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return false;
    bool answered = false;
    const SOCKET sock = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (sock != INVALID_SOCKET) {
        ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
                     sizeof(timeoutMs));
        sockaddr_in agent{};
        agent.sin_family = AF_INET;
        agent.sin_port = ::htons(53);
        agent.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
        // ID 0x4356, recursion desired, one question: localhost. A IN
        const char query[] = "\x43\x56\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00"
                             "\x09localhost\x00\x00\x01\x00\x01";
        if (::sendto(sock, query, sizeof(query) - 1, 0, reinterpret_cast<const sockaddr*>(&agent),
                     sizeof(agent)) > 0) {
            char answer[512];
            const int got = ::recv(sock, answer, sizeof(answer), 0);
            answered = got >= 12 && answer[0] == '\x43' && answer[1] == '\x56';
        }
        ::closesocket(sock);
    }
    ::WSACleanup();
    return answered;
}

// Removes a secret that its reader did not take (the agent deletes what it read).
void deleteSecret(const std::wstring& subKey, const wchar_t* name)
{
    RegKey key;
    if (::RegOpenKeyExW(HKEY_USERS, (std::wstring(agentKeyPath) + L"\\" + subKey).c_str(), 0,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, key.out()) == ERROR_SUCCESS)
        ::RegDeleteValueW(key.get(), name);
}

UINT storeDeploymentValue(MSIHANDLE install, const wchar_t* name)
{
    const std::wstring value = customActionData(install);
    if (value.empty())
        return ERROR_SUCCESS;
    const LONG result = writeSecret(L"DEPLOY", name, value);
    if (result != ERROR_SUCCESS) {
        reportError(install, std::wstring(L"could not store the deployment value ") + name + L" (error " +
                                 std::to_wstring(result) + L")");
        return ERROR_INSTALL_FAILURE;
    }
    // The name only: the value stays out of every log.
    logLine(install, std::wstring(L"deployment value ") + name + L" stored for the agent");
    return ERROR_SUCCESS;
}

enum class RunResult
{
    Exited,
    NotStarted,
    TimedOut
};

// Runs the agent without a window and waits at most timeoutMs for it.
RunResult runAgent(const std::wstring& dir, const std::wstring& words, DWORD timeoutMs, DWORD& exitCode)
{
    const std::wstring program = withSlash(dir) + L"agentcorvane.exe";
    std::wstring commandLine = L"\"" + program + L"\" " + words;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                          nullptr, dir.c_str(), &startup, &info))
        return RunResult::NotStarted;
    const Handle process(info.hProcess);
    const Handle thread(info.hThread);
    if (::WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), ERROR_TIMEOUT);
        ::WaitForSingleObject(process.get(), 5000);
        return RunResult::TimedOut;
    }
    exitCode = 1;
    ::GetExitCodeProcess(process.get(), &exitCode);
    return RunResult::Exited;
}

void removeMatching(const std::wstring& dir, const wchar_t* pattern)
{
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW((withSlash(dir) + pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            ::DeleteFileW((withSlash(dir) + found.cFileName).c_str());
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
}

// While a newer package removes this one (RemoveExistingProducts), the
// removal must ask for no PIN and keep the machine's state. Windows Installer
// tells the removed package through UPGRADINGPRODUCTCODE; wine runs the
// removal as a plain "msiexec /qn /i{code} REMOVE=ALL" without it. So the
// newer package also leaves a mark with the time, which counts for two
// minutes only.
const wchar_t installerKeyPath[] = L"SOFTWARE\\Corvane\\Corvane Agent\\Installer";
const wchar_t upgradeMarkName[] = L"UpgradeStarted";
constexpr ULONGLONG upgradeMarkLifetime = 120ULL * 10000000ULL; // 100 ns units

ULONGLONG now100ns()
{
    FILETIME time{};
    ::GetSystemTimeAsFileTime(&time);
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool freshUpgradeMark()
{
    RegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, installerKeyPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                        key.out()) != ERROR_SUCCESS)
        return false;
    ULONGLONG started = 0;
    DWORD size = sizeof(started);
    DWORD type = 0;
    if (::RegQueryValueExW(key.get(), upgradeMarkName, nullptr, &type, reinterpret_cast<BYTE*>(&started),
                           &size) != ERROR_SUCCESS ||
        type != REG_QWORD)
        return false;
    const ULONGLONG now = now100ns();
    return started <= now && now - started < upgradeMarkLifetime;
}

} // namespace

extern "C" {

__declspec(dllexport) UINT __stdcall StoreAccessKey(MSIHANDLE install)
{
    return storeDeploymentValue(install, L"ACCESSKEY");
}

__declspec(dllexport) UINT __stdcall StoreLogin(MSIHANDLE install)
{
    return storeDeploymentValue(install, L"LOGIN");
}

__declspec(dllexport) UINT __stdcall StorePassword(MSIHANDLE install)
{
    return storeDeploymentValue(install, L"PASSWORD");
}

__declspec(dllexport) UINT __stdcall StorePin(MSIHANDLE install)
{
    return storeDeploymentValue(install, L"PIN");
}

__declspec(dllexport) UINT __stdcall StoreProtocol(MSIHANDLE install)
{
    return storeDeploymentValue(install, L"PROTOCOL");
}

__declspec(dllexport) UINT __stdcall StoreFailMode(MSIHANDLE install)
{
    return storeDeploymentValue(install, L"FAILMODE");
}

__declspec(dllexport) UINT __stdcall CheckUninstallPin(MSIHANDLE install)
{
    // Immediate, before the installer writes its script: a refusal then ends
    // the removal before anything has been stopped or removed, with nothing
    // to roll back.
    const std::wstring dir = property(install, L"INSTALLDIR");
    const std::wstring pin = property(install, L"PIN");
    // With the full UI and no PIN= the tray program has just asked the user
    // (AskUninstallPin); its answer is the permission this check finds.
    const bool askedThroughTrayProgram =
        pin.empty() && std::wcstoul(property(install, L"UILevel").c_str(), nullptr, 10) >= 5;
    if (!pin.empty()) {
        const LONG result = writeSecret(L"CONTROL\\UNINSTALL", L"PIN", pin);
        if (result != ERROR_SUCCESS) {
            reportError(install, L"could not hand the PIN to the agent (error " + std::to_wstring(result) +
                                     L"); Corvane Agent stays installed.");
            return ERROR_INSTALL_FAILURE;
        }
    }
    DWORD exitCode = 1;
    const RunResult run = runAgent(dir, L"checkuninst nogui", 20000, exitCode);
    // However the check ended, the PIN does not stay behind.
    const DWORD runError = ::GetLastError();
    deleteSecret(L"CONTROL\\UNINSTALL", L"PIN");
    if (run == RunResult::Exited && exitCode == 0) {
        logLine(install, L"the PIN check allows the removal");
        return ERROR_SUCCESS;
    }
    if (run == RunResult::NotStarted) {
        reportError(install, L"the agent could not be started to check the PIN (error " +
                                 std::to_wstring(runError) + L"); Corvane Agent stays installed.");
    } else if (run == RunResult::TimedOut) {
        reportError(install, L"the PIN check did not finish within 20 s; Corvane Agent stays installed.");
    } else if (askedThroughTrayProgram) {
        reportError(install, L"the PIN typed into the prompt does not match the PIN that protects the "
                             L"sign-in data, or the prompt was closed. Corvane Agent stays installed.");
    } else if (pin.empty()) {
        reportError(install, L"no PIN was given, and this computer's sign-in data is protected by a PIN: "
                             L"remove it with PIN=<pin> on the msiexec command line. Corvane Agent stays "
                             L"installed.");
    } else {
        reportError(install, L"the PIN given in PIN= does not match the PIN that protects the sign-in "
                             L"data. Corvane Agent stays installed.");
    }
    return ERROR_INSTALL_FAILURE;
}

__declspec(dllexport) UINT __stdcall MarkUpgrade(MSIHANDLE install)
{
    RegKey key;
    LONG result = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, installerKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.out(), nullptr);
    const ULONGLONG started = now100ns();
    if (result == ERROR_SUCCESS)
        result = ::RegSetValueExW(key.get(), upgradeMarkName, 0, REG_QWORD,
                                  reinterpret_cast<const BYTE*>(&started), sizeof(started));
    // Without the mark an older package built for wine would ask for the PIN;
    // on Windows UPGRADINGPRODUCTCODE still tells it.
    logLine(install, result == ERROR_SUCCESS
                         ? L"upgrade started"
                         : L"upgrade started (no mark: error " + std::to_wstring(result) + L")");
    return ERROR_SUCCESS;
}

__declspec(dllexport) UINT __stdcall UnmarkUpgrade(MSIHANDLE)
{
    RegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, installerKeyPath, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                        key.out()) == ERROR_SUCCESS)
        ::RegDeleteValueW(key.get(), upgradeMarkName);
    return ERROR_SUCCESS;
}

__declspec(dllexport) UINT __stdcall DetectUpgrade(MSIHANDLE install)
{
    if (!property(install, L"UPGRADINGPRODUCTCODE").empty() || freshUpgradeMark()) {
        ::MsiSetPropertyW(install, L"CORVANE_UPGRADE", L"1");
        logLine(install, L"removed by a newer version: no PIN asked, the machine's state is kept");
    }
    return ERROR_SUCCESS;
}

__declspec(dllexport) UINT __stdcall WaitForAgent(MSIHANDLE install)
{
    // "<seconds>|<what the sign-in leaves: empty, or USER values by commas>".
    // msiexec returns once the agent answers on port 53, has taken the
    // deployment values and, when credentials were given, has signed in; at
    // most that long. The DNS token is among the values: in directory mode
    // it comes from the machine's registration, a moment after the PIN. A
    // slow start is reported, not failed: the service runs and keeps trying.
    std::wstring data = customActionData(install);
    const DWORD seconds = static_cast<DWORD>(std::wcstoul(takeField(data).c_str(), nullptr, 10));
    std::vector<std::wstring> signInValues;
    while (!data.empty())
        signInValues.push_back(takeField(data, L','));
    const std::wstring agentKey = agentKeyPath;
    const ULONGLONG deadline = ::GetTickCount64() + seconds * 1000ULL;
    for (;;) {
        const bool taken = !valueExists(HKEY_USERS, agentKey + L"\\DEPLOY", nullptr);
        bool signedIn = true;
        for (const std::wstring& value : signInValues)
            signedIn = signedIn && valueExists(HKEY_USERS, agentKey + L"\\USER", value.c_str());
        if (taken && signedIn && agentAnswers(1000)) {
            logLine(install, L"the agent answers on 127.0.0.1:53" +
                                 std::wstring(signInValues.empty() ? L"" : L" and has signed in"));
            return ERROR_SUCCESS;
        }
        if (::GetTickCount64() >= deadline) {
            logLine(install, L"the agent was not ready within " + std::to_wstring(seconds) +
                                 L" s (deployment values taken: " + (taken ? L"yes" : L"no") +
                                 L", signed in: " + (signedIn ? L"yes" : L"no") +
                                 L"); it goes on in the background, see its log");
            return ERROR_SUCCESS;
        }
        ::Sleep(250);
    }
}

__declspec(dllexport) UINT __stdcall RefuseDowngrade(MSIHANDLE install)
{
    reportError(install, L"a newer version of Corvane Agent is already installed. Remove it first to "
                         L"install this older version.");
    return ERROR_INSTALL_FAILURE;
}

__declspec(dllexport) UINT __stdcall RunAgent(MSIHANDLE install)
{
    std::wstring data = customActionData(install);
    const std::wstring dir = takeField(data);
    const DWORD seconds = static_cast<DWORD>(std::wcstoul(takeField(data).c_str(), nullptr, 10));
    const std::wstring& words = data;
    DWORD exitCode = 1;
    const RunResult run = runAgent(dir, words, seconds * 1000, exitCode);
    if (run == RunResult::Exited && exitCode == 0) {
        logLine(install, L"\"agentcorvane.exe " + words + L"\" done");
        return ERROR_SUCCESS;
    }
    if (run == RunResult::NotStarted)
        reportError(install, L"\"agentcorvane.exe " + words + L"\" could not be started (error " +
                                 std::to_wstring(::GetLastError()) + L")");
    else if (run == RunResult::TimedOut)
        reportError(install, L"\"agentcorvane.exe " + words + L"\" did not finish within " +
                                 std::to_wstring(seconds) + L" s");
    else
        reportError(install, L"\"agentcorvane.exe " + words + L"\" failed (exit code " +
                                 std::to_wstring(exitCode) + L")");
    return ERROR_INSTALL_FAILURE;
}

__declspec(dllexport) UINT __stdcall RemoveLeftovers(MSIHANDLE install)
{
    const std::wstring dir = withSlash(customActionData(install));
    if (dir.size() < 4)
        return ERROR_SUCCESS;
    const std::wstring gui = dir + L"agentcorvanegui\\";
    removeMatching(dir + L"log", L"*");
    removeMatching(gui + L"log", L"*");
    removeMatching(dir, L"*.crt");
    // Only folders that are empty by now go; anything else someone put there
    // stays. The installer may still be removing its own files for a moment:
    // a few more tries, at most 5 s.
    for (int attempt = 0; attempt < 25; ++attempt) {
        for (const std::wstring& folder : {dir + L"log", gui + L"log", gui + L"platforms", gui + L"styles",
                                           gui + L"imageformats", gui, dir})
            ::RemoveDirectoryW(folder.c_str());
        if (::GetFileAttributesW(dir.c_str()) == INVALID_FILE_ATTRIBUTES)
            break;
        ::Sleep(200);
    }
    logLine(install, L"logs and downloaded certificates removed");
    return ERROR_SUCCESS;
}

} // extern "C"
