#include "LogLine.h"

#include <QStringBuilder>

QString LogLine::levelTag(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("DBG");
    case QtInfoMsg:
        return QStringLiteral("INF");
    case QtWarningMsg:
        return QStringLiteral("WRN");
    case QtCriticalMsg:
        return QStringLiteral("CRT");
    case QtFatalMsg:
        return QStringLiteral("FTL");
    }
    return QString();
}

QString LogLine::format(const QDateTime& localTime, QtMsgType type, const char* category,
                        const QString& message)
{
    return localTime.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")) % QLatin1String(" | ") %
           levelTag(type) % QLatin1String(" | ") % QLatin1String(category ? category : "") %
           QLatin1String(": ") % message % QLatin1Char('\n');
}
