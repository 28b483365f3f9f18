#include "tests/testlib/LogCapture.h"

#include <QMutex>
#include <QMutexLocker>

namespace {

// One lock for the installed capture and its lines: a message logged on
// another thread while the capture ends either lands before the end or
// finds no capture (never a capture being destroyed).
QMutex mutex;
LogCapture* active = nullptr;
// What the installed handler forwards to; kept after the capture ends for a
// message that was already on its way into the handler then.
QtMessageHandler forwardTo = nullptr;
QtMessageHandler teeTo = nullptr;
LogCapture::Forward forwarding = LogCapture::Forward::Everything;

bool forwards(LogCapture::Forward forward, QtMsgType type)
{
    switch (forward) {
    case LogCapture::Forward::Nothing:
        return false;
    case LogCapture::Forward::AboveDebug:
        return type != QtDebugMsg;
    case LogCapture::Forward::Everything:
        return true;
    }
    return true;
}

} // namespace

LogCapture::LogCapture(Forward forward, QtMessageHandler tee)
{
    QMutexLocker lock(&mutex);
    if (active) {
        lock.unlock();
        qFatal("LogCapture: a second capture while another one is active");
    }
    // Installed under the lock: a message of another thread waits in the
    // handler until the capture is complete.
    previous = qInstallMessageHandler(&LogCapture::handler);
    active = this;
    forwardTo = previous;
    forwarding = forward;
    teeTo = tee;
}

LogCapture::~LogCapture()
{
    QMutexLocker lock(&mutex);
    qInstallMessageHandler(previous);
    active = nullptr;
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    QtMessageHandler next = nullptr;
    QtMessageHandler tee = nullptr;
    {
        QMutexLocker lock(&mutex);
        if (active)
            active->captured.append(
                Line{type, QString::fromLatin1(context.category ? context.category : ""), message});
        if (forwards(forwarding, type))
            next = forwardTo;
        tee = teeTo;
    }
    // Outside the lock: a handler further on may log in turn.
    if (tee)
        tee(type, context, message);
    if (next)
        next(type, context, message);
}

int LogCapture::count(QtMsgType type, const QString& category, const QString& message) const
{
    QMutexLocker lock(&mutex);
    int found = 0;
    for (const Line& line : captured)
        found += line.type == type && line.category == category && line.message == message ? 1 : 0;
    return found;
}

int LogCapture::countExact(const QString& message) const
{
    QMutexLocker lock(&mutex);
    int found = 0;
    for (const Line& line : captured)
        found += line.message == message ? 1 : 0;
    return found;
}

int LogCapture::countContaining(const QString& text, int from) const
{
    QMutexLocker lock(&mutex);
    int found = 0;
    for (int i = qMax(from, 0); i < captured.size(); ++i)
        found += captured.at(i).text().contains(text) ? 1 : 0;
    return found;
}

int LogCapture::countContaining(QtMsgType type, const QString& category, const QString& text) const
{
    QMutexLocker lock(&mutex);
    int found = 0;
    for (const Line& line : captured)
        found += line.type == type && line.category == category && line.message.contains(text) ? 1 : 0;
    return found;
}

int LogCapture::countPrefix(const QString& category, const QString& prefix) const
{
    QMutexLocker lock(&mutex);
    int found = 0;
    for (const Line& line : captured)
        found += line.category == category && line.message.startsWith(prefix) ? 1 : 0;
    return found;
}

QStringList LogCapture::messages(const QString& category) const
{
    QMutexLocker lock(&mutex);
    QStringList found;
    for (const Line& line : captured) {
        if (line.category == category)
            found.append(line.message);
    }
    return found;
}

QStringList LogCapture::takeMessages(const QString& category)
{
    QMutexLocker lock(&mutex);
    QStringList found;
    for (auto it = captured.begin(); it != captured.end();) {
        if (it->category == category) {
            found.append(it->message);
            it = captured.erase(it);
        } else {
            ++it;
        }
    }
    return found;
}

int LogCapture::size() const
{
    QMutexLocker lock(&mutex);
    return captured.size();
}

QList<LogCapture::Line> LogCapture::lines() const
{
    QMutexLocker lock(&mutex);
    return captured;
}

void LogCapture::clear()
{
    QMutexLocker lock(&mutex);
    captured.clear();
}
