#pragma once

#include "common/ResolverStatus.h"

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QMetaType>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariant>

// The agent's settings store and its process-wide account state.
//
// Persistent values live under ConstData::getAddressConf() in the registry
// (an INI file of the emulated registry elsewhere). The values the DNS threads
// read for every query (protocol, protection state, resolver addresses, host
// names, the logging switch) come from an in-memory copy: a change made
// through these setters is seen by the very next read, a change made to the
// store from outside within one second. All functions are thread-safe.
class UserData
{
public:
    enum ETypeOfDnsProtocol : quint32
    {
        DNS = 0,
        DOH = 1,
        DOT = 2
    };
    enum StatusControlDns : int
    {
        UNSET = 0,
        ON = 1,
        OFF = 2
    };

    struct NetInter
    {
        QString name;
        bool status = false;
    };

    // CONTROL
    static bool getStatusLog();
    static void setStatusLog(bool status);
    static void setStatusLog(); // toggles
    static ETypeOfDnsProtocol getDnsProtocol();
    static void setDnsProtocol(ETypeOfDnsProtocol protocol);
    static QString getDnsIpV4();
    static QString getDnsIpV6();
    // "https://" + the DoH/DoT host name.
    static QString getDnsDomain();
    // The DoH/DoT host name alone (no logging: read for every query).
    static QString getDnsHost();
    static QString getDomainName();
    static int getControlDNS();
    static void setControlDNS(StatusControlDns status);
    static bool getNoAdWork();
    static void setNoAdWork(bool noAd);
    // CONTROL/FAIL_MODE: while the filtering service cannot be reached,
    // "open" (the default) lets the network's own servers answer, "closed"
    // answers SERVFAIL.
    static bool getFailClosed();
    static void setFailClosed(bool closed);
    // AD mode: the machine is in a directory domain and the mode is not switched off.
    static bool isAdMode();
    // The control server's PIN guard, kept across restarts: wrong PINs in a
    // row, lock-outs in the current series and the end of the last one (ms
    // since the epoch). Missing or unreadable values read as 0.
    static void getPinLockOut(int& wrongInRow, int& lockOuts, qint64& lockedUntilMs);
    static void setPinLockOut(int wrongInRow, int lockOuts, qint64 lockedUntilMs);

    // CONTROL/NETWORK_INTER
    static QMap<QString, NetInter> getNetworkInterfaces();
    static void setNetworkInterfaces(const QMap<QString, NetInter>& interfaces);
    // Stores exactly `interfaces`: entries of interfaces that are gone are
    // removed (setNetworkInterfaces writes the given entries and keeps others).
    static void replaceNetworkInterfaces(const QMap<QString, NetInter>& interfaces);
    // How one stored value reads back; false when it is skipped.
    static bool parseNetInter(const QString& value, NetInter& result);

    // CONTROL/UNINSTALL
    static bool getCheckUninstallStatus();
    static void setCheckUninstallStatus(bool status);
    static QString getCheckUninstallPin(); // read once: the entry is removed

    // GUI/COORD/WIN
    static QJsonObject getCoordGui();
    static void setCoordGui(const QJsonObject& coordinates);

    // USER
    // The machine's 32-bit token, or noToken (-1: nothing stored, or the
    // stored value 0xFFFFFFFF). Tokens from 2^31 up are tokens like any other.
    static constexpr qint64 noToken = -1;
    static qint64 getToken();
    static void setToken(quint32 id);
    // The token a stored USER/TOKEN value stands for: a number from 0 to
    // 0xFFFFFFFE; 0xFFFFFFFF, -1, anything else or nothing is noToken. A
    // negative 32-bit value other than -1 (written as a signed number) is
    // read as its unsigned bits.
    static qint64 tokenFromStored(const QVariant& stored);
    static void saveUid(const QString& uid);
    static QString getSaveUid();
    // The stored machine id without a log line of its own: debug lines that
    // carry it (URLs, request bodies) replace it with its masked form.
    static QString savedUidForMask();

