#pragma once

#include <QString>

// The tray program's log file: <program dir>/log/<executable name>_<date>.log,
// or, where the program's folder belongs to another user (a system-wide
// installation on Linux), <user's data folder>/corvane-agent/log/... .
class Logging
{
public:
    static void writeToLog(const QString& line);
    static void startHeaderLog();
    // The text of the start header (begins with an empty line).
    static QString headerText();
    // The file's base name: the executable's name without its extension.
    static QString logBaseName();
    // The folder the "log" folder goes in.
    static QString logParentDir();
};
