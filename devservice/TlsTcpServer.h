#pragma once

#include <QSslConfiguration>
#include <QTcpServer>

// A TCP server whose connections are QSslSocket objects already in server mode
// when a TLS configuration is set, and plain sockets otherwise.
class TlsTcpServer : public QTcpServer
{
    Q_OBJECT
public:
    explicit TlsTcpServer(QObject* parent = nullptr);

    void setTlsConfiguration(const QSslConfiguration& configuration);
    bool usesTls() const { return m_tls; }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    QSslConfiguration m_configuration;
    bool m_tls = false;
};
