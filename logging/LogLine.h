#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

// The text of one log line: "yyyy-MM-dd hh:mm:ss.zzz | TAG | CATEGORY: message\n".
class LogLine
{
public:
    // "DBG", "INF", "WRN", "CRT", "FTL"; empty for any other type.
    static QString levelTag(QtMsgType type);
    static QString format(const QDateTime& localTime, QtMsgType type, const char* category,
                          const QString& message);
    // Appends everything after the time, as UTF-8: " | TAG | CATEGORY: message\n".
    // The log writer puts the time in front when it queues the line.
    static void appendTail(QByteArray& out, QtMsgType type, const char* category, const QString& message);
};
