#include "logging/LogFile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <system_error>

LogFile& LogFile::instance()
{
    static LogFile writer;
    return writer;
}

LogFile::LogFile() = default;

LogFile::LogFile(const QString& dir, const QString& name, LogQueue::Limits limits,
                 LogFolder::Bounds folderBounds)
    : queue(limits), locationFromApplication(false), directory(dir), baseName(name), bounds(folderBounds)
{
}

LogFile::~LogFile()
{
    std::thread last;
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        last = std::move(writer);
        wake.notify_one();
    }
    if (last.joinable())
        last.join();
    // Lines queued while the writer was leaving.
    std::lock_guard<std::mutex> lock(mutex);
    append(directory, baseName, queue.take(QDateTime::currentMSecsSinceEpoch()), false);
    writtenCount = queuedCount;
    written.notify_all();
}

void LogFile::setLocation(const QString& dir, const QString& name)
{
    flush();
    std::lock_guard<std::mutex> lock(mutex);
    directory = dir;
    baseName = name;
    locationFromApplication = false;
}

QString LogFile::pathFor(const QDate& day) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return path(directory, baseName, day);
}

QString LogFile::path(const QString& dir, const QString& name, const QDate& day, int part)
{
    return QDir::toNativeSeparators(dir + QStringLiteral("/log/") + LogFolder::fileName(name, day, part));
}

void LogFile::resolveLocation()
{
    // Without an application object there is no program folder yet (asking
    // for it would log a warning from inside the logging).
    if (!QCoreApplication::instance())
        return;
    directory = QCoreApplication::applicationDirPath();
    baseName = QCoreApplication::applicationName();
    locationFromApplication = false;
}

void LogFile::log(QtMsgType type, const char* category, const QString& message)
{
    // Stamped under the lock: lines from all threads carry times in the order
    // they are queued. The text is encoded straight into the queue.
    enqueue(type, [&](LogQueue& q) {
        return q.push(type, QDateTime::currentMSecsSinceEpoch(), category, message);
    });
}

void LogFile::write(const QString& line)
{
    write(line, QDate::currentDate());
}

void LogFile::write(const QString& line, const QDate& day)
{
    const QByteArray text = line.toUtf8();
    enqueue(QtInfoMsg, [&](LogQueue& q) { return q.pushRaw(QtInfoMsg, day, text); });
}

template <typename Push> void LogFile::enqueue(QtMsgType type, Push push)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (locationFromApplication)
        resolveLocation();
    const bool wasEmpty = queue.isEmpty();
    if (!push(queue))
        return;
    ++queuedCount;
    if (!stopping && !writer.joinable()) {
        try {
            writer = std::thread(&LogFile::run, this);
            writerId = writer.get_id();
        } catch (const std::system_error&) {
            // No thread to be had: every line is written on its caller's thread.
            stopping = true;
        }
    }
    if (stopping) {
        // The writer has gone (static destruction) or never came: write here.
        append(directory, baseName, queue.take(QDateTime::currentMSecsSinceEpoch()), false);
        writtenCount = queuedCount;
        written.notify_all();
        return;
    }
    if (wasEmpty) {
        firstQueued = std::chrono::steady_clock::now();
        wake.notify_one();
    } else if (queue.bytes() >= batchBytes) {
        wake.notify_one();
    }
    if (type == QtCriticalMsg || type == QtFatalMsg)
        waitWritten(lock);
}

void LogFile::flush()
{
    std::unique_lock<std::mutex> lock(mutex);
    waitWritten(lock);
}

bool LogFile::flushFor(std::chrono::milliseconds bound)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::unique_lock<std::mutex> lock(mutex);
    if (std::this_thread::get_id() == writerId)
        return false;
    const quint64 target = queuedCount;
    if (writtenCount >= target)
        return true;
    flushWanted = std::max(flushWanted, target);
    wake.notify_one();
    return written.wait_until(lock, deadline, [&] { return writtenCount >= target; });
}

