#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>

// Watches the tray program's INI file, through which a second start with the
// word "activation" asks the running program to show its window.
class CheckerActivation : public QObject
{
    Q_OBJECT
public:
    explicit CheckerActivation(QObject* parent = nullptr);
    ~CheckerActivation() override;

    void check();
    void createFile();
    bool isWatching() const;
    // While the agent cannot be reached the window cannot be shown: an
    // activation is then kept in the file until the agent answers (check()).
    void setAgentReachable(bool reachable) { agentReachable = reachable; }

signals:
    void signalActivationGui();

public slots:
    void slotChangedFile(const QString& path);

private:
    const QString filePath;
    QFileSystemWatcher watcher;
    bool agentReachable = false;
};
