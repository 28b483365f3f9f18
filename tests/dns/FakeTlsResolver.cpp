#include "tests/dns/FakeTlsResolver.h"

#include "tests/dns/DnsTestMessages.h"

#include <QHash>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTimer>

namespace {
const char* bufferProperty = "fakeBuffer";
}

FakeTlsResolver::FakeTlsResolver(Mode mode, const QSslCertificate& certificate, const QSslKey& key,
                                 const QString& answerAddress)
    : mode(mode), certificate(certificate), key(key), answerAddress(answerAddress), shown(certificate),
      shownKey(key)
{
}

void FakeTlsResolver::present(const QSslCertificate& shownCertificate, const QSslKey& privateKey)
{
    shown = shownCertificate;
    shownKey = privateKey;
}

void FakeTlsResolver::reset()
{
    present(certificate, key);
    holdUntil = 1;
    reverse = false;
    splitDelayMs = 0;
    chunked = false;
    closeAfterAnswer = false;
    closeInsteadOfAnswer = 0;
    handshakeDelayMs = 0;
    neverHandshake = false;
    errorStatus = 0;
    errorCount = 0;
    garbage.clear();
    queries.clear();
    requestHeads.clear();
    held.clear();
}

void FakeTlsResolver::incomingConnection(qintptr descriptor)
{
    if (handshakeDelayMs > 0) {
        // The connection is taken up late: the client's hello waits in the kernel.
        QTimer::singleShot(handshakeDelayMs, this, [this, descriptor] { accept(descriptor); });
        return;
    }
    accept(descriptor);
}

