#include "devservice/HttpConnection.h"

#include "devservice/DevServiceLog.h"

#include <QHostAddress>

#include <utility>

HttpConnection::HttpConnection(QTcpSocket* socket, QString serverName, Handler handler, QObject* parent)
    : QObject(parent), m_socket(socket), m_idleTimer(new QTimer(socket)), m_serverName(std::move(serverName)),
      m_handler(std::move(handler))
{
    m_idleTimer->setSingleShot(true);
    m_idleTimer->setInterval(idleTimeoutMs);
    connect(m_idleTimer, &QTimer::timeout, socket, [socket] { socket->abort(); });
    connect(socket, &QTcpSocket::readyRead, this, &HttpConnection::slotReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, [this] {
        if (m_socket) {
            m_socket->deleteLater();
        }
        deleteLater();
    });
    m_idleTimer->start();
}

void HttpConnection::slotReadyRead()
{
    if (!m_socket) {
        return;
    }
    m_idleTimer->start();
    m_parser.feed(m_socket->readAll());
    processNext();
}

void HttpConnection::processNext()
{
    if (m_busy || m_closing || !m_socket) {
        return;
    }
    HttpRequest request;
    const HttpParser::State state = m_parser.next(request);
    if (state == HttpParser::State::NeedMore) {
        return;
    }
    if (state == HttpParser::State::Bad) {
        qCWarning(lcDevHttp).noquote()
            << m_serverName << m_socket->peerAddress().toString() << "malformed request:" << m_parser.error()
            << "->" << m_parser.errorStatus();
        HttpResponse response = HttpResponse::detail(m_parser.errorStatus(), m_parser.error());
        response.closeAfter = true;
        m_closing = true;
        m_socket->write(response.serialise(false));
        m_socket->disconnectFromHost();
        return;
    }
    request.peer = QHostAddress(m_socket->peerAddress().toIPv4Address()).toString();
    if (m_socket->peerAddress().protocol() == QAbstractSocket::IPv6Protocol &&
        m_socket->peerAddress().toIPv4Address() == 0) {
        request.peer = m_socket->peerAddress().toString();
    }
    m_busy = true;
    QPointer<HttpConnection> self(this);
    m_handler(request, [self, request](const HttpResponse& response) {
        if (self) {
            self->finish(request, response);
        }
    });
}

void HttpConnection::finish(const HttpRequest& request, const HttpResponse& response)
{
    if (!m_socket) {
        return;
    }
    if (response.delayMs > 0) {
        HttpResponse undelayed = response;
        undelayed.delayMs = 0;
        QTimer::singleShot(response.delayMs, this,
                           [this, request, undelayed] { finish(request, undelayed); });
        return;
    }
    writeResponse(request, response);
}

void HttpConnection::writeResponse(const HttpRequest& request, const HttpResponse& response)
{
    const QString line = QStringLiteral("%1 %2 %3 %4")
                             .arg(m_serverName, request.peer, QString::fromLatin1(request.method),
                                  QString::fromLatin1(request.target.left(300)));
    switch (response.misbehaviour) {
    case HttpResponse::Misbehaviour::Hang:
        // Stay silent; the idle deadline or the client ends the connection.
        qCInfo(lcDevHttp).noquote() << line << "-> (fault: no answer)";
        m_idleTimer->setInterval(10 * 60 * 1000);
        m_idleTimer->start();
        m_closing = true;
        return;
    case HttpResponse::Misbehaviour::Close:
        qCInfo(lcDevHttp).noquote() << line << "-> (fault: connection closed)";
        m_closing = true;
        m_socket->abort();
        return;
    case HttpResponse::Misbehaviour::None:
        break;
    }
    const bool keepAlive = request.keepAlive() && !response.closeAfter;
    qCInfo(lcDevHttp).noquote() << line << "->" << response.status << response.body.size() << "bytes";
    m_socket->write(response.serialise(keepAlive, request.method == "HEAD"));
    m_idleTimer->start();
    m_busy = false;
    if (!keepAlive) {
        m_closing = true;
        m_socket->disconnectFromHost();
        return;
    }
    processNext();
}
