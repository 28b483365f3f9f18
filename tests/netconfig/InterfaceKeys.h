#pragma once

// Reads and writes interface keys of the emulated registry and the backup
// groups of the agent's settings, as the tests see them.

#include "common/RegistryStore.h"
#include "settings/ConstData.h"

#include <QMap>
#include <QSettings>
#include <QVariant>

namespace InterfaceKeys {

inline QString rootV4()
{
    return ConstData::getAddrFileDns().split(QLatin1Char(':')).value(0);
}

inline QString rootV6()
{
    return ConstData::getAddrFileDns().split(QLatin1Char(':')).value(1);
}

inline void write(const QString& root, const QString& name, const QMap<QString, QVariant>& values)
{
    auto key = RegistryStore::open(root + name);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        key->setValue(it.key(), it.value());
    key->sync();
}

// The value as text; "<absent>" when the key does not hold it.
inline QString value(const QString& root, const QString& name, const QString& entry)
{
    auto key = RegistryStore::open(root + name);
    if (!key->contains(entry))
        return QStringLiteral("<absent>");
    return key->value(entry).toString();
}

inline QString backup(const QString& name, const QString& family, const QString& entry)
{
    auto store = RegistryStore::open(ConstData::getAddressConf());
    const QString path =
        QStringLiteral("interfaces/") + name + QLatin1Char('/') + family + QLatin1Char('/') + entry;
    if (!store->contains(path))
        return QStringLiteral("<absent>");
    return store->value(path).toString();
}

inline QStringList backedUpNames()
{
    auto store = RegistryStore::open(ConstData::getAddressConf());
    store->beginGroup(QStringLiteral("interfaces"));
    return store->childGroups();
}

} // namespace InterfaceKeys
