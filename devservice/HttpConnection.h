#pragma once

#include "devservice/HttpParser.h"
#include "devservice/HttpResponse.h"

#include <QObject>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <functional>

// One client connection of an HTTP(S) server: parses requests as bytes come,
// hands them one at a time to the handler and writes the answers in order.
// Keep-alive is honoured; an idle connection is closed after a deadline.
class HttpConnection : public QObject
{
    Q_OBJECT
public:
    using Responder = std::function<void(const HttpResponse&)>;
    using Handler = std::function<void(const HttpRequest&, Responder)>;

    static constexpr int idleTimeoutMs = 30000;

    HttpConnection(QTcpSocket* socket, QString serverName, Handler handler, QObject* parent = nullptr);

private:
    void slotReadyRead();
    void processNext();
    void finish(const HttpRequest& request, const HttpResponse& response);
    void writeResponse(const HttpRequest& request, const HttpResponse& response);

    QPointer<QTcpSocket> m_socket;
    QTimer* m_idleTimer;
    QString m_serverName;
    Handler m_handler;
    HttpParser m_parser;
    bool m_busy = false;
    bool m_closing = false;
};
