#include "devservice/DnsServer.h"

#include "devservice/DevServiceLog.h"
#include "devservice/DnsStreamConnection.h"
#include "devservice/DnsWire.h"
#include "devservice/TlsTcpServer.h"

#include <QDateTime>
#include <QNetworkDatagram>
#include <QPointer>
#include <QStringList>
#include <QTimer>

DnsServer::DnsServer(const ResolverLogic& logic, FaultInjector& faults, QueryLog& log,
                     UpstreamClient& upstream, QObject* parent)
    : QObject(parent), m_logic(logic), m_faults(faults), m_log(log), m_upstream(upstream)
{
}

bool DnsServer::listenPlain(const QHostAddress& address, quint16 port, QString& error)
{
    auto* udp = new QUdpSocket(this);
    if (!udp->bind(address, port)) {
        error =
            QStringLiteral("UDP %1 port %2: %3").arg(address.toString()).arg(port).arg(udp->errorString());
        delete udp;
        return false;
    }
    connect(udp, &QUdpSocket::readyRead, this, [this, udp] { slotUdpReadyRead(udp); });
    auto* tcp = new TlsTcpServer(this);
    if (!tcp->listen(address, udp->localPort())) {
        error = QStringLiteral("TCP %1 port %2: %3")
                    .arg(address.toString())
                    .arg(udp->localPort())
                    .arg(tcp->errorString());
        delete tcp;
        return false;
    }
    acceptStream(tcp, QStringLiteral("tcp"));
    qCInfo(lcDevDns).noquote() << "resolver listening on" << address.toString() << "port" << udp->localPort()
                               << "UDP+TCP";
    return true;
}

bool DnsServer::listenTls(const QHostAddress& address, quint16 port, const QSslConfiguration& tls,
                          QString& error)
{
    auto* server = new TlsTcpServer(this);
    server->setTlsConfiguration(tls);
    if (!server->listen(address, port)) {
        error =
            QStringLiteral("DoT %1 port %2: %3").arg(address.toString()).arg(port).arg(server->errorString());
        delete server;
        return false;
    }
    acceptStream(server, QStringLiteral("dot"));
    qCInfo(lcDevDns).noquote() << "DNS over TLS listening on" << address.toString() << "port"
                               << server->serverPort();
    return true;
}

void DnsServer::acceptStream(TlsTcpServer* server, const QString& transport)
{
    connect(server, &QTcpServer::newConnection, this, [this, server, transport] {
        while (QTcpSocket* socket = server->nextPendingConnection()) {
            new DnsStreamConnection(socket, transport, *this, this);
        }
    });
}

void DnsServer::slotUdpReadyRead(QUdpSocket* socket)
{
    while (socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket->receiveDatagram(65535);
        const QHostAddress sender = datagram.senderAddress();
        const quint16 senderPort = static_cast<quint16>(datagram.senderPort());
        QPointer<QUdpSocket> guard(socket);
        resolve(datagram.data(), QStringLiteral("udp"), sender.toString(),
                [guard, sender, senderPort](const QByteArray& answer) {
                    if (guard && !answer.isEmpty()) {
                        guard->writeDatagram(answer, sender, senderPort);
                    }
                });
    }
}

void DnsServer::resolve(const QByteArray& query, const QString& transport, const QString& peer, Reply reply)
{
    const ResolverLogic::Decision decision = m_logic.decide(query);
    std::optional<FaultInjector::DnsRule> fault;
    if (!decision.name.isEmpty() || decision.kind != ResolverLogic::Kind::Drop) {
        fault = m_faults.takeDns(decision.name);
    }
    QString faultName = fault ? FaultInjector::actionName(fault->action) : QString();
    if (decision.kind == ResolverLogic::Kind::Drop ||
        (fault && fault->action == FaultInjector::DnsAction::Drop)) {
        finish(query, decision, transport, peer, faultName, QByteArray(), QString(), reply);
        return;
    }
    const int delayMs = fault ? fault->delayMs : 0;
    const bool wrongId = fault && fault->action == FaultInjector::DnsAction::WrongId;
    QPointer<DnsServer> self(this);
    auto deliver = [self, query, decision, transport, peer, faultName, reply, delayMs,
                    wrongId](QByteArray answer, const QString& note) {
        if (!self) {
            return;
        }
        if (wrongId && answer.size() >= DnsWire::headerSize) {
            answer = ResolverLogic::withId(answer, DnsWire::readU16(answer, 0) ^ 0x5A5A);
        }
        if (delayMs > 0) {
            QTimer::singleShot(
                delayMs, self, [self, query, decision, transport, peer, faultName, answer, note, reply] {
                    self->finish(query, decision, transport, peer, faultName, answer, note, reply);
                });
            return;
        }
        self->finish(query, decision, transport, peer, faultName, answer, note, reply);
    };
    if (fault && fault->action == FaultInjector::DnsAction::Truncate) {
        deliver(ResolverLogic::truncated(query), QString());
        return;
    }
    if (decision.kind == ResolverLogic::Kind::Answer) {
        deliver(decision.message, QString());
        return;
    }
    m_upstream.send(decision.message, transport != QLatin1String("udp"), deliver);
}

void DnsServer::finish(const QByteArray& query, const ResolverLogic::Decision& decision,
                       const QString& transport, const QString& peer, const QString& fault, QByteArray answer,
                       const QString& note, const Reply& reply)
{
    const quint8 rcode = answer.size() >= DnsWire::headerSize ? (DnsWire::readU16(answer, 2) & 0x0F) : 0;
    const int answers = answer.size() >= DnsWire::headerSize ? DnsWire::readU16(answer, 6) : 0;
    const QString idText = QStringLiteral("%1").arg(DnsWire::readU16(query, 0), 4, 16, QLatin1Char('0'));
    const QString marked =
        decision.marked ? QStringLiteral("token=%1").arg(decision.token) : QStringLiteral("unmarked");
    const QString result = answer.isEmpty()
                               ? QStringLiteral("no answer")
                               : QStringLiteral("%1 %2 answers").arg(DnsWire::rcodeName(rcode)).arg(answers);
    QStringList parts{transport,
                      peer,
                      QStringLiteral("id=") + idText,
                      decision.name.isEmpty() ? QStringLiteral(".") : decision.name,
                      DnsWire::typeName(decision.type),
                      marked,
                      QStringLiteral("->"),
                      decision.verdict,
                      result};
    if (!fault.isEmpty()) {
        parts.append(QStringLiteral("fault=") + fault);
    }
    for (const QString& extra : {decision.detail, note}) {
        if (!extra.isEmpty()) {
            parts.append(QLatin1Char('(') + extra + QLatin1Char(')'));
        }
    }
    qCInfo(lcDevDns).noquote() << parts.join(QLatin1Char(' '));
    m_log.append(
        QJsonObject{{QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
                    {QStringLiteral("transport"), transport},
                    {QStringLiteral("peer"), peer},
                    {QStringLiteral("id"), idText},
                    {QStringLiteral("name"), decision.name},
                    {QStringLiteral("type"), DnsWire::typeName(decision.type)},
                    {QStringLiteral("marked"), decision.marked},
                    {QStringLiteral("token"),
                     decision.marked ? QJsonValue(static_cast<qint64>(decision.token)) : QJsonValue()},
                    {QStringLiteral("verdict"), decision.verdict},
                    {QStringLiteral("rcode"), answer.isEmpty() ? QString() : DnsWire::rcodeName(rcode)},
                    {QStringLiteral("answers"), answers},
                    {QStringLiteral("fault"), fault},
                    {QStringLiteral("detail"), decision.detail}});
    reply(answer);
}
