#include "logging/LogQueue.h"

#include "logging/LogLine.h"

#include <QDateTime>

#include <algorithm>

LogQueue::LogQueue(Limits limits) : limits(limits) {}

bool LogQueue::admit(QtMsgType type, qsizetype size)
{
    switch (type) {
    case QtCriticalMsg:
    case QtFatalMsg:
        return true;
    case QtDebugMsg:
        if (queuedBytes + size <= limits.debugBytes)
            return true;
        ++droppedDebug;
        return false;
    default:
        if (queuedBytes + size <= limits.totalBytes)
            return true;
        ++droppedOther;
        return false;
    }
}

QByteArray& LogQueue::chunkFor(const QDate& day)
{
    if (chunks.isEmpty() || chunks.last().day != day)
        chunks.append(Chunk{day, QByteArray()});
    return chunks.last().bytes;
}

void LogQueue::append(QtMsgType type, qint64 msecsSinceEpoch, const char* category, const QString& message)
{
    // Floor division: the same split for times before 1970.
    qint64 second = msecsSinceEpoch / 1000;
    int milli = int(msecsSinceEpoch % 1000);
    if (milli < 0) {
        milli += 1000;
        --second;
    }
    if (second != stampSecond) {
        // The one local-time conversion per second (it looks up the time zone).
        const QDateTime local = QDateTime::fromMSecsSinceEpoch(second * 1000, Qt::LocalTime);
        secondText = local.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.")).toLatin1();
        secondDay = local.date();
        stampSecond = second;
    }
    const char digits[3] = {char('0' + milli / 100), char('0' + milli / 10 % 10), char('0' + milli % 10)};
    QByteArray& out = chunkFor(secondDay);
    const int before = out.size();
    out.append(secondText).append(digits, 3);
    LogLine::appendTail(out, type, category, message);
    queuedBytes += out.size() - before;
}

bool LogQueue::push(QtMsgType type, qint64 msecsSinceEpoch, const char* category, const QString& message)
{
    // The size of the line in plain ASCII: close enough for the bound (a
    // longer message is cut to the line's limit).
    const qsizetype size = timeLength + 12 + qsizetype(qstrlen(category)) +
                           std::min<qsizetype>(message.size(), LogLine::messageLimit + 40);
    if (!admit(type, size))
        return false;
    append(type, msecsSinceEpoch, category, message);
    return true;
}

bool LogQueue::pushRaw(QtMsgType type, const QDate& day, const QByteArray& text)
{
    if (!admit(type, text.size()))
        return false;
    chunkFor(day).append(text);
    queuedBytes += text.size();
    return true;
}

QVector<LogQueue::Chunk> LogQueue::take(qint64 msecsSinceEpoch)
{
    if (droppedDebug + droppedOther > 0) {
        const QString text = QStringLiteral("Dropped %1 log lines (%2 debug, %3 info or warning): the log "
                                            "writer could not keep up")
                                 .arg(droppedDebug + droppedOther)
                                 .arg(droppedDebug)
                                 .arg(droppedOther);
        droppedDebug = 0;
        droppedOther = 0;
        // Never refused: it stands for the lines that were.
        append(QtWarningMsg, msecsSinceEpoch, "LOGGING", text);
    }
    QVector<Chunk> taken;
    taken.swap(chunks);
    queuedBytes = 0;
    return taken;
}
