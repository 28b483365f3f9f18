#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <atomic>

class QTcpServer;
class QTcpSocket;
class QTimer;

// The local HTTP responder a browser reaches for a blocked site: it answers
// each request with a 303 redirect to the service's block page, adding the
// machine's token. Lives on a thread of its own; slotStart builds the server
// there.
class BlockPage : public QObject
{
    Q_OBJECT
public:
    struct GetData
    {
        QTcpSocket* socket = nullptr; // not owned
        QUrl url;
    };

    // Request headers beyond this size are refused (431); the connection ends
    // like an answered one.
    static constexpr int maxRequestBytes = 64 * 1024;
    // A connection that has not completed its request within this time is
    // closed; so is an answered one whose peer neither reads the answer nor
    // closes its side.
    static constexpr int defaultRequestTimeoutMs = 10000;

    explicit BlockPage(quint16 port, QObject* parent = nullptr);

    // Port actually bound once started (0 before, or when listening failed).
    quint16 serverPort() const { return boundPort.load(); }
    // Connections the server still holds, readable from any thread.
    int connectionCount() const { return openConnections.load(); }
    // Only before the thread starts.
    void setRequestTimeoutMs(int timeoutMs) { requestTimeoutMs = timeoutMs; }

    // The redirect target for one whole request and the machine's token
    // (-1 = none). `chosenScheme`, when given, receives "http" or "https".
    static QString createUrl(const QByteArray& request, qint64 token, QString* chosenScheme = nullptr);
    // Whether the redirect target leads to the service's own block page: http
    // or https to the service domain or a name below it. Any other target
    // would hand the machine's token to whoever wrote the link.
    static bool isServiceBlockPage(const QUrl& url, const QString& domain);
    // The answer to a request whose target is not the service's.
    static QByteArray badRequestResponse();
    // Offset just past the blank line that ends the request headers, or -1
    // while the headers are incomplete.
    static int requestEnd(const QByteArray& buffer);
    // The Date and Cache-Control lines for the moment `utc`.
    static QString nocacheHeaders(const QDateTime& utc);
    // The complete 303 response sending the browser to `url`.
    static QByteArray redirectResponse(const QUrl& url, const QDateTime& utc);

    QString createUrl(QByteArray& request);
    void redirect();
    QString nocacheHeaders();

public slots:
    void slotNewConnection();
    void slotDeleteLater();
    void slotReadyReadLocal();
    void slotStart();

private:
    struct Pending
    {
        QByteArray bytes;
        QTimer* deadline = nullptr; // owned by the socket
        bool answered = false;
    };

    // Sends the one answer of a connection and half-closes it; the deadline
    // then bounds how long the peer may keep it.
    void finish(QTcpSocket* socket, const QByteArray& response);
    void stopSending(QTcpSocket* socket);
    void closeTimedOut(QTcpSocket* socket);
    void stopServer();

    QTcpServer* server = nullptr;
    QList<GetData> requests;
    QString scheme = QStringLiteral("http");
    QHash<QTcpSocket*, Pending> pending;
    quint16 port = 0;
    int requestTimeoutMs = defaultRequestTimeoutMs;
    std::atomic<quint16> boundPort{0};
    std::atomic<int> openConnections{0};
};
