#pragma once

#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QSysInfo>

// The command lines of the network diagnostics in the debug report, and how
// their output is decoded, for the target system: tracert and nslookup with
// the console's OEM code page on Windows; traceroute (or tracepath) and
// nslookup (or dig) with UTF-8 elsewhere.
struct DiagnosticCommand
{
    QString program;
    QStringList arguments;
};

class DiagnosticCommands
{
public:
    // The route to `host`, numeric addresses only.
    static DiagnosticCommand traceRoute(const QString& host)
    {
#ifdef Q_OS_WIN
        return {QStringLiteral("tracert"), {QStringLiteral("-d"), host}};
#else
        if (!findProgram(QStringLiteral("traceroute")).isEmpty())
            return {findProgram(QStringLiteral("traceroute")), {QStringLiteral("-n"), host}};
        if (!findProgram(QStringLiteral("tracepath")).isEmpty())
            return {findProgram(QStringLiteral("tracepath")), {QStringLiteral("-n"), host}};
        return {QStringLiteral("traceroute"), {QStringLiteral("-n"), host}};
#endif
    }

    // The TXT records of `name`.
    static DiagnosticCommand txtLookup(const QString& name)
    {
#ifdef Q_OS_WIN
        return {QStringLiteral("nslookup"), {QStringLiteral("-q=txt"), name}};
#else
        if (!findProgram(QStringLiteral("nslookup")).isEmpty())
            return {findProgram(QStringLiteral("nslookup")), {QStringLiteral("-q=txt"), name}};
        if (!findProgram(QStringLiteral("dig")).isEmpty())
            return {findProgram(QStringLiteral("dig")), {QStringLiteral("TXT"), name}};
        return {QStringLiteral("nslookup"), {QStringLiteral("-q=txt"), name}};
#endif
    }

    // Text codec of the diagnostics' output (a name ProgramRunner::decode knows).
    static const char* outputCodec()
    {
#ifdef Q_OS_WIN
        return "IBM 866";
#else
        return "UTF-8";
#endif
    }

    // The release shown after the product name in the system report
    // (DisplayVersion on Windows, the kernel release elsewhere); may be empty.
    static QString osDisplayVersion()
    {
#ifdef Q_OS_WIN
        const QSettings key(
            QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"),
            QSettings::NativeFormat);
        return key.value(QStringLiteral("DisplayVersion")).toString();
#else
        return QSysInfo::kernelVersion();
#endif
    }

private:
    // Full path of a program in PATH or the administrator's folders (the
    // route tools live in sbin); empty when absent.
    static QString findProgram(const QString& name)
    {
        QString path = QStandardPaths::findExecutable(name);
        if (path.isEmpty())
            path = QStandardPaths::findExecutable(
                name, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"), QStringLiteral("/usr/bin")});
        return path;
    }
};
