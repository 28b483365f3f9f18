#pragma once

#include "devservice/HttpRequest.h"
#include "devservice/HttpResponse.h"
#include "devservice/ServiceConfig.h"

// The block-page host. A browser that was sent here for a blocked name gets a
// redirect to the agent's local block-page port carrying "blockpage",
// "hostname" and "url"; the agent sends it back to "/blocked" with the token,
// and that page shows what it received.
class BlockPageLogic
{
public:
    explicit BlockPageLogic(const ServiceConfig& config);

    HttpResponse handle(const HttpRequest& request, bool overTls) const;
    // The address on the agent's port that a browser asking for url on host is sent to.
    QByteArray agentRedirect(const QString& host, const QString& url, bool overTls) const;
    static QString htmlEscape(const QString& text);

private:
    const ServiceConfig& m_config;
};
