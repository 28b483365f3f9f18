#include "Logging.h"

#include "LogFile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>

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

void Logging::startHeaderLog()
{
    // Named after the executable, whatever application name is set.
    LogFile::instance().setLocation(QCoreApplication::applicationDirPath(), logBaseName());
    writeToLog(headerText());
}
