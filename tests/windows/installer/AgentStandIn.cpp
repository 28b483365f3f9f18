// Stands in for agentcorvane.exe when the installer is checked under wine:
// the same command-line words, the real service helpers, and a record of
// every call in C:\corvane-standin.log.

#include "WinService.h"

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace {
const char serviceName[] = "Corvane Agent";

void record(const std::string& line)
{
    std::FILE* log = std::fopen("C:\\corvane-standin.log", "ab");
    if (!log)
        return;
    std::fprintf(log, "%s\n", line.c_str());
    std::fclose(log);
}

std::mutex mutex;
std::condition_variable changed;
bool quit = false;
bool running = false;

int entry(int, char**)
{
    record("agent running");
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [] { return quit; });
    record("agent stopped");
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    std::string words;
    for (int i = 1; i < argc; ++i)
        words += std::string(i > 1 ? " " : "") + argv[i];
    record("called: " + words);
    const std::string word = argc > 1 ? argv[1] : "";
    if (word == "install") {
        WinService::installSelf(serviceName);
    } else if (word == "checkuninst") {
        // The tray program would ask for the PIN; a marker file refuses.
        const bool refused = std::fopen("C:\\corvane-refuse-uninstall", "rb") != nullptr;
        return refused ? 1 : 0;
    } else if (word == "uninstall") {
        WinService::uninstall(serviceName);
        return 0;
    }
    WinService::Hooks hooks;
    hooks.entry = entry;
    hooks.agentStarted = [] {
        std::lock_guard<std::mutex> lock(mutex);
        running = true;
    };
    hooks.agentFinished = [](int) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            running = false;
        }
        changed.notify_all();
    };
    hooks.requestQuit = [] {
        {
            std::lock_guard<std::mutex> lock(mutex);
            quit = true;
        }
        changed.notify_all();
    };
    hooks.waitAgentFinished = [](int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return !running; });
    };
    DWORD error = 0;
    if (!WinService::runDispatcher(serviceName, hooks, WinService::StopTiming(), &error))
        record("dispatcher failed " + std::to_string(error));
    std::fflush(nullptr);
    std::_Exit(0);
}
