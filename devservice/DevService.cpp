#include "devservice/DevService.h"

#include "devservice/DevServiceLog.h"
#include "devservice/DnsServer.h"
#include "devservice/DnsWire.h"
#include "devservice/HttpServer.h"
#include "devservice/UpstreamClient.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSslCertificate>
#include <QSslKey>

#include <utility>

DevService::DevService(ServiceConfig config, QObject* parent)
    : QObject(parent), m_config(std::move(config)), m_backend(m_config, m_store),
      m_admin(m_store, m_faults, m_backend, m_queries), m_blockPage(m_config), m_logic(m_config, m_store)
{
}

bool DevService::tlsConfiguration(const QString& name, QSslConfiguration& configuration, QString& error) const
{
    const QDir dir(m_config.tlsDir);
    QFile certFile(dir.filePath(name + QStringLiteral(".crt")));
    QFile keyFile(dir.filePath(name + QStringLiteral(".key")));
    if (m_config.tlsDir.isEmpty() || !certFile.open(QIODevice::ReadOnly) ||
        !keyFile.open(QIODevice::ReadOnly)) {
        error = QStringLiteral(
                    "no certificate/key \"%1\" in TLS directory \"%2\" (run devservice/config/make-certs.sh)")
                    .arg(name, m_config.tlsDir);
        return false;
    }
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certFile.readAll(), QSsl::Pem);
    const QSslKey key(keyFile.readAll(), QSsl::Rsa, QSsl::Pem);
    if (chain.isEmpty() || key.isNull()) {
        error =
            QStringLiteral("certificate or key \"%1\" in \"%2\" cannot be read").arg(name, m_config.tlsDir);
        return false;
    }
    configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    return true;
}

bool DevService::start(QString& error)
{
    if (!m_store.load(m_config.accounts, error) || !m_faults.load(m_config.faults, error)) {
        return false;
    }
    QSslConfiguration wwwTls;
    QSslConfiguration dohTls;
    QSslConfiguration blockTls;
    if (!tlsConfiguration(QStringLiteral("www"), wwwTls, error) ||
        !tlsConfiguration(QStringLiteral("doh"), dohTls, error) ||
        !tlsConfiguration(QStringLiteral("blockpage"), blockTls, error)) {
        return false;
    }

    m_upstream =
        new UpstreamClient(m_config.upstreamAddress, m_config.upstreamPort, m_config.upstreamTimeoutMs, this);
    m_dns = new DnsServer(m_logic, m_faults, m_queries, *m_upstream, this);
    for (const QHostAddress& address : m_config.resolverAddresses) {
        if (!m_dns->listenPlain(address, m_config.resolverPort, error)) {
            return false;
        }
    }
    if (!m_dns->listenTls(m_config.dohAddress, m_config.dotPort, dohTls, error)) {
        return false;
    }
    qCInfo(lcDevService).noquote() << "upstream resolver" << m_config.upstreamAddress.toString() << "port"
                                   << m_config.upstreamPort;

    struct Listener
    {
        QString name;
        QHostAddress address;
        quint16 port;
        const QSslConfiguration* tls;
        HttpConnection::Handler handler;
    };
    const QList<Listener> listeners{
        {QStringLiteral("backend"), m_config.wwwAddress, m_config.httpsPort, &wwwTls,
         [this](const HttpRequest& request, HttpConnection::Responder respond) {
             handleBackend(request, respond);
         }},
        {QStringLiteral("doh"), m_config.dohAddress, m_config.httpsPort, &dohTls,
         [this](const HttpRequest& request, HttpConnection::Responder respond) {
             handleDoh(request, respond);
         }},
        {QStringLiteral("blockpage"), m_config.blockpageAddress, m_config.blockpageHttpPort, nullptr,
         [this](const HttpRequest& request, HttpConnection::Responder respond) {
             respond(m_blockPage.handle(request, false));
         }},
        {QStringLiteral("blockpage-tls"), m_config.blockpageAddress, m_config.blockpageHttpsPort, &blockTls,
         [this](const HttpRequest& request, HttpConnection::Responder respond) {
             respond(m_blockPage.handle(request, true));
         }},
        {QStringLiteral("admin"), m_config.wwwAddress, m_config.adminPort, nullptr,
         [this](const HttpRequest& request, HttpConnection::Responder respond) {
             respond(m_admin.handle(request));
         }},
    };
    for (const Listener& listener : listeners) {
        auto* server = new HttpServer(listener.name, listener.handler, this);
        if (listener.tls != nullptr) {
            server->setTlsConfiguration(*listener.tls);
        }
        if (!server->listen(listener.address, listener.port)) {
            error = QStringLiteral("%1 on %2 port %3: %4")
                        .arg(listener.name, listener.address.toString())
                        .arg(listener.port)
                        .arg(server->errorString());
            return false;
        }
        qCInfo(lcDevService).noquote()
            << listener.name << "listening on" << listener.address.toString() << "port" << server->port()
            << (listener.tls != nullptr ? "HTTPS" : "HTTP");
    }
    qCInfo(lcDevService).noquote() << "ready: domain" << m_config.domain;
    return true;
}