void LogFile::waitWritten(std::unique_lock<std::mutex>& lock)
{
    // The writer never waits for itself.
    if (std::this_thread::get_id() == writerId)
        return;
    const quint64 target = queuedCount;
    if (writtenCount >= target)
        return;
    flushWanted = std::max(flushWanted, target);
    wake.notify_one();
    written.wait(lock, [&] { return writtenCount >= target; });
}

void LogFile::run()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [&] { return stopping || !queue.isEmpty(); });
        if (queue.isEmpty())
            break;
        wake.wait_until(lock, firstQueued + batchWait, [&] {
            return stopping || flushWanted > writtenCount || queue.bytes() >= batchBytes;
        });
        const QVector<LogQueue::Chunk> chunks = queue.take(QDateTime::currentMSecsSinceEpoch());
        const quint64 count = queuedCount;
        const QString dir = directory;
        const QString name = baseName;
        lock.unlock();
        append(dir, name, chunks, true);
        lock.lock();
        writtenCount = count;
        written.notify_all();
    }
}

namespace {
// Bytes `text` takes on disk: text mode writes each "\n" as CR LF on Windows.
qint64 diskSize(const char* text, int size)
{
#ifdef Q_OS_WIN
    return size + std::count(text, text + size, '\n');
#else
    Q_UNUSED(text);
    return size;
#endif
}

// How much of `text` (from `from`) goes into a file with `room` bytes left:
// all of it when it fits, else whole lines only.
int fitting(const QByteArray& text, int from, qint64 room)
{
    const int size = text.size() - from;
    if (diskSize(text.constData() + from, size) <= room)
        return size;
    int taken = 0;
    qint64 cost = 0;
    for (;;) {
        const int end = text.indexOf('\n', from + taken);
        if (end < 0)
            return taken;
        const int line = end + 1 - (from + taken);
        cost += diskSize(text.constData() + from + taken, line);
        if (cost > room)
            return taken;
        taken += line;
    }
}
} // namespace

void LogFile::append(const QString& dir, const QString& name, const QVector<LogQueue::Chunk>& chunks,
                     bool mayPrune)
{
    if (dir.isEmpty())
        return;
    std::lock_guard<std::mutex> lock(fileMutex);
    for (const LogQueue::Chunk& chunk : chunks)
        appendChunk(dir, name, chunk, mayPrune);
}

void LogFile::pruneFolder(const QString& dir, const QString& name, bool mayPrune)
{
    if (!mayPrune)
        return;
    LogFolder::prune(dir + QStringLiteral("/log"), name, bounds, QDate::currentDate(),
                     path(dir, name, openDay, openPart));
}

void LogFile::appendChunk(const QString& dir, const QString& name, const LogQueue::Chunk& chunk,
                          bool mayPrune)
{
    const QString folder = dir + QStringLiteral("/log");
    // Made again whenever it was removed since the last batch.
    QDir().mkpath(folder);
    if (openPart < 0 || chunk.day != openDay || dir != openDirectory || name != openBaseName) {
        // A file opened for the first time: go on in the day's last part.
        openDirectory = dir;
        openBaseName = name;
        openDay = chunk.day;
        openPart = LogFolder::lastPart(folder, name, chunk.day);
        pruneFolder(dir, name, mayPrune);
    }
    const QByteArray& bytes = chunk.bytes;
    int from = 0;
    while (from < bytes.size()) {
        QFile file(path(dir, name, openDay, openPart));
        // Text mode: each "\n" becomes CR LF on Windows.
        if (!file.open(QIODevice::Append | QIODevice::Text))
            return;
        const qint64 size = file.size();
        int take = fitting(bytes, from, bounds.fileBytes - size);
        if (take == 0 && size == 0) {
            // A line longer than a whole file: it goes alone into one.
            const int end = bytes.indexOf('\n', from);
            take = end < 0 ? bytes.size() - from : end + 1 - from;
        }
        if (take > 0) {
            file.write(bytes.constData() + from, take);
            from += take;
        }
        file.close();
        if (from < bytes.size()) {
            // Full: the day goes on in its next part.
            ++openPart;
            pruneFolder(dir, name, mayPrune);
        }
    }
}
