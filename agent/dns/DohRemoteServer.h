#pragma once

#include "dns/TlsRemoteServer.h"
#include "dnswire/HttpResponseReader.h"

// DNS-over-HTTPS (RFC 8484, POST): each query goes as one hand-built
// HTTP/1.1 request over one persistent keep-alive connection to the resolver
// on port 443 (and, under load, a few more connections); each response is cut from the stream by its
// Content-Length or chunked coding and its body, when the status is 2xx, is the answer.
class DohRemoteServer : public TlsRemoteServer
{
    Q_OBJECT
public:
    static constexpr quint16 defaultPort = 443;
    // The resolver answers a connection's requests one after the other:
    // more connections carry more load. Six, as browsers keep per host for
    // HTTP/1.1.
    static constexpr int maxConnections = 6;

    explicit DohRemoteServer(QObject* parent = nullptr, quint16 port = defaultPort);

    // The request bytes for one query: header lines in their fixed order,
    // the empty line, then the message.
    static QByteArray buildHttpRequest(const QString& host, const QString& userAgent,
                                       const QByteArray& message);
    // "Corvane Agent/<version> (<operating system>)".
    static QString userAgent();

public slots:
    void slotStart() override;

protected:
    QByteArray buildRequest(const QByteArray& message) override;
    void readStream(const QByteArray& bytes) override;
    void connectionClosed() override;
    void resetStream() override { reader.clear(); }
    TlsRemoteServer* createSpare() override { return new DohRemoteServer(nullptr, dohPort); }

private:
    void handleResponse(const HttpResponseReader::Response& response);

    HttpResponseReader reader;
    QString agentName;
    const quint16 dohPort;
};