void DevService::handleBackend(const HttpRequest& request, const HttpConnection::Responder& respond)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const std::optional<FaultInjector::HttpRule> fault =
        m_faults.takeHttp(QString::fromLatin1(request.method), request.path);
    if (!fault) {
        respond(m_backend.handle(request, now));
        return;
    }
    HttpResponse response;
    switch (fault->action) {
    case FaultInjector::HttpAction::Delay:
        response = m_backend.handle(request, now);
        break;
    case FaultInjector::HttpAction::Hang:
        response.misbehaviour = HttpResponse::Misbehaviour::Hang;
        break;
    case FaultInjector::HttpAction::Close:
        response.misbehaviour = HttpResponse::Misbehaviour::Close;
        break;
    case FaultInjector::HttpAction::Status:
        response = HttpResponse::detail(fault->status, QStringLiteral("Injected fault."));
        break;
    case FaultInjector::HttpAction::Garbage:
        response = HttpResponse::raw(200, "application/json", QByteArray("\x01\x7f{{ not json ]]\xff", 18));
        break;
    case FaultInjector::HttpAction::ExpiredTokens:
        response = m_backend.handle(request, now, true);
        break;
    }
    qCInfo(lcDevHttp).noquote() << "fault" << FaultInjector::actionName(fault->action) << "on" << request.path
                                << "delay" << fault->delayMs << "ms";
    response.delayMs = fault->delayMs;
    respond(response);
}

void DevService::handleDoh(const HttpRequest& request, const HttpConnection::Responder& respond)
{
    QByteArray query;
    if (request.method == "POST" &&
        (request.path == QLatin1String("/") || request.path == QLatin1String("/dns-query"))) {
        query = request.body;
    } else if (request.method == "GET" && request.path == QLatin1String("/dns-query")) {
        query = QByteArray::fromBase64(request.query.queryItemValue(QStringLiteral("dns")).toLatin1(),
                                       QByteArray::Base64UrlEncoding);
    } else if (request.path == QLatin1String("/") || request.path == QLatin1String("/dns-query")) {
        respond(HttpResponse::detail(
            405, QStringLiteral("Method \"%1\" not allowed.").arg(QString::fromLatin1(request.method))));
        return;
    } else {
        respond(HttpResponse::detail(404, QStringLiteral("Not found.")));
        return;
    }
    if (query.size() < DnsWire::headerSize) {
        respond(HttpResponse::detail(400, QStringLiteral("The body is not a DNS message.")));
        return;
    }
    m_dns->resolve(query, QStringLiteral("doh"), request.peer, [respond](const QByteArray& answer) {
        if (answer.isEmpty()) {
            // A dropped query has no HTTP equivalent; stay silent like a lost datagram.
            HttpResponse silent;
            silent.misbehaviour = HttpResponse::Misbehaviour::Hang;
            respond(silent);
            return;
        }
        HttpResponse response = HttpResponse::raw(200, "application/dns-message", answer);
        response.setHeader("Cache-Control", "max-age=0");
        respond(response);
    });
}
