#include "AgentLifecycle.h"

#include <QCoreApplication>
#include <QEvent>

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
    // postEvent is thread-safe; the event loop returns 0 on QEvent::Quit.
    QCoreApplication::postEvent(app, new QEvent(QEvent::Quit));
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
