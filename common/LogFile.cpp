#include "LogFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

LogFile& LogFile::instance()
{
    static LogFile writer;
    return writer;
}

LogFile::LogFile(const QString& dir, const QString& name)
    : directory(dir), baseName(name), locationFromApplication(false)
{
}

void LogFile::setLocation(const QString& dir, const QString& name)
{
    std::lock_guard<std::mutex> lock(mutex);
    file.close();
    directory = dir;
    baseName = name;
    locationFromApplication = false;
}

QString LogFile::pathFor(const QDate& day) const
{
    return directory + QDir::separator() + QStringLiteral("log") + QDir::separator() + baseName +
           QLatin1Char('_') + day.toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".log");
}

void LogFile::write(const QString& line)
{
    write(line, QDate::currentDate());
}

bool LogFile::openFor(const QDate& day)
{
    if (locationFromApplication) {
        directory = QCoreApplication::applicationDirPath();
        baseName = QCoreApplication::applicationName();
    }
    file.close();
    QDir().mkpath(directory + QStringLiteral("/log"));
    file.setFileName(QDir::toNativeSeparators(pathFor(day)));
    if (!file.open(QIODevice::Append | QIODevice::Text | QIODevice::Unbuffered))
        return false;
    openDay = day;
    return true;
}

void LogFile::write(const QString& line, const QDate& day)
{
    const QByteArray bytes = line.toUtf8();
    std::lock_guard<std::mutex> lock(mutex);
    // One stat per line keeps the observable behaviour of reopening per line:
    // a removed file or folder is created again by the next line.
    const bool stale = !file.isOpen() || openDay != day || !QFileInfo::exists(file.fileName());
    if (stale && !openFor(day))
        return;
    file.write(bytes);
}
