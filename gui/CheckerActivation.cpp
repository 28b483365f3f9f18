#include "gui/CheckerActivation.h"

#include "gui/ConstData.h"
#include "gui/GuiLoggingCategories.h"
#include "gui/UserData.h"

#include <QFile>
#include <QFileInfo>

CheckerActivation::CheckerActivation(QObject* parent)
    : QObject(parent), filePath(ConstData::getAddressConfFile()), watcher(this)
{
    connect(&watcher, &QFileSystemWatcher::fileChanged, this, &CheckerActivation::slotChangedFile);
    // An existing file may already carry an activation (a start with the
    // word "activation" that found no running program); it is kept for
    // check(), which runs once the agent is reached.
    if (QFileInfo(filePath).isFile())
        watcher.addPath(filePath);
    else
        createFile();
    qCInfo(GuiLog::checkerActivation) << "CREATE";
}

CheckerActivation::~CheckerActivation()
{
    watcher.removePath(filePath);
    const bool removed = QFile::remove(filePath);
    qCInfo(GuiLog::checkerActivation) << "File is removed:" << removed;
}

bool CheckerActivation::isWatching() const
{
    return watcher.files().contains(filePath);
}

void CheckerActivation::slotChangedFile(const QString&)
{
    qCDebug(GuiLog::checkerActivation) << "CHANGED";
    if (!QFileInfo(filePath).isFile()) {
        createFile();
    } else if (!isWatching()) {
        // Settings are saved by writing a new file over the old one, which
        // ends the watch on the old one: watch the new file.
        watcher.addPath(filePath);
    }
    if (UserData::getStatusActivationGui()) {
        if (!agentReachable) {
            qCInfo(GuiLog::checkerActivation) << "ACTIVATION waits for the agent";
            return;
        }
        qCInfo(GuiLog::checkerActivation) << "ACTIVATION";
        emit signalActivationGui();
        UserData::setStatusActivationGui(false);
    }
}

void CheckerActivation::check()
{
    slotChangedFile(QString());
}

void CheckerActivation::createFile()
{
    watcher.removePath(filePath);
    if (!UserData::setStatusActivationGui(false))
        qCWarning(GuiLog::checkerActivation) << "Cannot create" << filePath;
    if (!QFileInfo(filePath).isFile() || !watcher.addPath(filePath))
        qCWarning(GuiLog::checkerActivation) << "Cannot watch" << filePath;
}
