#include "logging/LogStream.h"

#include <array>
#include <cstring>

namespace {
// True when QDebug prints the text between its quotes unchanged: printable
// ASCII without a quote or backslash.
template <typename Char> bool plainQuoted(const Char* text, int size)
{
    for (int i = 0; i < size; ++i) {
        const auto c = static_cast<uint>(text[i]);
        if (c < 0x20 || c > 0x7e || c == '"' || c == '\\')
            return false;
    }
    return true;
}
} // namespace

LogStream::LogStream(QtMsgType type, const char* file, int line, const char* function, const char* category)
    : context(file, line, function, category), type(type)
{
    // Room for a whole DNS line with its hex dumps.
    text.reserve(320);
}

LogStream::~LogStream()
{
    if (space && text.endsWith(QLatin1Char(' ')))
        text.chop(1);
    qt_message_output(type, context, text);
}

void LogStream::appendAscii(const char* bytes, int size)
{
    const int start = text.size();
    text.resize(start + size);
    QChar* out = text.data() + start;
    for (int i = 0; i < size; ++i)
        out[i] = QLatin1Char(bytes[i]);
}

LogStream& LogStream::operator<<(const char* bytes)
{
    // QDebug reads it as UTF-8. Plain ASCII is widened while it is checked;
    // anything else is taken back and decoded.
    const int size = int(qstrlen(bytes));
    const int start = text.size();
    text.resize(start + size);
    auto* out = reinterpret_cast<ushort*>(text.data() + start);
    uchar all = 0;
    for (int i = 0; i < size; ++i) {
        const auto byte = static_cast<uchar>(bytes[i]);
        all |= byte;
        out[i] = byte;
    }
    if (all >= 0x80) {
        text.resize(start);
        text.append(QString::fromUtf8(bytes, size));
    }
    return endItem();
}

LogStream& LogStream::operator<<(const QString& value)
{
    if (!quote) {
        text.append(value);
        return endItem();
    }
    if (!plainQuoted(reinterpret_cast<const ushort*>(value.constData()), value.size()))
        return operator<< <QString>(value);
    text.append(QLatin1Char('"')).append(value).append(QLatin1Char('"'));
    return endItem();
}

LogStream& LogStream::operator<<(const QByteArray& bytes)
{
    if (!quote || !plainQuoted(reinterpret_cast<const uchar*>(bytes.constData()), bytes.size()))
        return operator<< <QByteArray>(bytes);
    text.append(QLatin1Char('"'));
    appendAscii(bytes.constData(), bytes.size());
    text.append(QLatin1Char('"'));
    return endItem();
}

LogStream& LogStream::operator<<(const LogHex& hex)
{
    // The two digits of every byte value, copied as one piece.
    struct Digits
    {
        ushort pair[2];
    };
    static const auto table = [] {
        static const char digits[] = "0123456789abcdef";
        std::array<Digits, 256> made;
        for (int byte = 0; byte < 256; ++byte)
            made[byte] = Digits{{ushort(digits[byte >> 4]), ushort(digits[byte & 0x0f])}};
        return made;
    }();
    const QByteArray& bytes = hex.bytes;
    const auto* in = reinterpret_cast<const uchar*>(bytes.constData());
    const int size = bytes.size();
    const int start = text.size();
    text.resize(start + 2 * size + 2);
    auto* out = reinterpret_cast<ushort*>(text.data() + start);
    *out++ = '"';
    const int shown = hex.secretFrom >= 0 ? hex.secretFrom : size;
    for (int i = 0; i < shown; ++i, out += 2)
        std::memcpy(out, &table[in[i]], sizeof(Digits));
    for (int i = shown; i < size; ++i, out += 2)
        out[0] = out[1] = '*';
    *out = '"';
    return endItem();
}

LogStream& LogStream::operator<<(bool value)
{
    if (value)
        appendAscii("true", 4);
    else
        appendAscii("false", 5);
    return endItem();
}

void LogStream::appendNumber(quint64 value)
{
    char digits[20];
    int at = sizeof digits;
    do {
        digits[--at] = char('0' + value % 10);
        value /= 10;
    } while (value != 0);
    appendAscii(digits + at, int(sizeof digits) - at);
}

void LogStream::appendNumber(qint64 value)
{
    if (value < 0) {
        text.append(QLatin1Char('-'));
        // Negated as unsigned: the smallest value has no positive twin.
        appendNumber(quint64(0) - quint64(value));
        return;
    }
    appendNumber(quint64(value));
}
