// Log growth under a flood: threads log as fast as they can through the real
// writer (LogFile, the agent's folder bounds unless given smaller ones) the
// kind of line a hostile client provoked, a long text full of line breaks.
// Prints the bytes the folder grew by per second, the lines written and
// dropped, and the largest size the folder reached (sampled every 50 ms)
// against its bound.
//
//   bench_logflood [seconds] [threads] [folder MB] [file MB]
#include "logging/LogFile.h"
#include "logging/LogFolder.h"
#include "logging/LogLine.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <vector>

namespace {
qint64 folderSize(const QString& folder, int* files)
{
    qint64 total = 0;
    const QFileInfoList entries = QDir(folder).entryInfoList(QDir::Files);
    for (const QFileInfo& entry : entries)
        total += entry.size();
    *files = entries.size();
    return total;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    const QStringList args = application.arguments();
    const int seconds = args.value(1, QStringLiteral("10")).toInt();
    const int threads = args.value(2, QStringLiteral("4")).toInt();
    LogFolder::Bounds bounds;
    if (args.size() > 3)
        bounds.folderBytes = args.at(3).toLongLong() * 1024 * 1024;
    if (args.size() > 4)
        bounds.fileBytes = args.at(4).toLongLong() * 1024 * 1024;
    QTemporaryDir dir;
    const QString folder = dir.path() + QStringLiteral("/log");
    // The flood: one header line a client sent, 64 KiB with a line break every 60 characters.
    QString hostile;
    for (int i = 0; i < 1024; ++i)
        hostile += QString(63, QLatin1Char('A')) + QStringLiteral("\r\n");
    std::atomic<bool> stop{false};
    std::atomic<qint64> logged{0};
    qint64 largest = 0;
    int largestFiles = 0;
    QElapsedTimer timer;
    {
        LogFile log(dir.path(), QStringLiteral("Corvane Agent"), LogQueue::Limits{}, bounds);
        std::vector<QThread*> workers;
        timer.start();
        for (int t = 0; t < threads; ++t) {
            workers.push_back(QThread::create([&] {
                while (!stop.load(std::memory_order_relaxed)) {
                    log.log(QtWarningMsg, "TCPSERVER", QStringLiteral("bad frame header: ") + hostile);
                    logged.fetch_add(1, std::memory_order_relaxed);
                }
            }));
            workers.back()->start();
        }
        while (timer.elapsed() < seconds * 1000) {
            QThread::msleep(50);
            int files = 0;
            const qint64 size = folderSize(folder, &files);
            if (size > largest) {
                largest = size;
                largestFiles = files;
            }
        }
        stop = true;
        for (QThread* worker : workers) {
            worker->wait();
            delete worker;
        }
        log.flush();
    }
    const double elapsed = timer.elapsed() / 1000.0;
    int files = 0;
    const qint64 end = folderSize(folder, &files);
    largest = std::max(largest, end);
    // Every part before the last was filled to the file bound (less than one
    // line short), so the day's parts tell how much was written in all.
    const QVector<LogFolder::Entry> entries = LogFolder::list(folder, QStringLiteral("Corvane Agent"));
    const qint64 written =
        entries.isEmpty() ? 0 : entries.last().part * bounds.fileBytes + entries.last().size;
    std::printf("flood: %d threads, %.1f s, %lld messages of %d characters (cut to %d)\n", threads, elapsed,
                static_cast<long long>(logged.load()), int(hostile.size()) + 19, LogLine::messageLimit);
    std::printf("folder bound %lld MB, file bound %lld MB\n",
                static_cast<long long>(bounds.folderBytes >> 20),
                static_cast<long long>(bounds.fileBytes >> 20));
    std::printf("largest folder seen: %.1f MB in %d files; at the end %.1f MB in %d files\n",
                largest / 1048576.0, largestFiles, end / 1048576.0, files);
    std::printf("written: about %.1f MB, %.1f MB/s\n", written / 1048576.0, written / 1048576.0 / elapsed);
    std::printf("bound held: %s\n", largest <= bounds.folderBytes ? "yes" : "NO");
    return largest <= bounds.folderBytes ? 0 : 1;
}
