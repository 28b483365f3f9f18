#pragma once

#include "devservice/AccountStore.h"
#include "devservice/AdminApi.h"
#include "devservice/BackendApi.h"
#include "devservice/BlockPageLogic.h"
#include "devservice/FaultInjector.h"
#include "devservice/HttpConnection.h"
#include "devservice/QueryLog.h"
#include "devservice/ResolverLogic.h"
#include "devservice/ServiceConfig.h"

#include <QObject>
#include <QSslConfiguration>

class DnsServer;
class HttpServer;
class UpstreamClient;

// The whole development service: resolver (UDP, TCP, DoT, DoH), HTTPS backend,
// block page and admin endpoint, wired to one in-memory state.
class DevService : public QObject
{
    Q_OBJECT
public:
    explicit DevService(ServiceConfig config, QObject* parent = nullptr);

    // Loads the seed data and opens every listener; false with error on the first failure.
    bool start(QString& error);

    // Ports actually bound (useful when the configuration asks for port 0).
    quint16 resolverPort() const { return m_resolverPort; }

private:
    bool tlsConfiguration(const QString& name, QSslConfiguration& configuration, QString& error) const;
    void handleBackend(const HttpRequest& request, const HttpConnection::Responder& respond);
    void handleDoh(const HttpRequest& request, const HttpConnection::Responder& respond);

    ServiceConfig m_config;
    AccountStore m_store;
    FaultInjector m_faults;
    QueryLog m_queries;
    BackendApi m_backend;
    AdminApi m_admin;
    BlockPageLogic m_blockPage;
    ResolverLogic m_logic;
    UpstreamClient* m_upstream = nullptr;
    DnsServer* m_dns = nullptr;
    quint16 m_resolverPort = 0;
};
