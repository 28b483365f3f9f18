#include "host/Core.h"

#include "backend/AuthLogin.h"
#include "backend/AuthToken.h"
#include "backend/CheckerCli.h"
#include "backend/CheckerVersion.h"
#include "backend/NetworkAccessManager.h"
#include "backend/ReportRunner.h"
#include "backend/RestAD.h"
#include "blockpage/BlockPage.h"
#include "certificates/CheckerCertificate.h"
#include "common/ControlStatus.h"
#include "common/PayloadKeys.h"
#include "control/TcpServer.h"
#include "dns/SnifferDnsUdp.h"
#include "host/HostLogging.h"
#include "netconfig/NetworkInterfaceManager.h"
#include "settings/ConstData.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QTimer>

Core::Core(QStringList arguments, QObject* parent) : QObject(parent)
{
    // In directory mode the backend door builds the directory binding.
    RestAD::registerBinding();

    checkerCertificate = new CheckerCertificate(this);
    checkerCli = new CheckerCli(arguments, this);
    // The interfaces are pointed at the agent once its DNS listener is bound
    // and answers; while another program holds port 53 they are left alone.
    networkInterfaceManager = new NetworkInterfaceManager(ConstData::getAddrFileDns(), this,
                                                          NetworkInterfaceManager::Redirect::WhenAllowed);
    checkerVersion = new CheckerVersion(ConstData::getVersion(), this);
    snifferDnsUdp = new SnifferDnsUdp(nullptr);
    tcpServer = new TcpServer(ConstData::getPortTcpOfAgent(), this);
    blockPage = new BlockPage(ConstData::getPortHttp(), nullptr);

    // The sign-in object: an access key in directory mode, else login and password.
    if (UserData::isAdMode()) {
        UserData::installAdTool();
        auth = new AuthToken(this);
    } else {
        auth = new AuthLogin(this);
    }

    // A worker thread that ends while the agent runs is started again at once.
    // Finished is delivered to this object's thread, so once its event loop
    // has ended (shutdown) nothing is restarted.
    snifferDnsUdp->moveToThread(&threadDns);
    connect(snifferDnsUdp, &SnifferDnsUdp::signalReady, networkInterfaceManager,
            [this] { networkInterfaceManager->allowRedirect(); });
    connect(networkInterfaceManager, &NetworkInterfaceManager::signalNetworkChanged, snifferDnsUdp,
            &SnifferDnsUdp::slotNetworkChanged);
    connect(&threadDns, &QThread::started, snifferDnsUdp, &SnifferDnsUdp::slotStart);
    connect(&threadDns, &QThread::finished, this, [this] {
        qCCritical(core) << "THREAD DNS UDP FINISHED";
        threadDns.start(QThread::InheritPriority);
    });
    threadDns.start(QThread::InheritPriority);

    blockPage->moveToThread(&threadBlockPage);
    connect(&threadBlockPage, &QThread::started, blockPage, &BlockPage::slotStart);
    connect(&threadBlockPage, &QThread::finished, this, [this] {
        qCCritical(core) << "THREAD BLOCK PAGE FINISHED";
        threadBlockPage.start(QThread::InheritPriority);
    });
    threadBlockPage.start(QThread::InheritPriority);

    connectControl();

    timer = new QTimer(this);
    timer->setInterval(periodicIntervalMs);
    connect(
        timer, &QTimer::timeout, timer, [this] { periodicCheck(); }, Qt::DirectConnection);
    timer->start();

    qCInfo(core) << "CREATE" << thread();
}

Core::~Core()
{
    delete timer;
    timer = nullptr;
    // The two workers are deleted on their own threads as those finish, so
    // their sockets go away where they were made; a thread that is not
    // running any more leaves its object to be deleted here.
    const QPointer<SnifferDnsUdp> sniffer(snifferDnsUdp);
    snifferDnsUdp->deleteLater();
    threadDns.quit();
    threadDns.wait();
    delete sniffer.data();

    const QPointer<BlockPage> page(blockPage);
    blockPage->deleteLater();
    threadBlockPage.quit();
    threadBlockPage.wait();
    delete page.data();
}

