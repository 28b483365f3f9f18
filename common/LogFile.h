#pragma once

#include <QDate>
#include <QFile>
#include <QString>

#include <mutex>

// The daily log file of one program: <dir>/log/<application name>_<yyyy-MM-dd>.log.
// Lines are appended whole, in one write each, from any thread. The file is
// kept open between lines; it is reopened when the day changes and when the
// file or its folder has been removed, so a deleted folder comes back with the
// next line exactly as if the file were opened for every line.
class LogFile
{
public:
    // The process-wide writer, using the application directory and name.
    static LogFile& instance();

    LogFile() = default;
    LogFile(const QString& directory, const QString& baseName);

    void setLocation(const QString& directory, const QString& baseName);
    // Appends the line unchanged to the file of the current local date.
    void write(const QString& line);
    // Appends to the file of `day` (tests use this to cross midnight).
    void write(const QString& line, const QDate& day);
    QString pathFor(const QDate& day) const;

private:
    bool openFor(const QDate& day);

    // std::mutex rather than QMutex: ThreadSanitizer sees its locking.
    std::mutex mutex;
    QString directory;
    QString baseName;
    bool locationFromApplication = true;
    QFile file;
    QDate openDay;
};
