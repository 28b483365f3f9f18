#include "common/RegistryStore.h"

#include <QDir>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include "common/windows/WinKeySecurity.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

QString RegistryStore::stateDirectory()
{
    const QString custom = qEnvironmentVariable("CORVANE_STATE_DIR");
    return custom.isEmpty() ? QStringLiteral("/var/lib/corvane-agent") : custom;
}

QString RegistryStore::filePathFor(const QString& stateDir, const QString& registryPath)
{
    QStringList parts = registryPath.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    // ".." or "." as a key name must not climb out of the state folder.
    for (QString& part : parts) {
        part.replace(QLatin1Char('/'), QLatin1Char('_'));
        if (part == QLatin1String(".") || part == QLatin1String(".."))
            part.replace(QLatin1Char('.'), QLatin1Char('_'));
    }
    if (parts.isEmpty())
        parts << QStringLiteral("root");
    return stateDir + QLatin1Char('/') + parts.join(QLatin1Char('/')) + QStringLiteral(".ini");
}

std::unique_ptr<QSettings> RegistryStore::open(const QString& registryPath)
{
#ifdef Q_OS_WIN
    auto settings = std::make_unique<QSettings>(registryPath, QSettings::NativeFormat);
#else
    const QString path = filePathFor(stateDirectory(), registryPath);
    if (!QFileInfo::exists(path)) {
        const QString folder = QFileInfo(path).absolutePath();
        QDir().mkpath(folder);
        ::chmod(QFile::encodeName(stateDirectory()).constData(), 0700);
        // Create the file ourselves so it is born 0600; later saves keep the mode.
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0)
            ::close(fd);
    }
    auto settings = std::make_unique<QSettings>(path, QSettings::IniFormat);
#endif
    settings->setIniCodec("UTF-8");
    return settings;
}

bool RegistryStore::restrictAccess(const QString& registryPath, QString* error)
{
#ifdef Q_OS_WIN
    QStringList parts = registryPath.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    const QString rootName = parts.isEmpty() ? QString() : parts.takeFirst();
    HKEY root = nullptr;
    if (rootName == QLatin1String("HKEY_USERS"))
        root = HKEY_USERS;
    else if (rootName == QLatin1String("HKEY_LOCAL_MACHINE"))
        root = HKEY_LOCAL_MACHINE;
    else if (rootName == QLatin1String("HKEY_CURRENT_USER"))
        root = HKEY_CURRENT_USER;
    if (root == nullptr || parts.isEmpty()) {
        if (error)
            *error = QStringLiteral("not a registry key path: ") + registryPath;
        return false;
    }
    DWORD code = 0;
    if (WinKeySecurity::restrict(root, parts.join(QLatin1Char('\\')).toStdWString(), &code))
        return true;
    if (error)
        *error = QStringLiteral("Win32 error %1").arg(code);
    return false;
#else
    // Opening creates the file with mode 0600 and its folder 0700; a file
    // made by someone else before is put right here.
    const auto settings = open(registryPath);
    const QByteArray path = QFile::encodeName(filePathFor(stateDirectory(), registryPath));
    if (::chmod(path.constData(), 0600) == 0)
        return true;
    if (error)
        *error = QString::fromLocal8Bit(std::strerror(errno));
    return false;
#endif
}