void Core::connectControl()
{
    // The DNS server reports on its own thread: both are queued to this one.
    connect(snifferDnsUdp, &SnifferDnsUdp::signalResolverStatus, tcpServer, &TcpServer::slotStatusResolver,
            Qt::QueuedConnection);
    connect(snifferDnsUdp, &SnifferDnsUdp::signalResolverStatus, this,
            [this](const ResolverStatus& status) { addResolverTransition(resolverTransitions, status); });
    connect(tcpServer, &TcpServer::signalConnectGui, this, &Core::onConnectGui);
    connect(tcpServer, &TcpServer::signalGetVersion, checkerVersion, &CheckerVersion::slotGetVersion);
    connect(checkerVersion, &CheckerVersion::signalVersions, tcpServer, &TcpServer::slotVersions);
    // The sign-in object answers the command-line sign-in synchronously.
    connect(checkerCli, &CheckerCli::signalCheckAuth, auth, &IAuth::slotCheckAuth, Qt::DirectConnection);
    connect(auth, &IAuth::signalStatusCheckAuth, checkerCli, &CheckerCli::slotStatusCheckAuth,
            Qt::DirectConnection);
    connect(checkerCli, &CheckerCli::signalCreatePin, auth, &IAuth::slotCreatePin, Qt::DirectConnection);
    connect(auth, &IAuth::signalStatusCreatePin, checkerCli, &CheckerCli::slotStatusCreatePin,
            Qt::DirectConnection);
    // A command-line sign-in counts as a login.
    connect(checkerCli, &CheckerCli::signalSuccess, tcpServer, &TcpServer::signalLogin);
    connect(tcpServer, &TcpServer::signalCheckAuth, auth, &IAuth::slotCheckAuth);
    connect(auth, &IAuth::signalStatusCheckAuth, tcpServer, &TcpServer::slotStatusCheckAuth);
    connect(tcpServer, &TcpServer::signalCreatePin, auth, &IAuth::slotCreatePin);
    connect(auth, &IAuth::signalStatusCreatePin, tcpServer, &TcpServer::slotStatusCreatePin);
    connect(tcpServer, &TcpServer::signalCheckPin, auth, &IAuth::slotCheckPin);
    connect(auth, &IAuth::signalStatusCheckPin, tcpServer, &TcpServer::slotStatusCheckPin);
    connect(
        tcpServer, &TcpServer::signalLogout, tcpServer, [this] { onLogout(); }, Qt::DirectConnection);
    connect(
        tcpServer, &TcpServer::signalLogin, tcpServer, [this] { onLogin(); }, Qt::DirectConnection);
    connect(
        tcpServer, &TcpServer::signalFilteringStatusLocal, tcpServer,
        [this](const QJsonObject& data) { onFilteringStatusLocal(data); }, Qt::DirectConnection);
    connect(tcpServer, &TcpServer::signalGetProfiles, this,
            [this] { tcpServer->slotProfiles(profilesReply(UserData::getProfiles())); });
    connect(tcpServer, &TcpServer::signalGetProfileId, this,
            [this] { tcpServer->slotProfileId(profileIdReply(UserData::getProfileId())); });
    connect(tcpServer, &TcpServer::signalSetProfileId, this, [this](const QJsonObject& data) {
        UserData::setProfileId(static_cast<quint32>(data.value(PayloadKeys::ProfileId).toInt()));
        emit tcpServer->signalGetProfileId();
    });
    // The reports never hold the agent thread: the diagnostics run on a
    // thread of their own, one run of each kind at a time, and each reply is
    // sent when its report is ready.
    auto* reports = new ReportRunner(this);
    reports->setSystemInfoSource([this] { return UserData::getSystemInfo(resolverTransitions); });
    // The answer goes to the connection that asked, even when another one
    // has spoken since.
    connect(tcpServer, &TcpServer::signalGetSystemInfo, this, [this, reports] {
        const quint64 asker = tcpServer->askingClient();
        reports->requestSystemInfo(tcpServer, [this, asker](const QString& text) {
            tcpServer->replyTo(asker, [this, &text] {
                tcpServer->slotSystemInfo(QJsonObject{{PayloadKeys::SystemInfo, text}});
            });
        });
    });
    connect(tcpServer, &TcpServer::signalGetDebug, this, [this, reports] {
        const quint64 asker = tcpServer->askingClient();
        reports->requestDebugInfo(tcpServer, [this, asker](const QString& text) {
            tcpServer->replyTo(asker, [this, &text] {
                tcpServer->slotDebug(QJsonObject{{PayloadKeys::Debug, text}});
            });
        });
    });
    connect(tcpServer, &TcpServer::signalSendDebugInfo, this,
            [this, reports] { reports->requestSendDebugInfo(tcpServer, [](bool) {}); });
    connect(tcpServer, &TcpServer::signalGetSettings, this, &Core::onGetSettings);
    connect(tcpServer, &TcpServer::signalAuthData, this,
            [this] { tcpServer->slotStatusAuthData(statusAuthDataReply(UserData::checkAuthData())); });
    connect(tcpServer, &TcpServer::signalGetCoord, this,
            [this] { tcpServer->slotCoordGui(UserData::getCoordGui()); });
    connect(tcpServer, &TcpServer::signalSetCoord, this,
            [](const QJsonObject& data) { UserData::setCoordGui(data); });
    connect(tcpServer, &TcpServer::signalChangeStatusLog, this, &Core::onChangeStatusLog);
    connect(tcpServer, &TcpServer::signalChangeDnsProtocol, this, &Core::onChangeDnsProtocol);
    connect(tcpServer, &TcpServer::signalChangeNetInterface, this, &Core::onChangeNetInterface);
}

