#pragma once

#include "logging/LogHex.h"

#include <QByteArray>
#include <QDebug>
#include <QString>
#include <QStringBuilder>

#include <type_traits>

// One log message built like `qCDebug(category) << a << b`, with the same
// text to the byte (items joined by spaces, strings in double quotes with
// QDebug's escapes, noquote() and nospace() as there), handed to the
// installed message handler the same way. It costs far less than QDebug,
// which sets up a text stream for every message and escapes strings
// character by character: the texts of the per-query DNS lines (plain ASCII)
// are appended as they are; anything else goes through QDebug itself, so
// the text stays what QDebug writes.
class LogStream
{
    template <typename T> static constexpr bool isNumber()
    {
        return std::is_same<T, short>::value || std::is_same<T, unsigned short>::value ||
               std::is_same<T, int>::value || std::is_same<T, unsigned int>::value ||
               std::is_same<T, long>::value || std::is_same<T, unsigned long>::value ||
               std::is_same<T, long long>::value || std::is_same<T, unsigned long long>::value;
    }

public:
    LogStream(QtMsgType type, const char* file, int line, const char* function, const char* category);
    ~LogStream();
    LogStream(const LogStream&) = delete;
    LogStream& operator=(const LogStream&) = delete;

    LogStream& noquote()
    {
        quote = false;
        return *this;
    }
    LogStream& nospace()
    {
        space = false;
        return *this;
    }

    LogStream& operator<<(const char* text);
    LogStream& operator<<(const QString& text);
    LogStream& operator<<(const QByteArray& bytes);
    LogStream& operator<<(const LogHex& hex);
    LogStream& operator<<(bool value);
    // Text QDebug printed for a value in nospace mode, kept by a caller that
    // logs the same value again and again: it goes in as an item of its own.
    struct Printed
    {
        const QString& text;
    };
    LogStream& operator<<(const Printed& printed)
    {
        text.append(printed.text);
        return endItem();
    }
    // The integer types QDebug prints as numbers.
    template <typename T, std::enable_if_t<isNumber<T>(), int> = 0> LogStream& operator<<(T value)
    {
        if (std::is_signed<T>::value)
            appendNumber(static_cast<qint64>(value));
        else
            appendNumber(static_cast<quint64>(value));
        return endItem();
    }
    // `"text (" + name + ")"`: the string it makes.
    template <typename A, typename B> LogStream& operator<<(const QStringBuilder<A, B>& parts)
    {
        return *this << static_cast<typename QConcatenable<QStringBuilder<A, B>>::ConvertTo>(parts);
    }
    // Everything else as QDebug prints it.
    template <typename T, std::enable_if_t<!isNumber<T>() && !std::is_array<T>::value, int> = 0>
    LogStream& operator<<(const T& value)
    {
        QString piece;
        {
            QDebug debug(&piece);
            if (!quote)
                debug.noquote();
            if (!space)
                debug.nospace();
            debug << value;
        }
        text.append(piece);
        return *this;
    }

private:
    LogStream& endItem()
    {
        if (space)
            text.append(QLatin1Char(' '));
        return *this;
    }
    void appendNumber(qint64 value);
    void appendNumber(quint64 value);
    // Appends bytes that are known to be ASCII.
    void appendAscii(const char* bytes, int size);

    QString text;
    QMessageLogContext context;
    QtMsgType type;
    bool quote = true;
    bool space = true;
};

// qCDebug(category) with LogStream: nothing is formatted while the category's
// debug output is off.
#define LOG_DEBUG(category)                                                                                  \
    for (bool logStreamEnabled = category().isDebugEnabled(); logStreamEnabled; logStreamEnabled = false)    \
    LogStream(QtDebugMsg, QT_MESSAGELOG_FILE, QT_MESSAGELOG_LINE, QT_MESSAGELOG_FUNC,                        \
              category().categoryName())
