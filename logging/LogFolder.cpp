#include "logging/LogFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {
const QString dateFormat = QStringLiteral("yyyy-MM-dd");
constexpr int dateLength = 10;
} // namespace

QString LogFolder::fileName(const QString& baseName, const QDate& day, int part)
{
    QString name = baseName + QLatin1Char('_') + day.toString(dateFormat);
    if (part > 0)
        name += QLatin1Char('_') + QStringLiteral("%1").arg(part, 3, 10, QLatin1Char('0'));
    return name + QStringLiteral(".log");
}

bool LogFolder::parse(const QString& name, const QString& baseName, QDate* day, int* part)
{
    const QString suffix = QStringLiteral(".log");
    const int prefix = baseName.size() + 1;
    if (!name.startsWith(baseName) || name.size() < prefix + dateLength + suffix.size() ||
        name.at(baseName.size()) != QLatin1Char('_') || !name.endsWith(suffix))
        return false;
    const QDate parsed = QDate::fromString(name.mid(prefix, dateLength), dateFormat);
    if (!parsed.isValid())
        return false;
    const QStringRef rest =
        name.midRef(prefix + dateLength, name.size() - prefix - dateLength - suffix.size());
    int number = 0;
    if (!rest.isEmpty()) {
        // "_" and at least one digit, nothing else.
        if (rest.size() < 2 || rest.size() > 10 || rest.at(0) != QLatin1Char('_'))
            return false;
        for (int i = 1; i < rest.size(); ++i) {
            if (!rest.at(i).isDigit() || rest.at(i).unicode() > '9')
                return false;
            number = number * 10 + (rest.at(i).unicode() - '0');
        }
        if (number == 0)
            return false;
    }
    *day = parsed;
    *part = number;
    return true;
}

QVector<LogFolder::Entry> LogFolder::list(const QString& folder, const QString& baseName)
{
    QVector<Entry> entries;
    const QFileInfoList files = QDir(folder).entryInfoList(QDir::Files | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QFileInfo& file : files) {
        Entry entry;
        if (!parse(file.fileName(), baseName, &entry.day, &entry.part))
            continue;
        entry.fileName = file.fileName();
        entry.size = file.size();
        entries.append(entry);
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.day != b.day ? a.day < b.day : a.part < b.part;
    });
    return entries;
}

int LogFolder::lastPart(const QString& folder, const QString& baseName, const QDate& day)
{
    int last = 0;
    for (const Entry& entry : list(folder, baseName)) {
        if (entry.day == day)
            last = std::max(last, entry.part);
    }
    return last;
}

int LogFolder::prune(const QString& folder, const QString& baseName, const Bounds& bounds, const QDate& today,
                     const QString& keep)
{
    const QString kept = QFileInfo(keep).fileName();
    const QDir dir(folder);
    QVector<Entry> rest;
    qint64 total = 0;
    int deleted = 0;
    for (const Entry& entry : list(folder, baseName)) {
        if (entry.fileName == kept)
            continue;
        if (entry.day.daysTo(today) > bounds.maxAgeDays && QFile::remove(dir.filePath(entry.fileName))) {
            ++deleted;
            continue;
        }
        rest.append(entry);
        total += entry.size;
    }
    // Room for the file being written to grow to its bound.
    for (const Entry& entry : rest) {
        if (total + bounds.fileBytes <= bounds.folderBytes)
            break;
        if (QFile::remove(dir.filePath(entry.fileName))) {
            ++deleted;
            total -= entry.size;
        }
    }
    return deleted;
}
