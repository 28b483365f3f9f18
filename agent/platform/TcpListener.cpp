#include "platform/TcpListener.h"

#include "platform/SystemServices.h"

#include <QHostAddress>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimerEvent>

TcpListener::TcpListener(QObject* parent) : QObject(parent), server(new QTcpServer(this)) {}

bool TcpListener::listen(const QHostAddress& address, quint16 port)
{
    close();
    if (!server->listen(address, port)) {
        server->close();
        return false;
    }
    // The server's own notifier stays off: accepting is done here.
    server->pauseAccepting();
    notifier = new QSocketNotifier(server->socketDescriptor(), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &TcpListener::acceptWaiting);
    return true;
}

bool TcpListener::isListening() const
{
    return server->isListening();
}

void TcpListener::close()
{
    delete notifier;
    notifier = nullptr;
    pause.stop();
    qDeleteAll(waiting);
    waiting.clear();
    server->close();
}

quint16 TcpListener::serverPort() const
{
    return server->serverPort();
}

QString TcpListener::errorString() const
{
    return server->errorString();
}

QAbstractSocket::SocketError TcpListener::serverError() const
{
    return server->serverError();
}

QTcpSocket* TcpListener::nextPendingConnection()
{
    if (waiting.isEmpty())
        return nullptr;
    QTcpSocket* socket = waiting.takeFirst();
    updateNotifier();
    return socket;
}

void TcpListener::updateNotifier()
{
    if (notifier)
        notifier->setEnabled(!pause.isActive() && waiting.size() < maxPending);
}

void TcpListener::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != pause.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    pause.stop();
    updateNotifier();
}

void TcpListener::acceptWaiting()
{
    // Bounded per notification; the listener stays readable for the rest.
    for (int round = 0; round < maxPending && waiting.size() < maxPending; ++round) {
        qintptr descriptor = -1;
        const SystemServices::AcceptResult result =
            SystemServices::acceptConnection(server->socketDescriptor(), &descriptor);
        if (result == SystemServices::AcceptResult::Empty)
            break;
        if (result == SystemServices::AcceptResult::Aborted)
            continue;
        if (result != SystemServices::AcceptResult::Accepted) {
            pause.start(acceptPauseMs, this);
            updateNotifier();
            const QPointer<TcpListener> alive(this);
            emit signalAcceptError(result == SystemServices::AcceptResult::OutOfResources
                                       ? QAbstractSocket::SocketResourceError
                                       : QAbstractSocket::UnknownSocketError);
            if (!alive)
                return;
            break;
        }
        auto* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            SystemServices::closeSocket(descriptor);
            delete socket;
            continue;
        }
        waiting.append(socket);
    }
    updateNotifier();
    if (!waiting.isEmpty())
        emit signalNewConnection();
}
