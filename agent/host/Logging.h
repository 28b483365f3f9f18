#pragma once

#include <QString>
#include <QVariant>

// The agent's log file: the start header, whole lines, the settings dump.
class Logging
{
public:
    static void writeToLog(const QString& line);
    static void startHeaderLog();
    static void writeSettings();
    // The text of the start header (begins with an empty line).
    static QString headerText();
    // What the settings dump shows of one value: secrets only as
    // "set, N characters" (or "not set"), everything else as its text.
    static QString maskedValue(const QString& key, const QVariant& value);
    // Whether the dump hides the value of `key` (a path within its group).
    static bool isSecretKey(const QString& key);
};
