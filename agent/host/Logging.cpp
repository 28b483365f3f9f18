#include "host/Logging.h"

#include "common/RegistryStore.h"
#include "host/HostLogging.h"
#include "logging/LogFile.h"
#include "settings/ConstData.h"

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

bool Logging::isSecretKey(const QString& key)
{
    // Registry names ignore letter case, so the test does too. A key is secret
    // when its last level, or one word of it, names sign-in data, a PIN, a
    // token, a password or key, or the machine's identity.
    static const QStringList words{
        QStringLiteral("PIN"), QStringLiteral("AUTHDATA"), QStringLiteral("TOKEN"),
        QStringLiteral("UID"), QStringLiteral("PASSWORD"), QStringLiteral("SECRET"),
        QStringLiteral("KEY"), QStringLiteral("ACCESS"),   QStringLiteral("REFRESH")};
    const QString leaf = key.section(QLatin1Char('/'), -1).toUpper();
    const QStringList parts = leaf.split(QLatin1Char('_'), Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        if (words.contains(part))
            return true;
    }
    return false;
}

QString Logging::maskedValue(const QString& key, const QVariant& value)
{
    if (!isSecretKey(key))
        return value.toString();
    // Only whether a secret is there and how long it is, never a character of it.
    const qsizetype length =
        value.type() == QVariant::ByteArray ? value.toByteArray().size() : value.toString().size();
    if (length == 0)
        return QStringLiteral("not set");
    return QStringLiteral("set, %1 characters").arg(length);
}

void Logging::writeSettings()
{
    auto store = RegistryStore::open(ConstData::getAddressConf());
    const QStringList groups = store->childGroups();
    for (const QString& group : groups) {
        store->beginGroup(group);
        const QStringList keys = store->allKeys();
        for (const QString& key : keys) {
            const QString value = maskedValue(key, store->value(key, QString()));
            qCInfo(logging) << QStringLiteral("Group: ") + group << QStringLiteral("\tKey: ") + key
                            << QStringLiteral("\tValue: ") + value;
        }
        store->endGroup();
    }
}
