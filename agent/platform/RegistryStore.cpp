#include "RegistryStore.h"

#include <QDir>
#include <QFileInfo>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
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
