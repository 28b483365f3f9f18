#pragma once

#include "devservice/FaultInjector.h"
#include "devservice/QueryLog.h"
#include "devservice/ResolverLogic.h"
#include "devservice/UpstreamClient.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSslConfiguration>
#include <QUdpSocket>

#include <functional>

class TlsTcpServer;

// The resolver's sockets: UDP and TCP on each resolver address, and DNS over
// TLS. Every transport (DoH too) ends in resolve(), which applies fault rules,
// asks ResolverLogic, forwards to the upstream when told to, and logs one line.
class DnsServer : public QObject
{
    Q_OBJECT
public:
    using Reply = std::function<void(const QByteArray& answer)>; // empty: no answer

    DnsServer(const ResolverLogic& logic, FaultInjector& faults, QueryLog& log, UpstreamClient& upstream,
              QObject* parent = nullptr);

    bool listenPlain(const QHostAddress& address, quint16 port, QString& error);
    bool listenTls(const QHostAddress& address, quint16 port, const QSslConfiguration& tls, QString& error);
    void resolve(const QByteArray& query, const QString& transport, const QString& peer, Reply reply);

private:
    void slotUdpReadyRead(QUdpSocket* socket);
    void acceptStream(TlsTcpServer* server, const QString& transport);
    void finish(const QByteArray& query, const ResolverLogic::Decision& decision, const QString& transport,
                const QString& peer, const QString& fault, QByteArray answer, const QString& note,
                const Reply& reply);

    const ResolverLogic& m_logic;
    FaultInjector& m_faults;
    QueryLog& m_log;
    UpstreamClient& m_upstream;
};
