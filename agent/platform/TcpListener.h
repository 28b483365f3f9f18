#pragma once

#include <QAbstractSocket>
#include <QBasicTimer>
#include <QList>
#include <QObject>

class QHostAddress;
class QSocketNotifier;
class QTcpServer;
class QTcpSocket;

// A listening TCP socket handing over its connections like QTcpServer, that
// also survives running out of descriptors. QTcpServer is kept for binding
// only: its socket engine keeps the first error it ever met (almost always
// "nothing waiting") and then reports a lack of descriptors as that same
// temporary error, so it neither pauses nor signals and spins on the listener
// until a descriptor frees. Here such a failure pauses accepting for
// acceptPauseMs and is signalled once per attempt.
class TcpListener : public QObject
{
    Q_OBJECT
public:
    static constexpr int acceptPauseMs = 200;

    explicit TcpListener(QObject* parent = nullptr);

    bool listen(const QHostAddress& address, quint16 port);
    bool isListening() const;
    void close();
    quint16 serverPort() const;
    QString errorString() const;
    QAbstractSocket::SocketError serverError() const;
    // Accepted connections not yet taken; accepting waits while this many are.
    void setMaxPendingConnections(int count) { maxPending = qMax(1, count); }
    bool hasPendingConnections() const { return !waiting.isEmpty(); }
    // The oldest accepted connection, a child of this listener, or nullptr.
    QTcpSocket* nextPendingConnection();

signals:
    void signalNewConnection();
    // Accepting failed (SocketResourceError: out of descriptors); it resumes
    // by itself after the pause.
    void signalAcceptError(QAbstractSocket::SocketError error);

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    void acceptWaiting();
    void updateNotifier();

    QTcpServer* server = nullptr;
    QSocketNotifier* notifier = nullptr;
    QBasicTimer pause;
    QList<QTcpSocket*> waiting;
    int maxPending = 30;
};
