#include "backend/ReportRunner.h"

#include "settings/SettingsLogging.h"
#include "settings/SystemReport.h"
#include "settings/UserData.h"

#include <QThread>

#include <mutex>

// What the diagnostics' thread hands back: shared with it, so a runner that
// goes first leaves the thread nothing dangling.
struct ReportRunner::Collected
{
    std::mutex mutex;
    QString info;
};

ReportRunner::ReportRunner(QObject* parent) : ReportRunner(Limits{}, parent) {}

ReportRunner::ReportRunner(Limits limits, QObject* parent) : QObject(parent), limits(limits)
{
    debugDeadline.setSingleShot(true);
    connect(&debugDeadline, &QTimer::timeout, this, [this] { debugOverdue(); });
}

// A run still going ends on its own (each program has its limit) and then
// deletes its thread object; it only writes into its shared result.
ReportRunner::~ReportRunner() = default;

void ReportRunner::answerLater(QObject* context, TextReply reply, const QString& text)
{
    // Never from within the request: the command's handler has returned first.
    QTimer::singleShot(0, context, [reply = std::move(reply), text] { reply(text); });
}

void ReportRunner::requestSystemInfo(QObject* context, TextReply reply)
{
    if (!systemRunning && systemAt.isValid() && systemAt.elapsed() < limits.systemFreshMs) {
        answerLater(context, std::move(reply), lastSystem);
        return;
    }
    systemWaiters.push_back({context, std::move(reply)});
    if (systemRunning)
        return;
    systemRunning = true;
    QTimer::singleShot(0, this, [this] { runSystemInfo(); });
}

void ReportRunner::runSystemInfo()
{
    // The profiles are a backend round trip: requests that come meanwhile
    // join the waiters and get this report.
    const QString text = systemSource ? systemSource() : UserData::getSystemInfo();
    lastSystem = text;
    systemAt.start();
    systemRunning = false;
    std::vector<Waiter<TextReply>> waiting;
    waiting.swap(systemWaiters);
    for (Waiter<TextReply>& waiter : waiting) {
        if (waiter.context)
            waiter.reply(text);
    }
}

void ReportRunner::requestDebugInfo(QObject* context, TextReply reply)
{
    if (debugThread == nullptr && debugAt.isValid() && debugAt.elapsed() < limits.debugFreshMs) {
        answerLater(context, std::move(reply), lastDebug);
        return;
    }
    if (debugThread != nullptr && debugStarted.elapsed() >= limits.debugBoundMs) {
        // The run is overdue already: nobody waits for it any longer.
        answerLater(context, std::move(reply),
                    lastDebug.isEmpty() ? SystemReport::debugJson(QString(), QString()) : lastDebug);
        return;
    }
    debugWaiters.push_back({context, std::move(reply)});
    if (debugThread == nullptr)
        startDebugRun();
}

void ReportRunner::startDebugRun()
{
    ++debugRunCount;
    // Read here: the thread itself touches no settings.
    const QString domain = UserData::getDomainName();
    const int timeoutMs = limits.programTimeoutMs;
    auto collected = std::make_shared<Collected>();
    debugThread = QThread::create([collected, domain, timeoutMs] {
        const QString info = UserData::collectDebugInfo(domain, timeoutMs);
        std::lock_guard<std::mutex> lock(collected->mutex);
        collected->info = info;
    });
    debugThread->setObjectName(QStringLiteral("debug report"));
    QThread* thread = debugThread;
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    connect(thread, &QThread::finished, this, [this, collected] {
        QString info;
        {
            std::lock_guard<std::mutex> lock(collected->mutex);
            info = collected->info;
        }
        debugThread = nullptr;
        debugCollected(info);
    });
    qCInfo(user_data) << "debug report started";
    debugStarted.start();
    debugDeadline.start(limits.debugBoundMs);
    thread->start();
}

void ReportRunner::debugCollected(const QString& info)
{
    debugDeadline.stop();
    lastDebug = info;
    debugAt.start();
    qCInfo(user_data) << "debug report ready after" << debugStarted.elapsed() << "ms";
    answerDebug(info);
}

void ReportRunner::debugOverdue()
{
    qCWarning(user_data) << "debug report not ready after" << limits.debugBoundMs
                         << "ms: answered without waiting for it";
    answerDebug(lastDebug.isEmpty() ? SystemReport::debugJson(QString(), QString()) : lastDebug);
}

void ReportRunner::answerDebug(const QString& info)
{
    std::vector<Waiter<TextReply>> waiting;
    waiting.swap(debugWaiters);
    for (Waiter<TextReply>& waiter : waiting) {
        if (waiter.context)
            waiter.reply(info);
    }
}

void ReportRunner::requestSendDebugInfo(QObject* context, SentReply reply)
{
    if (!uploading && uploadAt.isValid() && uploadAt.elapsed() < limits.uploadFreshMs) {
        // Uploaded a moment ago: not again.
        const bool sent = lastUploadSent;
        QTimer::singleShot(0, context, [reply = std::move(reply), sent] { reply(sent); });
        return;
    }
    uploadWaiters.push_back({context, std::move(reply)});
    if (uploading)
        return;
    uploading = true;
    requestDebugInfo(this, [this](const QString& info) { runUpload(info); });
}

void ReportRunner::runUpload(const QString& info)
{
    const bool sent = UserData::sendDebugInfo(info);
    lastUploadSent = sent;
    uploadAt.start();
    uploading = false;
    std::vector<Waiter<SentReply>> waiting;
    waiting.swap(uploadWaiters);
    for (Waiter<SentReply>& waiter : waiting) {
        if (waiter.context)
            waiter.reply(sent);
    }
}
