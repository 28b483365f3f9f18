#include "devservice/DnsStreamConnection.h"

#include "devservice/DevServiceLog.h"
#include "devservice/DnsServer.h"
#include "devservice/DnsWire.h"

#include <QHostAddress>

#include <utility>

DnsStreamConnection::DnsStreamConnection(QTcpSocket* socket, QString transport, DnsServer& server,
                                         QObject* parent)
    : QObject(parent), m_socket(socket), m_idleTimer(new QTimer(socket)), m_transport(std::move(transport)),
      m_server(server)
{
    m_idleTimer->setSingleShot(true);
    m_idleTimer->setInterval(idleTimeoutMs);
    connect(m_idleTimer, &QTimer::timeout, socket, [socket] { socket->abort(); });
    connect(socket, &QTcpSocket::readyRead, this, &DnsStreamConnection::slotReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, [this] {
        if (m_socket) {
            m_socket->deleteLater();
        }
        deleteLater();
    });
    m_idleTimer->start();
}

void DnsStreamConnection::slotReadyRead()
{
    if (!m_socket) {
        return;
    }
    m_idleTimer->start();
    m_buffer.append(m_socket->readAll());
    while (m_buffer.size() >= 2) {
        const int length = DnsWire::readU16(m_buffer, 0);
        if (length < DnsWire::headerSize) {
            qCWarning(lcDevDns).noquote() << m_transport << m_socket->peerAddress().toString() << "frame of"
                                          << length << "bytes, connection closed";
            m_socket->abort();
            return;
        }
        if (m_buffer.size() - 2 < length) {
            return;
        }
        const QByteArray query = m_buffer.mid(2, length);
        m_buffer.remove(0, 2 + length);
        if (m_inFlight >= maxInFlight) {
            qCWarning(lcDevDns).noquote() << m_transport << "too many queries in flight, connection closed";
            m_socket->abort();
            return;
        }
        ++m_inFlight;
        QPointer<DnsStreamConnection> self(this);
        m_server.resolve(query, m_transport, m_socket->peerAddress().toString(),
                         [self](const QByteArray& answer) {
                             if (!self || !self->m_socket) {
                                 return;
                             }
                             --self->m_inFlight;
                             if (answer.isEmpty()) {
                                 return;
                             }
                             QByteArray framed;
                             DnsWire::appendU16(framed, static_cast<quint16>(answer.size()));
                             self->m_socket->write(framed + answer);
                         });
    }
}
