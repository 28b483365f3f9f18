#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrlQuery>

// One parsed HTTP/1.1 request. Header names are kept in lower case.
struct HttpRequest
{
    QByteArray method;
    QByteArray target; // as on the request line
    QString path;      // percent-decoded path without the query
    QUrlQuery query;
    QByteArray version;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    QString peer; // address of the client, filled by the server

    QByteArray header(const QByteArray& lowerName) const
    {
        for (const auto& pair : headers) {
            if (pair.first == lowerName) {
                return pair.second;
            }
        }
        return QByteArray();
    }

    bool keepAlive() const
    {
        const QByteArray connection = header("connection").toLower();
        if (version == "HTTP/1.0") {
            return connection.contains("keep-alive");
        }
        return !connection.contains("close");
    }
};
