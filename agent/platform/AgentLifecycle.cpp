#include "platform/AgentLifecycle.h"

#include <QCoreApplication>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {
std::mutex mutex;
std::condition_variable finishedCondition;
QCoreApplication* application = nullptr;
bool stopRequested = false;
bool running = false;
int exitCode = 0;

void postQuit(QCoreApplication* app)
{
    // Not a posted QEvent::Quit: every event loop that starts (the
    // application's own exec() included) removes pending Quit events, so a
    // stop requested during start-up or while a request waits in a local loop
    // would be lost. A queued call survives them and ends every loop at once.
    QMetaObject::invokeMethod(
        app, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}
} // namespace

void AgentLifecycle::applicationCreated(QCoreApplication* app)
{
    std::lock_guard<std::mutex> lock(mutex);
    application = app;
    if (stopRequested)
        postQuit(app);
}

void AgentLifecycle::applicationDestroying()
{
    std::lock_guard<std::mutex> lock(mutex);
    application = nullptr;
}

void AgentLifecycle::requestQuit()
{
    std::lock_guard<std::mutex> lock(mutex);
    stopRequested = true;
    if (application)
        postQuit(application);
}

bool AgentLifecycle::quitRequested()
{
    std::lock_guard<std::mutex> lock(mutex);
    return stopRequested;
}

void AgentLifecycle::agentStarted()
{
    std::lock_guard<std::mutex> lock(mutex);
    running = true;
}

void AgentLifecycle::agentFinished(int code)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        running = false;
        exitCode = code;
    }
    finishedCondition.notify_all();
}

bool AgentLifecycle::waitAgentFinished(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (timeoutMs < 0) {
        finishedCondition.wait(lock, [] { return !running; });
        return true;
    }
    return finishedCondition.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return !running; });
}

bool AgentLifecycle::agentRunning()
{
    std::lock_guard<std::mutex> lock(mutex);
    return running;
}

int AgentLifecycle::agentExitCode()
{
    std::lock_guard<std::mutex> lock(mutex);
    return exitCode;
}

void AgentLifecycle::reset()
{
    std::lock_guard<std::mutex> lock(mutex);
    application = nullptr;
    stopRequested = false;
    running = false;
    exitCode = 0;
}
