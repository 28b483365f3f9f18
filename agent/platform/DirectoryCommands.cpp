#include "platform/DirectoryCommands.h"

#include <QRegularExpression>

namespace {

bool allCharsIn(const QString& text, const QString& extra)
{
    for (const QChar c : text) {
        if (c.isLetterOrNumber() || extra.contains(c))
            continue;
        return false;
    }
    return true;
}

void appendOnce(QStringList& list, const QString& name)
{
    if (!name.isEmpty() && !list.contains(name))
        list.append(name);
}

} // namespace

bool DirectoryCommands::isSafeUserName(const QString& name)
{
    if (name.isEmpty() || name.size() > 256 || name.trimmed() != name)
        return false;
    return allCharsIn(name, QStringLiteral(" ._-@"));
}

bool DirectoryCommands::isSafeDomainName(const QString& name)
{
    if (name.isEmpty() || name.size() > 255)
        return false;
    return allCharsIn(name, QStringLiteral(".-"));
}

QString DirectoryCommands::windowsGroupQuery(const QString& user, const QString& domain)
{
    return QStringLiteral("Get-ADUser -Properties * -Filter 'SamAccountName -like \"") + user +
           QStringLiteral("\"' -Server '") + domain + QStringLiteral("' | foreach {$_.'MemberOf'}");
}

QString DirectoryCommands::windowsToolCheck()
{
    return QStringLiteral(
        "Get-WindowsCapability  -Online -Name Rsat.ActiveDirectory.DS-LDS.Tools~~~~0.0.1.0");
}

QString DirectoryCommands::windowsToolInstall()
{
    return QStringLiteral("Add-WindowsCapability -online -Name Rsat.ActiveDirectory.DS-LDS.Tools~~~~0.0.1.0");
}

DirectoryCommand DirectoryCommands::groupQuery(const QString& user, const QString& domain)
{
#ifdef Q_OS_WIN
    return {QStringLiteral("powershell"), {windowsGroupQuery(user, domain)}, "IBM 866"};
#else
    Q_UNUSED(domain)
    return {QStringLiteral("id"), {QStringLiteral("-Gn"), QStringLiteral("--"), user}, "UTF-8"};
#endif
}

DirectoryCommand DirectoryCommands::toolCheck()
{
#ifdef Q_OS_WIN
    return {QStringLiteral("powershell"), {QStringLiteral("-Command"), windowsToolCheck()}, "IBM 866"};
#else
    return {};
#endif
}

DirectoryCommand DirectoryCommands::toolInstall()
{
#ifdef Q_OS_WIN
    return {QStringLiteral("powershell"), {QStringLiteral("-Command"), windowsToolInstall()}, "IBM 866"};
#else
    return {};
#endif
}

QStringList DirectoryCommands::parseGroups(const QString& output)
{
#ifdef Q_OS_WIN
    return parseMemberOf(output);
#else
    return parseIdGroups(output);
#endif
}

QStringList DirectoryCommands::parseMemberOf(const QString& output)
{
    QStringList names;
    const QStringList lines = output.split(QRegularExpression(QStringLiteral("\r?\n")), Qt::SkipEmptyParts);
    for (const QString& raw : lines) {
        const QString line = raw.trimmed();
        if (!line.startsWith(QLatin1String("CN="), Qt::CaseInsensitive))
            continue;
        // The first relative name ends at the first comma that is not escaped.
        QString name;
        bool escaped = false;
        for (int i = 3; i < line.size(); ++i) {
            const QChar c = line.at(i);
            if (escaped) {
                name.append(c);
                escaped = false;
            } else if (c == QLatin1Char('\\')) {
                escaped = true;
            } else if (c == QLatin1Char(',')) {
                break;
            } else {
                name.append(c);
            }
        }
        appendOnce(names, name.trimmed());
    }
    return names;
}

QStringList DirectoryCommands::parseIdGroups(const QString& output)
{
    QStringList names;
    const QStringList words = output.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    for (const QString& word : words)
        appendOnce(names, word.section(QLatin1Char('@'), 0, 0));
    return names;
}
