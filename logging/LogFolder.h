#pragma once

#include <QDate>
#include <QString>
#include <QVector>
#include <QtGlobal>

// The files of one program in its "log" folder, and the bounds that keep the
// folder from growing without end. A day's lines go to
// "<base>_<yyyy-MM-dd>.log"; once that file is full they continue in
// "<base>_<yyyy-MM-dd>_001.log", "_002" and so on, names that sort by day and
// then by part, and that "<base>_*.log" still finds. Only names of exactly
// this form are ever deleted: nothing else in the folder is touched.
class LogFolder
{
public:
    struct Bounds
    {
        // Files of days further back than this are deleted.
        int maxAgeDays = 14;
        // The program's files together stay below this.
        qint64 folderBytes = qint64(200) * 1024 * 1024;
        // A file that would grow past this continues in the next part.
        qint64 fileBytes = qint64(50) * 1024 * 1024;
    };

    struct Entry
    {
        QString fileName;
        QDate day;
        int part = 0;
        qint64 size = 0;
    };

    static QString fileName(const QString& baseName, const QDate& day, int part);
    // True when `fileName` is a log file of `baseName`; sets its day and part.
    static bool parse(const QString& fileName, const QString& baseName, QDate* day, int* part);
    // The program's log files in `folder`, oldest first (by day, then part).
    static QVector<Entry> list(const QString& folder, const QString& baseName);
    // The highest part of `day` present in `folder` (0 when there is none).
    static int lastPart(const QString& folder, const QString& baseName, const QDate& day);
    // Deletes the files older than the bound, then the oldest ones while the
    // rest together with a full file `keep` would not fit the folder bound.
    // `keep` (the file being written) is never deleted. Returns how many
    // files were deleted.
    static int prune(const QString& folder, const QString& baseName, const Bounds& bounds, const QDate& today,
                     const QString& keep);
};