QJsonObject Core::statusLogReply(bool statusLog)
{
    return QJsonObject{{PayloadKeys::StatusLog, statusLog}};
}

QJsonObject Core::statusAdReply(bool adMode)
{
    return QJsonObject{{PayloadKeys::StatusAd, adMode}};
}

QJsonObject Core::dnsProtocolReply(UserData::ETypeOfDnsProtocol protocol)
{
    return QJsonObject{{PayloadKeys::DnsProtocol, static_cast<int>(protocol)}};
}

QJsonObject Core::filteringStatusLocalReply(int controlDns)
{
    return QJsonObject{{PayloadKeys::Status, controlDns == UserData::ON ? ControlStatus::filteringOn
                                                                        : ControlStatus::filteringOff}};
}

QJsonObject Core::profileIdReply(quint32 profileId)
{
    return QJsonObject{{PayloadKeys::ProfileId, static_cast<qint64>(profileId)}};
}

QJsonObject Core::statusAuthDataReply(bool stored)
{
    return QJsonObject{{PayloadKeys::Status, stored}};
}

QJsonObject Core::profilesReply(const QMap<quint32, QString>& profiles)
{
    QJsonArray list;
    for (auto it = profiles.constBegin(); it != profiles.constEnd(); ++it)
        list.append(
            QJsonObject{{PayloadKeys::Id, QString::number(it.key())}, {PayloadKeys::Name, it.value()}});
    return QJsonObject{{PayloadKeys::Profiles, list}};
}

QJsonObject Core::networkInterfacesReply(const QMap<QString, UserData::NetInter>& interfaces)
{
    QJsonArray list;
    for (auto it = interfaces.constBegin(); it != interfaces.constEnd(); ++it) {
        list.append(QJsonObject{{PayloadKeys::Guid, it.key()},
                                {PayloadKeys::Name, it.value().name},
                                {PayloadKeys::Status, it.value().status}});
    }
    return QJsonObject{{PayloadKeys::Interfaces, list}};
}

bool Core::addResolverTransition(QList<ResolverStatus>& transitions, const ResolverStatus& status)
{
    if (!transitions.isEmpty() && transitions.last() == status)
        return false;
    transitions.append(status);
    while (transitions.size() > maxResolverTransitions)
        transitions.removeFirst();
    return true;
}

