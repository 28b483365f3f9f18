#include "devservice/HttpResponse.h"

#include <QJsonDocument>

HttpResponse HttpResponse::json(int status, const QJsonObject& object)
{
    return jsonValue(status, QJsonDocument(object).toJson(QJsonDocument::Compact));
}

HttpResponse HttpResponse::jsonValue(int status, const QByteArray& compactJson)
{
    return raw(status, "application/json", compactJson);
}

HttpResponse HttpResponse::detail(int status, const QString& text)
{
    return json(status, QJsonObject{{QStringLiteral("detail"), text}});
}

HttpResponse HttpResponse::raw(int status, const QByteArray& contentType, const QByteArray& body)
{
    HttpResponse response;
    response.status = status;
    response.body = body;
    if (!contentType.isEmpty()) {
        response.setHeader("Content-Type", contentType);
    }
    return response;
}

QByteArray HttpResponse::reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 411:
        return "Length Required";
    case 413:
        return "Payload Too Large";
    case 415:
        return "Unsupported Media Type";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return "Status";
    }
}

void HttpResponse::setHeader(const QByteArray& name, const QByteArray& value)
{
    for (auto& pair : headers) {
        if (pair.first.compare(name, Qt::CaseInsensitive) == 0) {
            pair.second = value;
            return;
        }
    }
    headers.append(qMakePair(name, value));
}

QByteArray HttpResponse::serialise(bool keepAlive, bool headRequest) const
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    for (const auto& pair : headers) {
        out += pair.first + ": " + pair.second + "\r\n";
    }
    out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    out += keepAlive && !closeAfter ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    out += "\r\n";
    if (!headRequest) {
        out += body;
    }
    return out;
}
