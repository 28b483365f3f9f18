#pragma once

#include "devservice/HttpConnection.h"
#include "devservice/TlsTcpServer.h"

#include <QHostAddress>
#include <QObject>

// Listens on one address and port, over TLS when configured, and runs an
// HttpConnection for every client.
class HttpServer : public QObject
{
    Q_OBJECT
public:
    HttpServer(QString name, HttpConnection::Handler handler, QObject* parent = nullptr);

    void setTlsConfiguration(const QSslConfiguration& configuration);
    bool listen(const QHostAddress& address, quint16 port);
    quint16 port() const { return m_server->serverPort(); }
    QString errorString() const { return m_server->errorString(); }

private:
    void slotNewConnection();

    TlsTcpServer* m_server;
    QString m_name;
    HttpConnection::Handler m_handler;
};
