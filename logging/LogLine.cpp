#include "LogLine.h"

#include <QStringBuilder>

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
} // namespace

QString LogLine::levelTag(QtMsgType type)
{
    return QLatin1String(tagText(type));
}

QString LogLine::format(const QDateTime& localTime, QtMsgType type, const char* category,
                        const QString& message)
{
    return localTime.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")) % QLatin1String(" | ") %
           levelTag(type) % QLatin1String(" | ") % QLatin1String(category ? category : "") %
           QLatin1String(": ") % message % QLatin1Char('\n');
}

void LogLine::appendTail(QByteArray& out, QtMsgType type, const char* category, const QString& message)
{
    const char* name = category ? category : "";
    // Category names are Latin-1; the agent's are plain ASCII and are copied as they are.
    if (!isAscii(name)) {
        out.append(" | ").append(tagText(type)).append(" | ");
        out.append(QString::fromLatin1(name).toUtf8()).append(": ");
        out.append(message.toUtf8()).append('\n');
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
    // Plain ASCII, by far the most common text, is narrowed straight into
    // the line while it is checked (the loop vectorises); anything else is
    // taken back and goes through the UTF-8 encoder.
    const auto* in = reinterpret_cast<const ushort*>(message.constData());
    ushort all = 0;
    for (int i = 0; i < length; ++i) {
        all |= in[i];
        to[i] = char(in[i]);
    }
    if (all < 0x80) {
        to[length] = '\n';
        return;
    }
    out.resize(int(to - out.constData()));
    out.append(message.toUtf8()).append('\n');
}
