#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

// The text of one log line: "yyyy-MM-dd hh:mm:ss.zzz | TAG | CATEGORY: message\n".
//
// One message is always exactly one line: line breaks and other control
// characters inside it are written as visible escapes ("\n", "\r", "\t",
// "\x1b", "\u2028"), so text a client sent can never start a line of its own.
// A message longer than `messageLimit` characters is cut and says how much
// was left out.
class LogLine
{
public:
    // Characters of message text in one line; longer messages are cut.
    static constexpr int messageLimit = 8192;

    // "DBG", "INF", "WRN", "CRT", "FTL"; empty for any other type.
    static QString levelTag(QtMsgType type);
    static QString format(const QDateTime& localTime, QtMsgType type, const char* category,
                          const QString& message);
    // Appends everything after the time, as UTF-8: " | TAG | CATEGORY: message\n".
    // The log writer puts the time in front when it queues the line.
    static void appendTail(QByteArray& out, QtMsgType type, const char* category, const QString& message);
    // The message as it appears in the line: escaped and bounded.
    static QString escaped(const QString& message);
    // What follows a message cut at `messageLimit`.
    static QString cutMarker(qsizetype leftOut);
};
