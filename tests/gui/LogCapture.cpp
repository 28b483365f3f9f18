#include "tests/gui/LogCapture.h"

#include <QMutex>
#include <QMutexLocker>

namespace {
QMutex mutex;
QList<LogCapture::Line> captured;
QtMessageHandler previous = nullptr;

void capture(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    QMutexLocker lock(&mutex);
    captured.append({type, QString::fromLatin1(context.category ? context.category : ""), message});
}
} // namespace

LogCapture::LogCapture()
{
    clear();
    previous = qInstallMessageHandler(capture);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previous);
}

int LogCapture::count(QtMsgType type, const QString& category, const QString& message) const
{
    QMutexLocker lock(&mutex);
    int n = 0;
    for (const Line& line : captured) {
        if (line.type == type && line.category == category && line.message == message)
            ++n;
    }
    return n;
}

int LogCapture::countPrefix(const QString& category, const QString& prefix) const
{
    QMutexLocker lock(&mutex);
    int n = 0;
    for (const Line& line : captured) {
        if (line.category == category && line.message.startsWith(prefix))
            ++n;
    }
    return n;
}

const QList<LogCapture::Line>& LogCapture::lines() const
{
    return captured;
}

void LogCapture::clear()
{
    QMutexLocker lock(&mutex);
    captured.clear();
}