void FakeTlsResolver::accept(qintptr descriptor)
{
    auto* socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    ++connectionCount;
    socket->setLocalCertificate(shown);
    socket->setPrivateKey(shownKey);
    connect(socket, &QSslSocket::disconnected, this, [this, socket] {
        ++closedConnections;
        for (int i = held.size() - 1; i >= 0; --i) {
            if (held.at(i).socket == socket)
                held.removeAt(i);
        }
        socket->deleteLater();
        emit signalClosed();
    });
    if (neverHandshake)
        return; // reads nothing, answers nothing
    connect(socket, &QSslSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
    socket->startServerEncryption();
}

void FakeTlsResolver::onReadyRead(QSslSocket* socket)
{
    if (!socket->isEncrypted())
        return;
    QByteArray buffer = socket->property(bufferProperty).toByteArray() + socket->readAll();
    for (;;) {
        if (mode == Mode::Dot) {
            if (buffer.size() < 2)
                break;
            const int length = (uchar(buffer.at(0)) << 8) | uchar(buffer.at(1));
            if (buffer.size() < 2 + length)
                break;
            const QByteArray query = buffer.mid(2, length);
            buffer.remove(0, 2 + length);
            onQuery(socket, query);
        } else {
            const int end = buffer.indexOf("\r\n\r\n");
            if (end < 0)
                break;
            const QByteArray head = buffer.left(end + 2);
            int length = 0;
            const QList<QByteArray> lines = head.split('\n');
            for (const QByteArray& line : lines) {
                if (line.toLower().startsWith("content-length:"))
                    length = line.mid(15).trimmed().toInt();
            }
            if (buffer.size() < end + 4 + length)
                break;
            requestHeads.append(head);
            const QByteArray query = buffer.mid(end + 4, length);
            buffer.remove(0, end + 4 + length);
            onQuery(socket, query);
        }
        if (socket->state() != QAbstractSocket::ConnectedState)
            return;
    }
    socket->setProperty(bufferProperty, buffer);
}

QByteArray FakeTlsResolver::reply(const QByteArray& query)
{
    if (!garbage.isEmpty()) {
        const QByteArray bytes = garbage;
        garbage.clear();
        return bytes;
    }
    const QByteArray answer = DnsTestMessages::answerA(query, answerAddress);
    if (mode == Mode::Dot) {
        QByteArray framed;
        framed.append(char(answer.size() >> 8)).append(char(answer.size() & 0xff)).append(answer);
        return framed;
    }
    if (errorCount > 0) {
        --errorCount;
        const QByteArray body = "no such thing";
        return "HTTP/1.1 " + QByteArray::number(errorStatus) +
               " Error\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    }
    if (chunked) {
        const int half = answer.size() / 2;
        return "HTTP/1.1 200 OK\r\nContent-Type: application/dns-message\r\nTransfer-Encoding: "
               "chunked\r\n\r\n" +
               QByteArray::number(half, 16) + "\r\n" + answer.left(half) + "\r\n" +
               QByteArray::number(answer.size() - half, 16) + "\r\n" + answer.mid(half) + "\r\n0\r\n\r\n";
    }
    return "HTTP/1.1 200 OK\r\nContent-Type: application/dns-message\r\nContent-Length: " +
           QByteArray::number(answer.size()) + "\r\n\r\n" + answer;
}

void FakeTlsResolver::onQuery(QSslSocket* socket, const QByteArray& query)
{
    queries.append(query);
    emit signalQuery();
    if (closeInsteadOfAnswer > 0) {
        --closeInsteadOfAnswer;
        socket->disconnectFromHost();
        return;
    }
    held.append({socket, query});
    if (held.size() < holdUntil)
        return;
    const QList<Held> batch = held;
    held.clear();
    // Each answer goes back on the connection its query came on; the
    // answers of one connection leave in one write.
    QList<QSslSocket*> order;
    QHash<QSslSocket*, QByteArray> bytes;
    for (int i = 0; i < batch.size(); ++i) {
        const Held& h = reverse ? batch.at(batch.size() - 1 - i) : batch.at(i);
        if (!h.socket)
            continue;
        if (!bytes.contains(h.socket))
            order.append(h.socket);
        bytes[h.socket] += reply(h.query);
    }
    for (QSslSocket* to : order) {
        if (to->state() == QAbstractSocket::ConnectedState)
            send(to, bytes.value(to), closeAfterAnswer);
    }
}

void FakeTlsResolver::send(QSslSocket* socket, const QByteArray& bytes, bool close)
{
    if (splitDelayMs <= 0) {
        socket->write(bytes);
        if (close)
            socket->disconnectFromHost();
        return;
    }
    // First part now, the rest after a pause: the client reads them apart.
    // While a rest is pending, later bytes queue behind it to keep the stream in order.
    const char* restProperty = "fakeRest";
    if (socket->property(restProperty).isValid()) {
        socket->setProperty(restProperty, QByteArray(socket->property(restProperty).toByteArray() + bytes));
        return;
    }
    const int cut = qMax(1, bytes.size() / 2 - 3);
    // Set before writing: a flush may read the next query and come back here.
    socket->setProperty(restProperty, bytes.mid(cut));
    socket->write(bytes.left(cut));
    socket->flush();
    QPointer<QSslSocket> guard(socket);
    QTimer::singleShot(splitDelayMs, this, [guard, close, restProperty] {
        if (!guard)
            return;
        guard->write(guard->property(restProperty).toByteArray());
        guard->setProperty(restProperty, QVariant());
        if (close)
            guard->disconnectFromHost();
    });
}

int FakeTlsResolver::closeAll()
{
    int closed = 0;
    const QList<QSslSocket*> sockets = findChildren<QSslSocket*>();
    for (QSslSocket* socket : sockets) {
        if (socket->state() == QAbstractSocket::ConnectedState) {
            socket->disconnectFromHost();
            ++closed;
        }
    }
    return closed;
}

int FakeTlsResolver::openConnections() const
{
    int open = 0;
    const QList<QSslSocket*> sockets = findChildren<QSslSocket*>();
    for (QSslSocket* socket : sockets) {
        if (socket->state() == QAbstractSocket::ConnectedState)
            ++open;
    }
    return open;
}
