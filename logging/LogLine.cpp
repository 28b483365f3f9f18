#include "LogLine.h"

#include <QStringBuilder>

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
    out.append(" | ").append(tagText(type)).append(" | ");
    // Category names are Latin-1; the agent's are plain ASCII and are copied as they are.
    if (isAscii(name))
        out.append(name);
    else
        out.append(QString::fromLatin1(name).toUtf8());
    out.append(": ");
    // Plain ASCII, by far the most common text, is narrowed straight into
    // the line (both loops vectorise); anything else goes through the UTF-8
    // encoder.
    const int length = message.size();
    const auto* in = reinterpret_cast<const ushort*>(message.constData());
    ushort all = 0;
    for (int i = 0; i < length; ++i)
        all |= in[i];
    if (all < 0x80) {
        const int start = out.size();
        out.resize(start + length);
        char* to = out.data() + start;
        for (int i = 0; i < length; ++i)
            to[i] = char(in[i]);
    } else {
        out.append(message.toUtf8());
    }
    out.append('\n');
}
