#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

// The system report, the debug information and its upload for the control
// commands, without holding the agent thread. The diagnostics (external
// programs, each limited in time) run on a thread of their own and their
// result comes back queued; the system report and the upload are backend
// round trips on the agent thread, started outside the command's own handler.
// For each kind there is one run at a time: a request made while one runs
// gets the same result, a result younger than its freshness bound is given
// again without a new run, and a debug request is answered within a bound
// even when the programs hang (with the last result, or empty outputs).
class ReportRunner : public QObject
{
    Q_OBJECT

public:
    struct Limits
    {
        // The system report runs no program and shows the sign-in state,
        // which a command just before it may have changed: only requests
        // made while one runs share it.
        int systemFreshMs = 0;
        int debugFreshMs = 30000;
        int uploadFreshMs = 30000;
        // Each of the two diagnostics.
        int programTimeoutMs = 20000;
        // A debug request is answered within this.
        int debugBoundMs = 45000;
    };
    using TextReply = std::function<void(const QString&)>;
    using SentReply = std::function<void(bool)>;

    explicit ReportRunner(QObject* parent = nullptr);
    explicit ReportRunner(Limits limits, QObject* parent = nullptr);
    ~ReportRunner() override;

    // Each reply is called on this object's thread, never within the request
    // itself, and not at all once `context` is gone.
    void requestSystemInfo(QObject* context, TextReply reply);
    void requestDebugInfo(QObject* context, TextReply reply);
    void requestSendDebugInfo(QObject* context, SentReply reply);

    // What builds the system report (UserData::getSystemInfo unless replaced).
    void setSystemInfoSource(std::function<QString()> source) { systemSource = std::move(source); }

    // Runs of the diagnostics started so far.
    int debugRuns() const { return debugRunCount; }
    bool debugRunning() const { return debugThread != nullptr; }

private:
    template <typename Reply> struct Waiter
    {
        QPointer<QObject> context;
        Reply reply;
    };
    struct Collected;

    void startDebugRun();
    void debugCollected(const QString& info);
    void debugOverdue();
    void runSystemInfo();
    void runUpload(const QString& info);
    void answerDebug(const QString& info);
    static void answerLater(QObject* context, TextReply reply, const QString& text);

    const Limits limits;

    std::function<QString()> systemSource;
    std::vector<Waiter<TextReply>> systemWaiters;
    bool systemRunning = false;
    QString lastSystem;
    QElapsedTimer systemAt;

    std::vector<Waiter<TextReply>> debugWaiters;
    QThread* debugThread = nullptr;
    QElapsedTimer debugStarted;
    QTimer debugDeadline;
    QString lastDebug;
    QElapsedTimer debugAt;
    int debugRunCount = 0;

    std::vector<Waiter<SentReply>> uploadWaiters;
    bool uploading = false;
    bool lastUploadSent = false;
    QElapsedTimer uploadAt;
};
