#pragma once

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

// The resolver configuration that applications really use, on systems where
// it is not the interfaces' registry values: the agent takes it over while
// links are protected and gives it back afterwards. The mode is found at run
// time:
//  - systemd-resolved runs and /etc/resolv.conf points at its stub: each
//    protected link gets the servers 127.0.0.1 and ::1 with the routing
//    domain "~." (every name), and its own settings back on restore;
//  - NetworkManager runs without systemd-resolved and writes /etc/resolv.conf:
//    each device's DNS is changed at run time only, never in a saved
//    connection, and the connection's own settings are reapplied on restore;
//  - otherwise /etc/resolv.conf itself (the file a symlink names) is rewritten
//    with the two loopback servers and put back byte for byte.
// Backups live in the agent's settings store beside the interfaces' backups,
// with "backuped" 1 while valid: a run that died leaves them, and the next run
// re-applies or restores from them instead of backing up its own loopback.
// On Windows the registry values are the system's and this does nothing.
class SystemResolver
{
public:
    enum class Mode
    {
        None,
        ResolvConf,
        Resolved,
        NetworkManager
    };

    // What the mode is decided from.
    struct Facts
    {
        QString resolvConfTarget; // the file /etc/resolv.conf is or names
        QByteArray resolvConfText;
        bool resolvedRunning = false;
        bool networkManagerRunning = false;
        // The agent runs in a network namespace other than the system's: the
        // system's daemons configure links that are not ours.
        bool foreignNetworkNamespace = false;
    };

    // The machine's resolver, for the links the system lists. `storePath` is
    // the settings store (registry path) that keeps the backups. Inert on
    // Windows and while a test's fake adapter list is installed.
    explicit SystemResolver(QString storePath);
    // A given mode over a given resolv.conf (tests).
    SystemResolver(QString storePath, Mode mode, QString resolvConfPath);

    // One pass: `links` are the links protected now. New ones are taken over
    // (backed up first, once), ones protected before and missing now are
    // given back; resolv.conf is held while any link is protected.
    void protect(const QStringList& links);
    // The servers of one family resolv.conf named before the agent took it
    // over (the backup once there is one), the agent's own 127.0.0.1 and ::1 left
    // out; empty
    // unless resolv.conf itself is the mode. The links' own settings have none
    // in that mode: these are the network's servers.
    QStringList originalServers(bool ipv4);
    static QStringList nameservers(const QByteArray& resolvConf, bool ipv4);
    // Gives back everything any run backed up (application quit).
    void restoreAll();
    Mode getMode();

    // Pure decisions, called directly by tests.
    static Mode decideMode(const Facts& facts);
    static Facts probe(const QString& resolvConfPath);
    // resolv.conf while protection applies: the two loopback servers, the
    // original's other lines (search, options) kept.
    static QByteArray takeoverText(const QByteArray& original);
    // Command lines (program first) that point a link at the agent, and that
    // put back its saved servers and routing domains.
    static QList<QStringList> applyCommands(Mode mode, const QString& link);
    static QList<QStringList> restoreCommands(Mode mode, const QString& link, const QStringList& servers,
                                              const QStringList& domains);
    // The settings group of a link's backup, and of the resolv.conf backup.
    static QString linkGroup(const QString& link);
    static QString fileGroup();
    static QString modeName(Mode mode);
    static Mode modeFromName(const QString& name);

private:
    void takeOverFile();
    void giveBackFile();
    void takeOverLink(const QString& link);
    void giveBackLink(const QString& link);
    void run(const QList<QStringList>& commands);
    bool isEnabled() const;
    QStringList linksBackedUp() const;

    QString storePath;
    QString resolvConfPath;
    Mode mode = Mode::None;
    bool modeKnown = false;
    bool followsSystem = false;
    QSet<QString> applied;
    int passes = 0;
};