    // Sign-in data, in memory and PIN-protected in the store.
    static void setLogin(const QString& login);
    static QString getLogin();
    static void setPassword(const QString& password);
    static QString getPassword();
    static void setAuthToken(const QString& token);
    static QString getAuthToken();
    // Stores the sign-in data protected by `pin`; an empty PIN is refused.
    static bool setPin(const QString& pin);
    // True when `pin` opens the stored data; only then are the in-memory
    // sign-in values replaced by what it decodes. An empty PIN never matches.
    static bool checkPin(const QString& pin);
    static bool checkAuthData();
    // Sign-out: the sign-in values in memory and in the store are removed
    // (the UID stays) and the generation below moves on.
    static void deleteAuthData();
    // Moves on with every deleteAuthData(): the backend drops the tokens it
    // keeps in memory when it sees a generation other than theirs.
    static quint64 getAuthDataGeneration();
    static QByteArray encodeDecode(const QByteArray& data, const QByteArray& key);

    // In-memory account state.
    static quint32 getProfileId();
    static void saveProfileId(quint32 id);
    static void setSavedIpV4Dns(const QStringList& servers);
    static void setSavedIpV6Dns(const QStringList& servers);
    static QStringList getSavedIpV4Dns();
    static QStringList getSavedIpV6Dns();

    // Identity of the machine and its user.
    static QString getLocalHostName();
    static QString getLocalIP();
    static void checkUsername();
    static QString getUsername();

    // CONTROL/BACKEND: "jrpc" or "rest" picks the backend binding outside
    // directory mode; empty (the default, not written back) leaves the choice
    // to the build.
    static QString getBackendBinding();

    // Account queries: one backend round trip each (getUserInfo two); they
    // log their outcome and fall back to their defaults on failure. They and
    // getSystemInfo and sendDebugInfo are built into corvane_backend
    // (backend/UserDataQueries.cpp), which sits above this library: a program
    // that calls them links corvane_backend.
    static QString getIp();                       // "unknown" on failure
    static QJsonObject getUserInfo();             // empty on failure
    static QMap<unsigned, QString> getProfiles(); // empty on failure
    static bool setProfileId(quint32 id);         // true when the backend took it
    static bool removeAgentProfile();
    static bool getFilteringStatus(); // true on failure

    // System and debug reports.
    // `resolver`: the resolver's last states, oldest first (kept by the agent's core).
    static QString getSystemInfo(const QList<ResolverStatus>& resolver = {});
    // Runs the two network diagnostics, keeps and returns their JSON text.
    static QString getDebugInfo();
    // Refreshes the debug information and uploads it; true when the service confirms.
    static bool sendDebugInfo();
    // The last debug information text (empty before the first run).
    static QString getLastDebugInfo();
    static void setLastDebugInfo(const QString& info);
    // Runs one program (30 s at most) and returns its decoded output.
    static QString startCommand(const QString& program, const QStringList& arguments);
    static QString startCommand(const QString& program, const QStringList& arguments, int timeoutMs);
    // The debug information's JSON text for the API domain `domain`, each
    // diagnostic limited to `timeoutMs`; nothing is read or kept, so it runs
    // on any thread (the report runner calls it on a thread of its own).
    static QString collectDebugInfo(const QString& domain, int timeoutMs);
    // Keeps `info` as the last debug information and uploads it; true when
    // the service confirms. A backend round trip on the calling thread.
    static bool sendDebugInfo(const QString& info);

    // Forget every in-memory value and the cached copy of the store (tests).
    static void resetMemoryState();

    // ---- Directory (AD) mode ----
    // The directory groups of the console user: (group names, status); status 0
    // means the directory query succeeded.
    static QPair<QStringList, int> getLdapGroups();
    // Makes sure the directory tools are installed (nothing to do where the
    // system has none to install).
    static void installAdTool();
};

Q_DECLARE_METATYPE(UserData::ETypeOfDnsProtocol)
