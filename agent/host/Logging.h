#pragma once

#include <QString>

// The agent's log file: the start header, whole lines, the settings dump.
class Logging
{
public:
    static void writeToLog(const QString& line);
    static void startHeaderLog();
    static void writeSettings();
    // The text of the start header (begins with an empty line).
    static QString headerText();
    // What the settings dump shows of one value.
    static QString maskedValue(const QString& key, const QString& value);
};
