#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>

// The certificates the agent trusts for its own TLS peers (the backend, the
// certificate downloads, the DNS-over-TLS and DNS-over-HTTPS resolvers): the
// system's roots, those of the CA file fixed at build time and any added at
// run time. Safe to use from any thread: the DNS transports run on their own.
class TrustAnchors
{
public:
    TrustAnchors() = delete;

    // Every trusted certificate. The system's and the build-time file's are
    // read once, at the first call.
    static QList<QSslCertificate> certificates();
    // Extra trust anchors of this process (tests with a scripted peer);
    // replaces those set before.
    static void setExtraCertificates(const QList<QSslCertificate>& certificates);

    // A client configuration that verifies the peer's chain against
    // certificates() and its name against the one connected to.
    static QSslConfiguration clientConfiguration();
};
