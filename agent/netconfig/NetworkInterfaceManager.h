#pragma once

#include "netconfig/NetworkInterface.h"
#include "netconfig/SystemResolver.h"
#include "platform/AdapterSource.h"
#include "settings/UserData.h"

#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <list>

// Keeps the machine's DNS pointed at the agent. Once a second it lists the
// adapters, backs up each protected interface the first time it sees it,
// points it at the loopback listener, and puts back the saved values of
// interfaces that are no longer protected or no longer present. At application
// quit it puts back every interface it ever backed up. It also keeps the
// interface map the GUI shows and records the machine's previous DNS servers
// for the queries that must bypass filtering (SRV, the local domain).
class NetworkInterfaceManager : public QObject
{
    Q_OBJECT

public:
    // When the interfaces are first pointed at the agent: at once, or only
    // once allowRedirect() says that the agent's DNS listener answers (until
    // then the passes back up and list interfaces but change none).
    enum class Redirect
    {
        Now,
        WhenAllowed
    };

    // `roots`: the IPv4 and the IPv6 interface roots joined by ":".
    NetworkInterfaceManager(QString roots, QObject* parent = nullptr, Redirect redirect = Redirect::Now);

    // The listener is bound and answers: point the interfaces (and the
    // system resolver) at it from this pass on.
    void allowRedirect();
    bool isRedirecting() const { return redirecting; }
    ~NetworkInterfaceManager() override;

    // Stores the protection switch and runs a pass at once. The switch only
    // decides whether the DNS proxy filters; interfaces stay pointed at it.
    void setStatusProtect(const UserData::StatusControlDns& status);

    // Fills `out` with the interfaces to protect and keeps the stored map.
    // Ends the process with exit code 1 when the adapter list cannot be read.
    void getActiveInterfaces(std::list<NetworkInterface>& out);
    // Backs up the listed interfaces and fills the saved DNS lists.
    void backupInterfaces(const std::list<NetworkInterface>& list);
    // The members of `previous` missing from `current`, in `previous`'s order.
    static std::list<NetworkInterface> getUnactiveInterfaces(const std::list<NetworkInterface>& current,
                                                             const std::list<NetworkInterface>& previous);

    const std::list<NetworkInterface>& getCurrentInterfaces() const { return activeInterfaces; }
    const QString& getRootV4() const { return rootV4; }
    const QString& getRootV6() const { return rootV6; }

    // The servers of a DNS value text: split at spaces, empty pieces and the
    // agent's own listener addresses dropped (queries sent there would come
    // straight back to the agent).
    static QStringList splitServers(const QString& text);
    // A display name as it goes into the stored map: ":" separates the name
    // from the status there, so a colon in the name would read back as
    // "not protected". It becomes the look-alike ratio sign (U+2236).
    static QString storableName(const QString& displayName);
    // One map entry as logged: "name : display, true".
    static QString describe(const QMap<QString, UserData::NetInter>& map);
    // What tells one network from another: the adapters that are up and
    // their addresses, whatever order they are listed in.
    static QByteArray networkFingerprint(const QVector<AdapterInfo>& adapters);

signals:
    // The adapters that are up, or their addresses, changed since the last
    // pass: connections opened before may lead nowhere now.
    void signalNetworkChanged();

public slots:
    void restoreAllInterface();
    void slotChangedFile(const QString& path = QString());

private:
    // The adapter list is unreadable: nothing can be protected any more, so
    // every interface gets its values back before the process ends.
    [[noreturn]] void failUnreadableAdapters();

    std::list<NetworkInterface> activeInterfaces;
    QString rootV4;
    QString rootV6;
    QTimer timer;
    // What this process stored last: interfaces that vanished stay in the
    // store, so comparing sizes alone would store the map on every pass.
    QMap<QString, UserData::NetInter> lastStored;
    bool storedOnce = false;
    QSet<QString> refusedNames;
    QByteArray lastFingerprint;
    // Where the system keeps its resolvers outside the interface values
    // (resolv.conf, systemd-resolved, NetworkManager), the same links follow.
    SystemResolver resolver;
    bool redirecting = true;
};
