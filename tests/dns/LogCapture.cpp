#include "tests/dns/LogCapture.h"

#include <QMutexLocker>

namespace {
LogCapture* active = nullptr;
}

LogCapture::LogCapture()
{
    active = this;
    previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previous);
    active = nullptr;
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    LogCapture* capture = active;
    if (!capture)
        return;
    {
        QMutexLocker lock(&capture->mutex);
        capture->messages.append(message);
    }
    if (capture->previous)
        capture->previous(type, context, message);
}

int LogCapture::count(const QString& text) const
{
    QMutexLocker lock(&mutex);
    int found = 0;
    for (const QString& message : messages) {
        if (message.contains(text))
            ++found;
    }
    return found;
}

void LogCapture::clear()
{
    QMutexLocker lock(&mutex);
    messages.clear();
}
