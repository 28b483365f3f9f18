#include "Logging.h"

#include "ConstData.h"
#include "LogFile.h"
#include "LoggingCategories.h"
#include "RegistryStore.h"

#include <QDateTime>

void Logging::writeToLog(const QString& line)
{
    LogFile::instance().write(line);
}

QString Logging::headerText()
{
    return QStringLiteral("\n----- START_") + ConstData::getOrgName() + QStringLiteral(" (v") +
           ConstData::getVersion() + QStringLiteral(", os: ") + ConstData::getOS() + QStringLiteral(") ") +
           QDateTime::currentDateTimeUtc().toString(QStringLiteral("hh:mm:ss.zzz")) +
           QStringLiteral(" -----\n");
}

void Logging::startHeaderLog()
{
    writeToLog(headerText());
}

QString Logging::maskedValue(const QString& key, const QString& value)
{
    // Sign-in data and PINs show only their beginning. The uninstall PIN sits
    // one level deeper (UNINSTALL/PIN) and is masked the same way.
    const QString leaf = key.section(QLatin1Char('/'), -1);
    if (leaf == QLatin1String("PIN") || leaf == QLatin1String("AUTHDATA"))
        return value.left(5) + QStringLiteral("...");
    return value;
}

void Logging::writeSettings()
{
    auto store = RegistryStore::open(ConstData::getAddressConf());
    const QStringList groups = store->childGroups();
    for (const QString& group : groups) {
        store->beginGroup(group);
        const QStringList keys = store->allKeys();
        for (const QString& key : keys) {
            const QString value = maskedValue(key, store->value(key, QString()).toString());
            qCInfo(logging) << QStringLiteral("Group: ") + group << QStringLiteral("\tKey: ") + key
                            << QStringLiteral("\tValue: ") + value;
        }
        store->endGroup();
    }
}
