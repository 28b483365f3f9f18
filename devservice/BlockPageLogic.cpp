#include "devservice/BlockPageLogic.h"

#include <QUrl>

BlockPageLogic::BlockPageLogic(const ServiceConfig& config) : m_config(config) {}

QString BlockPageLogic::htmlEscape(const QString& text)
{
    return text.toHtmlEscaped();
}

QByteArray BlockPageLogic::agentRedirect(const QString& host, const QString& url, bool overTls) const
{
    const QString blockpage = overTls ? m_config.blockpageTlsHost() : m_config.blockpageHost();
    return "http://127.0.0.1:" + QByteArray::number(m_config.agentBlockpagePort) +
           "/?blockpage=" + QUrl::toPercentEncoding(blockpage) +
           "&hostname=" + QUrl::toPercentEncoding(host) + "&url=" + QUrl::toPercentEncoding(url);
}

HttpResponse BlockPageLogic::handle(const HttpRequest& request, bool overTls) const
{
    QString host = QString::fromLatin1(request.header("host")).toLower();
    // Drop a port, keeping bracketed IPv6 literals whole.
    const int colon = host.lastIndexOf(QLatin1Char(':'));
    if (colon > 0 && !host.endsWith(QLatin1Char(']'))) {
        host = host.left(colon);
    }
    const bool ownHost = host == m_config.blockpageHost() || host == m_config.blockpageTlsHost();
    if (request.path == QLatin1String("/blocked")) {
        const QString blockedHost =
            request.query.queryItemValue(QStringLiteral("hostname"), QUrl::FullyDecoded);
        const QString token = request.query.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded);
        const QString url = request.query.queryItemValue(QStringLiteral("url"), QUrl::FullyDecoded);
        const QString page = QStringLiteral("<!DOCTYPE html>\n<html><head><meta "
                                            "charset=\"utf-8\"><title>Blocked by Corvane</title></head>\n"
                                            "<body><h1>This site is blocked</h1>\n"
                                            "<p>Host: <span id=\"hostname\">%1</span></p>\n"
                                            "<p>Token: <span id=\"token\">%2</span></p>\n"
                                            "<p>Address: <span id=\"url\">%3</span></p>\n"
                                            "</body></html>\n")
                                 .arg(htmlEscape(blockedHost), htmlEscape(token), htmlEscape(url));
        HttpResponse response = HttpResponse::raw(200, "text/html; charset=utf-8", page.toUtf8());
        response.setHeader("Cache-Control", "no-store");
        return response;
    }
    if (ownHost) {
        return HttpResponse::detail(404, QStringLiteral("Not found."));
    }
    const QString scheme = overTls ? QStringLiteral("https") : QStringLiteral("http");
    const QString original = scheme + QStringLiteral("://") + QString::fromLatin1(request.header("host")) +
                             QString::fromLatin1(request.target);
    HttpResponse response = HttpResponse::raw(302, "text/plain; charset=utf-8", "Blocked\n");
    response.setHeader("Location", agentRedirect(host, original, overTls));
    response.setHeader("Cache-Control", "no-store");
    return response;
}
