#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QTcpServer>

#include <functional>

// A tiny HTTPS server that answers each request from a script, for the
// backend answers the development service does not produce (odd tokens,
// redirects, huge bodies). One request per connection.
class ScriptedBackend : public QTcpServer
{
    Q_OBJECT

public:
    struct Request
    {
        QByteArray method;
        QString path;
        QHash<QByteArray, QByteArray> headers; // lower-case names
        QByteArray body;
    };

    struct Response
    {
        int status = 200;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
    };

    using Handler = std::function<Response(const Request&)>;

    ScriptedBackend(const QSslCertificate& certificate, const QSslKey& key, QObject* parent = nullptr);

    void setHandler(Handler handler) { this->handler = std::move(handler); }
    QList<Request> requests() const { return received; }
    QStringList paths() const;
    void clear() { received.clear(); }

    static Response json(int status, const QByteArray& body);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    QSslCertificate certificate;
    QSslKey key;
    Handler handler;
    QList<Request> received;
};
