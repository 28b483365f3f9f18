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

QByteArray LogLine::tail(QtMsgType type, const char* category, const QString& message)
{
    const char* tag = tagText(type);
    const char* name = category ? category : "";
    const QByteArray text = message.toUtf8();
    QByteArray line;
    line.reserve(int(std::strlen(name)) + text.size() + 13);
    line.append(" | ").append(tag).append(" | ");
    // Category names are Latin-1; the agent's are plain ASCII and are copied as they are.
    if (isAscii(name))
        line.append(name);
    else
        line.append(QString::fromLatin1(name).toUtf8());
    line.append(": ").append(text).append('\n');
    return line;
}
