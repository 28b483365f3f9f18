#pragma once

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Records every log message (any thread) while it exists, and passes each on
// to the handler that was installed before it.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Messages seen so far that contain `text`.
    int count(const QString& text) const;
    bool contains(const QString& text) const { return count(text) > 0; }
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& message);

    mutable QMutex mutex;
    QStringList messages;
    QtMessageHandler previous = nullptr;
};
