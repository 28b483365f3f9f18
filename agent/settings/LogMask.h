#pragma once

#include <QString>

// How secrets appear in log lines: passwords and PINs as asterisks of the
// same length, tokens as their first five characters and "...".
class LogMask
{
public:
    static QString secret(const QString& value) { return QString(value.size(), QLatin1Char('*')); }
    static QString token(const QString& value) { return value.left(5) + QStringLiteral("..."); }
};
