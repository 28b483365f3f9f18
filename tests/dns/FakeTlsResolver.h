#pragma once

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>

class QSslSocket;

// A DNS-over-TLS or DNS-over-HTTPS (HTTP/1.1) server for the tests. Answers
// each query with one A record holding `answerAddress`. Knobs make it hold
// answers and send them together (optionally newest first), split each write
// in two with a pause between, close the connection after answering or
// instead of answering, delay or withhold the TLS handshake, answer with an
// error status or with garbage.
class FakeTlsResolver : public QTcpServer
{
    Q_OBJECT
public:
    enum class Mode
    {
        Dot,
        Doh
    };

    FakeTlsResolver(Mode mode, const QSslCertificate& certificate, const QSslKey& key,
                    const QString& answerAddress);

    // Knobs (read when a query arrives).
    int holdUntil = 1;
    bool reverse = false;
    int splitDelayMs = 0;
    bool chunked = false;
    bool closeAfterAnswer = false;
    // Close the connection instead of answering this many queries.
    int closeInsteadOfAnswer = 0;
    int handshakeDelayMs = 0;
    bool neverHandshake = false;
    // HTTP status for the next this-many answers (then 200).
    int errorStatus = 0;
    int errorCount = 0;
    // Sent instead of the next answer.
    QByteArray garbage;

    // What it saw.
    QList<QByteArray> queries;
    QList<QByteArray> requestHeads;
    int connectionCount = 0;
    int closedConnections = 0;

    // The certificate and key shown from the next connection on, in place of
    // its own (an impostor's); reset() puts its own back.
    void present(const QSslCertificate& shownCertificate, const QSslKey& privateKey);

    void reset();
    // Closes every open connection (as an idle timeout would); returns how many.
    int closeAll();
    int openConnections() const;

signals:
    void signalQuery();
    void signalClosed();

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Held
    {
        // A connection may end while its queries are held.
        QPointer<QSslSocket> socket;
        QByteArray query;
    };
    void accept(qintptr descriptor);
    void onReadyRead(QSslSocket* socket);
    void onQuery(QSslSocket* socket, const QByteArray& query);
    QByteArray reply(const QByteArray& query);
    void send(QSslSocket* socket, const QByteArray& bytes, bool close);

    const Mode mode;
    const QSslCertificate certificate;
    const QSslKey key;
    const QString answerAddress;
    QSslCertificate shown;
    QSslKey shownKey;
    QList<Held> held;
};
