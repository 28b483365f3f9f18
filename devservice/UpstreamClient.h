#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QUdpSocket>

#include <functional>

// Sends queries to the upstream server under IDs of its own, matches answers
// back by ID and question, restores the client's ID, and answers SERVFAIL when
// the upstream stays silent past the deadline. An answer truncated over UDP is
// fetched again over TCP when the client itself asked over a stream.
class UpstreamClient : public QObject
{
    Q_OBJECT
public:
    using Callback = std::function<void(const QByteArray& answer, const QString& note)>;

    UpstreamClient(QHostAddress address, quint16 port, int timeoutMs, QObject* parent = nullptr);

    void send(const QByteArray& query, bool streamClient, Callback callback);
    int pending() const { return m_pending.size(); }

private:
    struct Pending
    {
        QByteArray query; // as the client sent it (client ID)
        bool streamClient = false;
        Callback callback;
        QObject* timer = nullptr;
    };

    void slotReadyRead();
    void complete(quint16 upstreamId, const QByteArray& answer, const QString& note);
    void sendOverTcp(const QByteArray& query, Callback callback);
    quint16 freeId() const;

    QHostAddress m_address;
    quint16 m_port;
    int m_timeoutMs;
    QUdpSocket* m_socket;
    QHash<quint16, Pending> m_pending;
};
