#include "devservice/TlsTcpServer.h"

#include "devservice/DevServiceLog.h"

#include <QSslSocket>

TlsTcpServer::TlsTcpServer(QObject* parent) : QTcpServer(parent) {}

void TlsTcpServer::setTlsConfiguration(const QSslConfiguration& configuration)
{
    m_configuration = configuration;
    m_tls = true;
}

void TlsTcpServer::incomingConnection(qintptr descriptor)
{
    if (!m_tls) {
        QTcpServer::incomingConnection(descriptor);
        return;
    }
    auto* socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        qCWarning(lcDevService) << "cannot adopt connection:" << socket->errorString();
        delete socket;
        return;
    }
    socket->setSslConfiguration(m_configuration);
    connect(socket, qOverload<const QList<QSslError>&>(&QSslSocket::sslErrors), socket,
            [socket](const QList<QSslError>& errors) {
                qCWarning(lcDevService) << "TLS error from" << socket->peerAddress().toString() << errors;
            });
    socket->startServerEncryption();
    addPendingConnection(socket);
    emit newConnection();
}
