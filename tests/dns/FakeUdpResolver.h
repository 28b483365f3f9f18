#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QUdpSocket>

// A UDP DNS server for the tests: answers each query with one A record
// holding its own `answerAddress`, so that the client can tell who answered.
// It can hold answers back and release them in reverse order.
class FakeUdpResolver : public QObject
{
    Q_OBJECT
public:
    FakeUdpResolver(const QHostAddress& address, quint16 port, const QString& answerAddress);
    bool isListening() const { return socket.state() == QAbstractSocket::BoundState; }
    // Nothing waits unread in its socket.
    bool idle() { return !socket.hasPendingDatagrams(); }

    // Answer only when this many queries wait, all at once, newest first.
    int holdUntil = 1;
    // Answer every query twice.
    bool answerTwice = false;
    bool silent = false;
    QList<QByteArray> queries;
    // The source port of each query, in the same order.
    QList<quint16> ports;
    const QString answerAddress;

    // Sends `datagram` from this resolver's own address and port.
    void sendFrom(const QByteArray& datagram, const QHostAddress& to, quint16 port)
    {
        socket.writeDatagram(datagram, to, port);
    }

signals:
    void signalQuery();

private:
    void onReadyRead();

    struct Waiting
    {
        QByteArray query;
        QHostAddress from;
        quint16 port;
    };
    QUdpSocket socket;
    QList<Waiting> waiting;
};
