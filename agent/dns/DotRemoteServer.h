#pragma once

#include "dns/TlsRemoteServer.h"
#include "dnswire/DotFrameReader.h"

// DNS-over-TLS (RFC 7858): each query goes with its two-byte length prefix
// over one persistent connection to the resolver on port 853 (a second one
// beside it while many queries wait); queries are pipelined and answers, in
// whatever order they come, are cut from the stream by their own prefix.
class DotRemoteServer : public TlsRemoteServer
{
    Q_OBJECT
public:
    static constexpr quint16 defaultPort = 853;
    static constexpr int maxConnections = 2;
    static constexpr int secondConnectionAt = 16;

    explicit DotRemoteServer(QObject* parent = nullptr, quint16 port = defaultPort);

protected:
    QByteArray buildRequest(const QByteArray& message) override;
    void readStream(const QByteArray& bytes) override;
    void resetStream() override { reader.clear(); }
    TlsRemoteServer* createSpare() override { return new DotRemoteServer(nullptr, dotPort); }

private:
    DotFrameReader reader;
    const quint16 dotPort;
};
