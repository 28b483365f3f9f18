#pragma once

#include "dns/TlsRemoteServer.h"
#include "dnswire/HttpResponseReader.h"

// DNS-over-HTTPS (RFC 8484, POST): each query goes as one hand-built
// HTTP/1.1 request over one persistent keep-alive connection to the resolver
// on port 443; each response is cut from the stream by its Content-Length or
// chunked coding and its body, when the status is 2xx, is the answer.
class DohRemoteServer : public TlsRemoteServer
{
    Q_OBJECT
public:
    static constexpr quint16 defaultPort = 443;

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

private:
    void handleResponse(const HttpResponseReader::Response& response);

    HttpResponseReader reader;
    QString agentName;
};
