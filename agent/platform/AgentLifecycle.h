#pragma once

class QCoreApplication;

// Hands the service's stop request to the agent thread and lets the stopping
// side wait until the agent thread has really finished its shutdown (the
// interfaces' DNS values are restored on the way out). Thread-safe.
class AgentLifecycle
{
public:
    // The agent thread announces its application object once it exists and
    // withdraws it before destroying it. A stop requested before the
    // application existed is delivered as soon as it is announced.
    static void applicationCreated(QCoreApplication* application);
    static void applicationDestroying();

    // Posts a quit event to the agent's application (from any thread).
    static void requestQuit();
    static bool quitRequested();

    // The agent thread's entry reports its start and its end.
    static void agentStarted();
    static void agentFinished(int exitCode);
    // Waits until the agent thread has finished, at most `timeoutMs`
    // (negative: without limit). True when it has finished.
    static bool waitAgentFinished(int timeoutMs);
    static bool agentRunning();
    static int agentExitCode();

    // Back to the state at process start (tests run several agents in one process).
    static void reset();
};
