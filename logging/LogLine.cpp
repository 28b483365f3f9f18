#include "logging/LogLine.h"

#include <QStringBuilder>

#include <algorithm>
#include <cstring>

namespace {
const char* tagText(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "DBG";
    case QtInfoMsg:
        return "INF";
    case QtWarningMsg:
        return "WRN";
    case QtCriticalMsg:
        return "CRT";
    case QtFatalMsg:
        return "FTL";
    }
    return "";
}

bool isAscii(const char* text)
{
    for (; *text; ++text) {
        if (static_cast<unsigned char>(*text) >= 0x80)
            return false;
    }
    return true;
}

// Characters that end or rewrite a line in a file, a terminal or an editor:
// C0 and C1 controls, DEL, and the Unicode line and paragraph separators.
bool needsEscape(ushort c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029;
}

void appendEscape(QString& out, ushort c)
{
    static const char digits[] = "0123456789abcdef";
    switch (c) {
    case '\n':
        out.append(QLatin1String("\\n"));
        return;
    case '\r':
        out.append(QLatin1String("\\r"));
        return;
    case '\t':
        out.append(QLatin1String("\\t"));
        return;
    default:
        break;
    }
    if (c < 0x100) {
        const char text[] = {'\\', 'x', digits[c >> 4], digits[c & 0x0f]};
        out.append(QLatin1String(text, 4));
        return;
    }
    const char text[] = {
        '\\', 'u', digits[c >> 12], digits[(c >> 8) & 0x0f], digits[(c >> 4) & 0x0f], digits[c & 0x0f]};
    out.append(QLatin1String(text, 6));
}
// Narrows `length` characters into `to` while it checks them (the loop
// vectorises); true when they were all printable ASCII. Kept out of line: the
// compiler otherwise reasons about the line buffer's size from the caller and
// warns about writes it cannot see are in bounds.
Q_NEVER_INLINE bool copyPlain(char* to, const ushort* in, int length)
{
    ushort all = 0;
    ushort low = 0xffff;
    for (int i = 0; i < length; ++i) {
        all |= in[i];
        low = std::min(low, in[i]);
        to[i] = char(in[i]);
    }
    return all < 0x80 && (length == 0 || low >= 0x20) && std::memchr(to, 0x7f, size_t(length)) == nullptr;
}
} // namespace

QString LogLine::levelTag(QtMsgType type)
{
    return QLatin1String(tagText(type));
}

QString LogLine::cutMarker(qsizetype leftOut)
{
    return QStringLiteral(" [... %1 more characters cut]").arg(leftOut);
}

QString LogLine::escaped(const QString& message)
{
    QString out;
    out.reserve(qMin(message.size(), messageLimit) + 16);
    const auto* in = reinterpret_cast<const ushort*>(message.constData());
    const int size = message.size();
    int i = 0;
    for (; i < size && out.size() < messageLimit; ++i) {
        const ushort c = in[i];
        if (needsEscape(c)) {
            appendEscape(out, c);
            continue;
        }
        // A surrogate pair is kept whole or cut whole.
        if (QChar::isHighSurrogate(c) && i + 1 < size && QChar::isLowSurrogate(in[i + 1])) {
            out.append(QChar(c)).append(QChar(in[i + 1]));
            ++i;
            continue;
        }
        out.append(QChar(c));
    }
    if (i < size)
        out.append(cutMarker(size - i));
    return out;
}

QString LogLine::format(const QDateTime& localTime, QtMsgType type, const char* category,
                        const QString& message)
{
    return localTime.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")) % QLatin1String(" | ") %
           levelTag(type) % QLatin1String(" | ") % QLatin1String(category ? category : "") %
           QLatin1String(": ") % escaped(message) % QLatin1Char('\n');
}

void LogLine::appendTail(QByteArray& out, QtMsgType type, const char* category, const QString& message)
{
    const char* name = category ? category : "";
    // Category names are Latin-1; the agent's are plain ASCII and are copied
    // as they are. A message to cut goes the long way as well.
    if (!isAscii(name) || message.size() > messageLimit) {
        out.append(" | ").append(tagText(type)).append(" | ");
        out.append(QString::fromLatin1(name).toUtf8()).append(": ");
        out.append(escaped(message).toUtf8()).append('\n');
        return;
    }
    // The whole line in one piece: a single size check, then plain copies.
    const char* tag = tagText(type);
    const int tagLength = int(qstrlen(tag));
    const int nameLength = int(qstrlen(name));
    const int length = message.size();
    const int start = out.size();
    out.resize(start + 3 + tagLength + 3 + nameLength + 2 + length + 1);
    char* to = out.data() + start;
    const auto put = [&to](const char* text, int size) {
        std::memcpy(to, text, size_t(size));
        to += size;
    };
    put(" | ", 3);
    put(tag, tagLength);
    put(" | ", 3);
    put(name, nameLength);
    put(": ", 2);
    // Printable ASCII, by far the most common text, is narrowed straight
    // into the line while it is checked (the loop vectorises); anything else
    // (other characters, controls to escape) is taken back
    // and goes through escaped() and the UTF-8 encoder.
    if (copyPlain(to, reinterpret_cast<const ushort*>(message.constData()), length)) {
        to[length] = '\n';
        return;
    }
    out.resize(int(to - out.constData()));
    out.append(escaped(message).toUtf8()).append('\n');
}
