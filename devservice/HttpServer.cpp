#include "devservice/HttpServer.h"

#include <utility>

HttpServer::HttpServer(QString name, HttpConnection::Handler handler, QObject* parent)
    : QObject(parent), m_server(new TlsTcpServer(this)), m_name(std::move(name)),
      m_handler(std::move(handler))
{
    connect(m_server, &QTcpServer::newConnection, this, &HttpServer::slotNewConnection);
}

void HttpServer::setTlsConfiguration(const QSslConfiguration& configuration)
{
    m_server->setTlsConfiguration(configuration);
}

bool HttpServer::listen(const QHostAddress& address, quint16 port)
{
    return m_server->listen(address, port);
}

void HttpServer::slotNewConnection()
{
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        new HttpConnection(socket, m_name, m_handler, this);
    }
}
