#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Records every Qt log message, from any thread, while it exists: by level,
// category and text. One capture at a time (a second one while the first
// lives is a fault of the test and aborts it). Each message also goes on to
// the handler installed before the capture, as far as `Forward` says: the
// test framework's handler prints it and matches QTest::ignoreMessage.
class LogCapture
{
public:
    enum class Forward
    {
        Nothing,    // in place of the usual output
        AboveDebug, // information, warnings and worse; debug lines stay quiet
        Everything,
    };

    struct Line
    {
        QtMsgType type;
        QString category;
        QString message;
        // The line as the log files show it: "CATEGORY: message".
        QString text() const { return category + QStringLiteral(": ") + message; }
    };

    // `tee`, when given, receives every message before the previous handler
    // does (a program's own handler, whose log file the test then reads).
    explicit LogCapture(Forward forward = Forward::Everything, QtMessageHandler tee = nullptr);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Lines of that level and category whose message is exactly `message`.
    int count(QtMsgType type, const QString& category, const QString& message) const;
    // Lines of any level and category whose message is exactly `message`.
    int countExact(const QString& message) const;
    // Lines from the `from`th on (see size()) whose text() contains `text`.
    int countContaining(const QString& text, int from = 0) const;
    bool contains(const QString& text) const { return countContaining(text) > 0; }
    // Lines of that level and category whose message contains `text`.
    int countContaining(QtMsgType type, const QString& category, const QString& text) const;
    // Lines of a category whose message starts with `prefix`.
    int countPrefix(const QString& category, const QString& prefix) const;
    // The messages of one category, oldest first; take… also forgets them.
    QStringList messages(const QString& category) const;
    QStringList takeMessages(const QString& category);
    // Lines recorded so far, a mark for countContaining(text, from).
    int size() const;
    QList<Line> lines() const;
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& message);

    QList<Line> captured; // guarded by the capture mutex (LogCapture.cpp)
    QtMessageHandler previous = nullptr;
};