bool Core::protocolFromMessage(const QJsonObject& data, UserData::ETypeOfDnsProtocol& protocol)
{
    const int value = data.value(PayloadKeys::DnsProtocol).toInt(0);
    switch (value) {
    case UserData::DNS:
    case UserData::DOH:
    case UserData::DOT:
        protocol = static_cast<UserData::ETypeOfDnsProtocol>(value);
        return true;
    default:
        return false;
    }
}

void Core::onConnectGui()
{
    checkerVersion->slotGetVersion();
    tcpServer->slotStatusLog(statusLogReply(UserData::getStatusLog()));
    tcpServer->slotStatusAd(statusAdReply(UserData::isAdMode()));
    tcpServer->slotDnsProtocol(dnsProtocolReply(UserData::getDnsProtocol()));
}

void Core::onLogin()
{
    if (UserData::getControlDNS() == UserData::UNSET)
        networkInterfaceManager->setStatusProtect(UserData::ON);
    tcpServer->slotUserInfo(UserData::getUserInfo());
    tcpServer->slotFilteringStatusLocal(filteringStatusLocalReply(UserData::getControlDNS()));
}

void Core::onLogout()
{
    UserData::removeAgentProfile();
    UserData::deleteAuthData();
    networkInterfaceManager->setStatusProtect(UserData::UNSET);
}

void Core::onFilteringStatusLocal(const QJsonObject& data)
{
    const int status = data.value(PayloadKeys::Status).toInt(0);
    networkInterfaceManager->setStatusProtect(status != ControlStatus::filteringOff ? UserData::ON
                                                                                    : UserData::OFF);
}

void Core::onGetSettings()
{
    tcpServer->slotDnsProtocol(dnsProtocolReply(UserData::getDnsProtocol()));
    const QJsonObject interfaces = networkInterfacesReply(UserData::getNetworkInterfaces());
    qCDebug(core).noquote() << QString::fromUtf8(QJsonDocument(interfaces).toJson(QJsonDocument::Compact));
    tcpServer->slotNetworkInterfaces(interfaces);
}

void Core::onChangeStatusLog()
{
    UserData::setStatusLog();
    tcpServer->slotStatusLog(statusLogReply(UserData::getStatusLog()));
}

void Core::onChangeDnsProtocol(const QJsonObject& data)
{
    UserData::ETypeOfDnsProtocol protocol = UserData::DNS;
    // A value naming no transport would leave the DNS threads without one
    // for every later query; it is refused and the stored choice kept.
    if (!protocolFromMessage(data, protocol)) {
        qCWarning(core).noquote() << "CHANGEDNSPROTOCOL refused:"
                                  << QString::fromUtf8(QJsonDocument(data).toJson(QJsonDocument::Compact));
        return;
    }
    UserData::setDnsProtocol(protocol);
    qCDebug(core) << "CHANGEDNSPROTOCOL" << static_cast<int>(protocol);
}

void Core::onChangeNetInterface(const QJsonObject& data)
{
    const QString guid = data.value(PayloadKeys::Guid).toString();
    const bool status = data.value(PayloadKeys::Status).toBool(false);
    QMap<QString, UserData::NetInter> interfaces = UserData::getNetworkInterfaces();
    const auto entry = interfaces.find(guid);
    if (entry != interfaces.end()) {
        entry->status = status;
        UserData::setNetworkInterfaces(interfaces);
    }
    qCDebug(core).noquote() << "CHANGENETINTERFACES" << guid << (status ? "true" : "false");
}

void Core::periodicCheck()
{
    const QString previous = UserData::getUsername();
    UserData::checkUsername();
    const QString current = UserData::getUsername();
    qCDebug(core).noquote() << "checkUsername" << previous << current;
    if (!current.isEmpty() && current != previous) {
        NetworkAccessManager manager;
        manager.newUser();
    }
    tcpServer->slotFilteringStatusServer(
        QJsonObject{{PayloadKeys::FilteringStatus, UserData::getFilteringStatus()}});
}
