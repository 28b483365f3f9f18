#pragma once

#include "common/ResolverStatus.h"
#include "settings/UserData.h"

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QStringList>
#include <QThread>

class BlockPage;
class CheckerCertificate;
class CheckerCli;
class CheckerVersion;
class IAuth;
class NetworkInterfaceManager;
class QTimer;
class SnifferDnsUdp;
class TcpServer;

// The object that builds the agent: it creates every long-lived component,
// runs the DNS listener and the block page server on threads of their own,
// connects the control server's commands to the components and to the
// settings store, and runs the periodic check.
class Core : public QObject
{
    Q_OBJECT
public:
    static constexpr int periodicIntervalMs = 5000;

    explicit Core(QStringList arguments, QObject* parent = nullptr);
    ~Core() override;

    // What the control server is handed for each reply.
    static QJsonObject statusLogReply(bool statusLog);
    static QJsonObject statusAdReply(bool adMode);
    static QJsonObject dnsProtocolReply(UserData::ETypeOfDnsProtocol protocol);
    static QJsonObject filteringStatusLocalReply(int controlDns);
    static QJsonObject profileIdReply(quint32 profileId);
    static QJsonObject statusAuthDataReply(bool stored);
    // Profiles in ascending id order, ids as decimal text.
    static QJsonObject profilesReply(const QMap<quint32, QString>& profiles);
    // Interfaces in ascending GUID order.
    static QJsonObject networkInterfacesReply(const QMap<QString, UserData::NetInter>& interfaces);
    // The protocol a "CHANGEDNSPROTOCOL" message asks for; false when the
    // value names no transport.
    static bool protocolFromMessage(const QJsonObject& data, UserData::ETypeOfDnsProtocol& protocol);

    // The resolver's states the system report lists.
    static constexpr int maxResolverTransitions = 10;
    // Appends `status` unless it is the last one already, dropping the oldest
    // beyond maxResolverTransitions; false when nothing changed.
    static bool addResolverTransition(QList<ResolverStatus>& transitions, const ResolverStatus& status);

    // The parts tests reach into.
    TcpServer* controlServer() const { return tcpServer; }
    IAuth* signIn() const { return auth; }
    CheckerCertificate* certificateChecker() const { return checkerCertificate; }
    CheckerCli* commandLineSignIn() const { return checkerCli; }
    CheckerVersion* versionChecker() const { return checkerVersion; }
    NetworkInterfaceManager* interfaceManager() const { return networkInterfaceManager; }
    QThread& dnsThread() { return threadDns; }
    QThread& blockPageThread() { return threadBlockPage; }

private:
    void connectControl();
    void onConnectGui();
    void onLogin();
    void onLogout();
    void onFilteringStatusLocal(const QJsonObject& data);
    void onGetSettings();
    void onChangeStatusLog();
    void onChangeDnsProtocol(const QJsonObject& data);
    void onChangeNetInterface(const QJsonObject& data);
    void periodicCheck();

    QTimer* timer = nullptr;
    IAuth* auth = nullptr;
    CheckerCertificate* checkerCertificate = nullptr;
    CheckerCli* checkerCli = nullptr;
    NetworkInterfaceManager* networkInterfaceManager = nullptr;
    CheckerVersion* checkerVersion = nullptr;
    SnifferDnsUdp* snifferDnsUdp = nullptr;
    TcpServer* tcpServer = nullptr;
    BlockPage* blockPage = nullptr;
    QThread threadDns;
    QThread threadBlockPage;
    // Oldest first; the last is the current state.
    QList<ResolverStatus> resolverTransitions;
};
