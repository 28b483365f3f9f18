#include "gui/Logging.h"

#include "logging/LogFile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QStandardPaths>

void Logging::writeToLog(const QString& line)
{
    LogFile::instance().write(line);
}

QString Logging::logBaseName()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

QString Logging::headerText()
{
    return QStringLiteral("\n----- START_GUI ") +
           QDateTime::currentDateTimeUtc().toString(QStringLiteral("hh:mm:ss.zzz")) +
           QStringLiteral(" -----\n");
}

QString Logging::logParentDir()
{
    const QString programDir = QCoreApplication::applicationDirPath();
#ifndef Q_OS_WIN
    // The Debian package installs the program under /usr/lib, which only root
    // may write: each user's tray program keeps its log in the user's own data
    // folder rather than lose every line.
    const QFileInfo logDir(programDir + QStringLiteral("/log"));
    const bool writable = logDir.exists() ? logDir.isWritable() : QFileInfo(programDir).isWritable();
    if (!writable) {
        const QString userData = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        if (!userData.isEmpty())
            return userData + QStringLiteral("/corvane-agent");
    }
#endif
    return programDir;
}

void Logging::startHeaderLog()
{
    // Named after the executable, whatever application name is set.
    LogFile::instance().setLocation(logParentDir(), logBaseName());
    writeToLog(headerText());
}
