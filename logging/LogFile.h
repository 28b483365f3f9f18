#pragma once

#include "logging/LogFolder.h"
#include "logging/LogQueue.h"

#include <QDate>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// The daily log file of one program: <dir>/log/<base name>_<yyyy-MM-dd>.log,
// continued in numbered parts of the same day once it is full (LogFolder).
//
// Any thread hands over whole lines without waiting for the disk: the line is
// formatted on the calling thread and queued (LogQueue), and one writer thread
// appends the queued lines in batches, in the order they were queued. Each
// batch opens, appends and closes its file(s), so nothing stays open between
// batches: an administrator can move or delete the file at any time, and a
// deleted file or "log" folder is made again by the next batch. A batch waits
// at most 100 ms for more lines. A line the file cannot take is lost without
// a report. Critical and fatal lines are on disk when the call returns; the
// destructor and flush() write everything queued before them.
//
// The folder is bounded (LogFolder::Bounds): the writer thread deletes old
// files and keeps the program's files under the folder bound when it opens
// the first file, a file of a new day, or the next part of a day; the threads
// that log never touch the folder.
class LogFile
{
public:
    // The process-wide writer. Until setLocation() it writes beside the
    // program, under the application's name.
    static LogFile& instance();

    LogFile();
    LogFile(const QString& directory, const QString& baseName, LogQueue::Limits limits = {},
            LogFolder::Bounds bounds = {});
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Lines queued so far still go to the old place.
    void setLocation(const QString& directory, const QString& baseName);
    // One message as a log line stamped with the current local time.
    void log(QtMsgType type, const char* category, const QString& message);
    // Appends the text unchanged (the start header) to the file of the current
    // local date, or of `day`.
    void write(const QString& line);
    void write(const QString& line, const QDate& day);
    // Returns once every line queued before the call is written (or lost).
    void flush();
    // flush() that waits at most `bound`, for a process that is about to end
    // whatever happens: true when everything queued before the call is written.
    bool flushFor(std::chrono::milliseconds bound);
    // The day's first file; later parts are LogFolder::fileName(.., part).
    QString pathFor(const QDate& day) const;

    // How long the first line of a batch waits for others.
    static constexpr std::chrono::milliseconds batchWait{100};
    // A batch this large goes out at once.
    static constexpr qsizetype batchBytes = 256 * 1024;

private:
    template <typename Push> void enqueue(QtMsgType type, Push push);
    void resolveLocation();
    void waitWritten(std::unique_lock<std::mutex>& lock);
    void run();
    static QString path(const QString& directory, const QString& baseName, const QDate& day, int part = 0);
    // Writes the chunks; `mayPrune` only on the writer thread.
    void append(const QString& directory, const QString& baseName, const QVector<LogQueue::Chunk>& chunks,
                bool mayPrune);
    void appendChunk(const QString& directory, const QString& baseName, const LogQueue::Chunk& chunk,
                     bool mayPrune);
    void pruneFolder(const QString& directory, const QString& baseName, bool mayPrune);

    // Standard locks rather than Qt's: ThreadSanitizer sees their locking.
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable written;
    LogQueue queue;
    std::thread writer;
    std::thread::id writerId;
    bool stopping = false;
    bool locationFromApplication = true;
    QString directory;
    QString baseName;
    quint64 queuedCount = 0;
    quint64 writtenCount = 0;
    quint64 flushWanted = 0;
    std::chrono::steady_clock::time_point firstQueued;

    // The file being written: held by whoever writes (the writer thread, or a
    // caller once the writer has gone), apart from the queue's lock.
    std::mutex fileMutex;
    const LogFolder::Bounds bounds{};
    QString openDirectory;
    QString openBaseName;
    QDate openDay;
    int openPart = -1;
};
