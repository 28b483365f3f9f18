#include "gui/UserData.h"

#include "common/RegistryStore.h"
#include "gui/ConstData.h"
#include "gui/GuiLoggingCategories.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace {
const QString keyActivation = QStringLiteral("GUI/LAUNCH/STATUS");
const QString keyUninstallPin = QStringLiteral("CONTROL/UNINSTALL/PIN");
} // namespace

bool UserData::setStatusActivationGui(bool status)
{
    const QString path = ConstData::getAddressConfFile();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSettings settings(path, QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    settings.setValue(keyActivation, status);
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        qCWarning(GuiLog::gui) << "Cannot write the activation flag to" << path;
        return false;
    }
    return true;
}

bool UserData::getStatusActivationGui()
{
    const QString path = ConstData::getAddressConfFile();
    QSettings settings(path, QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    const bool status = settings.value(keyActivation, false).toBool();
    if (settings.status() != QSettings::NoError) {
        qCWarning(GuiLog::gui) << "Cannot read the activation flag from" << path;
        return false;
    }
    return status;
}

bool UserData::setCheckUninstPin(const QString& pin)
{
    // The same store and mapping the agent opens, so the agent's uninstall
    // check finds the PIN where it looks (the file stays readable by its
    // owner only).
    auto store = RegistryStore::open(ConstData::getAddressConfRegister());
    store->setValue(keyUninstallPin, pin);
    store->sync();
    if (store->status() != QSettings::NoError) {
        qCCritical(GuiLog::gui) << "Cannot store the uninstall PIN in" << store->fileName();
        return false;
    }
    return true;
}
