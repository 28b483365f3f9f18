#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <atomic>

class TcpListener;
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
    // Connections held at once at most. A browser's request is answered
    // within milliseconds of its connection, so a new connection beyond the
    // cap makes room by closing the oldest one (one already answered first):
    // whoever holds idle connections cannot shut browsers out, and the agent
    // never runs out of descriptors through this server.
    static constexpr int defaultMaxConnections = 256;
    // Accept errors closer together than this are one burst, logged once.
    static constexpr int acceptBurstEndMs = 5000;

    explicit BlockPage(quint16 port, QObject* parent = nullptr);

    // Port actually bound once started (0 before, or when listening failed).
    quint16 serverPort() const { return boundPort.load(); }
    // Connections the server still holds, readable from any thread.
    int connectionCount() const { return openConnections.load(); }
    // Only before the thread starts.
    void setRequestTimeoutMs(int timeoutMs) { requestTimeoutMs = timeoutMs; }
    void setMaxConnections(int count) { maxConnections = qMax(1, count); }
    // Accepts that failed, and connections closed to make room, so far;
    // readable from any thread.
    int acceptErrors() const { return failedAccepts.load(); }
    int droppedConnections() const { return dropped.load(); }

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
        quint64 order = 0;          // accepted as the order-th connection
        bool answered = false;
    };

    // Sends the one answer of a connection and half-closes it; the deadline
    // then bounds how long the peer may keep it.
    void finish(QTcpSocket* socket, const QByteArray& response);
    void stopSending(QTcpSocket* socket);
    void closeTimedOut(QTcpSocket* socket);
    void stopServer();
    // Forgets a connection and deletes its socket later.
    void release(QTcpSocket* socket);
    // Closes the oldest connection, an answered one if there is one.
    bool dropOldest();
    void onAcceptError(QAbstractSocket::SocketError error);

    TcpListener* server = nullptr;
    QList<GetData> requests;
    QString scheme = QStringLiteral("http");
    QHash<QTcpSocket*, Pending> pending;
    quint16 port = 0;
    int requestTimeoutMs = defaultRequestTimeoutMs;
    int maxConnections = defaultMaxConnections;
    quint64 accepted = 0;
    // Accept errors of the current burst (logged at its first and its end).
    int acceptErrorsInBurst = 0;
    // Connections dropped at the cap since that was last logged.
    int droppedUnlogged = 0;
    QDateTime droppedLoggedAt;
    QElapsedTimer lastAcceptError;
    std::atomic<quint16> boundPort{0};
    std::atomic<int> openConnections{0};
    std::atomic<int> failedAccepts{0};
    std::atomic<int> dropped{0};
};
