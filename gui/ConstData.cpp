#include "gui/ConstData.h"

#include "gui/GuiLoggingCategories.h"

#include <QDir>
#include <QStandardPaths>

QString ConstData::getAppName()
{
    return QStringLiteral("Corvane Agent");
}

QString ConstData::getOrgName()
{
    return QStringLiteral("Corvane");
}

QString ConstData::getConfFileName()
{
    return QStringLiteral("settings.conf");
}

QString ConstData::getKeyGuard()
{
    return QStringLiteral("Hd5sJ1fX8cNq2Wg6Zr0E");
}

QSize ConstData::getSizeWin()
{
    return QSize(1145, 600);
}

int ConstData::getHeightWindowMover()
{
    return 85;
}

quint16 ConstData::getPortTcpOfAgent()
{
    return 49101;
}

QString ConstData::getAddressConfFile()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (folder.isEmpty()) {
        // No per-user data folder (no home directory): fall back to the
        // temporary folder rather than writing next to the working directory.
        folder = QDir::tempPath();
        qCWarning(GuiLog::constData) << "No application data folder, using" << folder;
    }
    return QDir::toNativeSeparators(folder + QLatin1Char('/') + getConfFileName());
}

QString ConstData::getAddressConfRegister()
{
    return QStringLiteral("\\HKEY_USERS\\.DEFAULT\\Software\\") + getOrgName() + QLatin1Char('\\') +
           getAppName();
}

QString ConstData::getSupportEmail()
{
#ifdef CORVANE_SUPPORT_EMAIL
    return QStringLiteral(CORVANE_SUPPORT_EMAIL);
#else
    return QStringLiteral("support@corvane.test");
#endif
}
