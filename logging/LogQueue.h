#pragma once

#include <QByteArray>
#include <QDate>
#include <QVector>
#include <QtGlobal>

#include <limits>

// Log lines waiting for the writer, in the order they came, grouped by the
// day whose file takes them. Each line gets its local time when it is queued;
// the text of the current second is kept, so a line only writes its
// milliseconds. The queue is bounded: past `debugBytes` debug lines are
// dropped, past `totalBytes` info and warning lines too; critical and fatal
// lines are always taken. The next take() reports what was dropped in a line
// of its own. Not thread-safe: the writer guards it with its lock.
class LogQueue
{
public:
    struct Limits
    {
        qsizetype debugBytes = 2 * 1024 * 1024;
        qsizetype totalBytes = 4 * 1024 * 1024;
    };
    struct Chunk
    {
        QDate day;
        QByteArray bytes;
    };

    LogQueue() = default;
    explicit LogQueue(Limits limits);

    // Queues one line (LogLine) stamped with the local time of
    // `msecsSinceEpoch`. False when the line was dropped.
    bool push(QtMsgType type, qint64 msecsSinceEpoch, const char* category, const QString& message);
    // Queues `text` unchanged for the file of `day` (the start header).
    bool pushRaw(QtMsgType type, const QDate& day, const QByteArray& text);
    // Everything queued, oldest first. When lines were dropped since the last
    // take, a warning line stamped `msecsSinceEpoch` says how many.
    QVector<Chunk> take(qint64 msecsSinceEpoch);

    bool isEmpty() const { return chunks.isEmpty(); }
    qsizetype bytes() const { return queuedBytes; }

    // "yyyy-MM-dd hh:mm:ss.zzz"
    static constexpr int timeLength = 23;

private:
    bool admit(QtMsgType type, qsizetype size);
    QByteArray& chunkFor(const QDate& day);
    void append(QtMsgType type, qint64 msecsSinceEpoch, const char* category, const QString& message);

    Limits limits;
    QVector<Chunk> chunks;
    qsizetype queuedBytes = 0;
    quint64 droppedDebug = 0;
    quint64 droppedOther = 0;
    // Local time of the second last stamped: "yyyy-MM-dd hh:mm:ss." and its date.
    qint64 stampSecond = std::numeric_limits<qint64>::min();
    QByteArray secondText;
    QDate secondDay;
};
