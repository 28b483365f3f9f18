#include "devservice/UpstreamClient.h"

#include "devservice/DevServiceLog.h"
#include "devservice/DnsWire.h"
#include "devservice/ResolverLogic.h"

#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTimer>

#include <memory>
#include <utility>

namespace {
QByteArray questionBytes(const QByteArray& message)
{
    DnsWire::Question question;
    if (!DnsWire::parseQuestion(message, question)) {
        return QByteArray();
    }
    return message.mid(DnsWire::headerSize, question.end - DnsWire::headerSize).toLower();
}
} // namespace

UpstreamClient::UpstreamClient(QHostAddress address, quint16 port, int timeoutMs, QObject* parent)
    : QObject(parent), m_address(std::move(address)), m_port(port), m_timeoutMs(timeoutMs),
      m_socket(new QUdpSocket(this))
{
    m_socket->bind(QHostAddress(m_address.protocol() == QAbstractSocket::IPv6Protocol
                                    ? QHostAddress::AnyIPv6
                                    : QHostAddress::AnyIPv4),
                   0);
    connect(m_socket, &QUdpSocket::readyRead, this, &UpstreamClient::slotReadyRead);
}

quint16 UpstreamClient::freeId() const
{
    while (true) {
        const auto id = static_cast<quint16>(QRandomGenerator::global()->bounded(65536));
        if (!m_pending.contains(id)) {
            return id;
        }
    }
}

void UpstreamClient::send(const QByteArray& query, bool streamClient, Callback callback)
{
    if (m_pending.size() >= 60000) {
        callback(ResolverLogic::serverFailure(query), QStringLiteral("too many queries in flight"));
        return;
    }
    const quint16 id = freeId();
    auto* timer = new QTimer(m_socket);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this, id] {
        if (m_pending.contains(id)) {
            complete(id, ResolverLogic::serverFailure(m_pending.value(id).query),
                     QStringLiteral("upstream timeout"));
        }
    });
    m_pending.insert(id, Pending{query, streamClient, std::move(callback), timer});
    timer->start(m_timeoutMs);
    m_socket->writeDatagram(ResolverLogic::withId(query, id), m_address, m_port);
}

void UpstreamClient::slotReadyRead()
{
    while (m_socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_socket->receiveDatagram(65535);
        const QByteArray answer = datagram.data();
        if (answer.size() < DnsWire::headerSize) {
            qCWarning(lcDevDns) << "upstream sent" << answer.size() << "bytes, dropped";
            continue;
        }
        const quint16 id = DnsWire::readU16(answer, 0);
        const auto it = m_pending.constFind(id);
        if (it == m_pending.constEnd()) {
            qCWarning(lcDevDns) << "upstream answer with unknown ID" << id << "dropped";
            continue;
        }
        if (questionBytes(answer) != questionBytes(it->query)) {
            qCWarning(lcDevDns) << "upstream answer for ID" << id << "carries another question, dropped";
            continue;
        }
        const bool truncated = (DnsWire::readU16(answer, 2) & 0x0200) != 0;
        if (truncated && it->streamClient) {
            Pending pending = m_pending.take(id);
            delete pending.timer;
            sendOverTcp(pending.query, pending.callback);
            continue;
        }
        complete(id, answer, QString());
    }
}

void UpstreamClient::complete(quint16 upstreamId, const QByteArray& answer, const QString& note)
{
    Pending pending = m_pending.take(upstreamId);
    pending.timer->deleteLater();
    pending.callback(ResolverLogic::withId(answer, DnsWire::readU16(pending.query, 0)), note);
}

void UpstreamClient::sendOverTcp(const QByteArray& query, Callback callback)
{
    auto* socket = new QTcpSocket(this);
    auto* timer = new QTimer(socket);
    timer->setSingleShot(true);
    auto buffer = std::make_shared<QByteArray>();
    auto done = std::make_shared<bool>(false);
    const auto finish = [socket, callback, done](const QByteArray& answer, const QString& note) {
        if (*done) {
            return;
        }
        *done = true;
        callback(answer, note);
        socket->abort();
        socket->deleteLater();
    };
    connect(timer, &QTimer::timeout, socket, [finish, query] {
        finish(ResolverLogic::serverFailure(query), QStringLiteral("upstream TCP timeout"));
    });
    connect(socket, &QTcpSocket::connected, socket, [socket, query] {
        QByteArray framed;
        DnsWire::appendU16(framed, static_cast<quint16>(query.size()));
        socket->write(framed + query);
    });
    connect(socket, &QTcpSocket::readyRead, socket, [socket, buffer, finish, query] {
        buffer->append(socket->readAll());
        if (buffer->size() < 2) {
            return;
        }
        const int length = DnsWire::readU16(*buffer, 0);
        if (buffer->size() - 2 < length) {
            return;
        }
        const QByteArray answer = buffer->mid(2, length);
        if (answer.size() < DnsWire::headerSize ||
            DnsWire::readU16(answer, 0) != DnsWire::readU16(query, 0)) {
            finish(ResolverLogic::serverFailure(query), QStringLiteral("bad upstream TCP answer"));
            return;
        }
        finish(answer, QStringLiteral("via upstream TCP"));
    });
    connect(socket, &QTcpSocket::errorOccurred, socket, [finish, query, socket] {
        finish(ResolverLogic::serverFailure(query), QStringLiteral("upstream TCP: ") + socket->errorString());
    });
    timer->start(m_timeoutMs);
    socket->connectToHost(m_address, m_port);
}
