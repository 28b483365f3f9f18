#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

class DnsServer;

// One DNS-over-TCP or DNS-over-TLS client: two-byte length framing, any number
// of queries in flight, answers written as they complete. A connection that
// stays idle past the deadline, or sends a frame too short to be a query, is closed.
class DnsStreamConnection : public QObject
{
    Q_OBJECT
public:
    static constexpr int idleTimeoutMs = 30000;
    static constexpr int maxInFlight = 256;

    DnsStreamConnection(QTcpSocket* socket, QString transport, DnsServer& server, QObject* parent = nullptr);

private:
    void slotReadyRead();

    QPointer<QTcpSocket> m_socket;
    QTimer* m_idleTimer;
    QString m_transport;
    DnsServer& m_server;
    QByteArray m_buffer;
    int m_inFlight = 0;
};
