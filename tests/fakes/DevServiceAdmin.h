#pragma once

#include <QByteArray>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

// Requests to the development service's admin endpoint (plain HTTP) from
// tests running inside the harness namespace; every request has a deadline.
class DevServiceAdmin
{
public:
    static QString baseUrl()
    {
        return qEnvironmentVariable("CORVANE_ADMIN_URL", QStringLiteral("http://127.53.0.2:8053"));
    }

    static QJsonObject request(const QByteArray& method, const QString& path,
                               const QJsonObject& body = QJsonObject())
    {
        QNetworkAccessManager manager;
        QNetworkRequest req(QUrl(baseUrl() + path));
        req.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        const QByteArray data =
            body.isEmpty() ? QByteArray() : QJsonDocument(body).toJson(QJsonDocument::Compact);
        QNetworkReply* reply = manager.sendCustomRequest(req, method, data);
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer deadline;
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        deadline.start(10000);
        if (!reply->isFinished())
            loop.exec();
        const QJsonObject answer = QJsonDocument::fromJson(reply->readAll()).object();
        delete reply;
        return answer;
    }

    static QJsonObject state() { return request("GET", QStringLiteral("/admin/state")); }

    static void addHttpFault(const QJsonObject& rule)
    {
        request("POST", QStringLiteral("/admin/faults"),
                QJsonObject{{QStringLiteral("http"), QJsonArray{rule}}});
    }

    static void clearFaults() { request("DELETE", QStringLiteral("/admin/faults")); }
};
