#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

// Records every Qt log message while it exists (in place of the usual
// output), so tests can count lines by level, category and text.
class LogCapture
{
public:
    struct Line
    {
        QtMsgType type;
        QString category;
        QString message;
    };

    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    int count(QtMsgType type, const QString& category, const QString& message) const;
    // Lines of a category whose text starts with `prefix`.
    int countPrefix(const QString& category, const QString& prefix) const;
    const QList<Line>& lines() const;
    void clear();
};
