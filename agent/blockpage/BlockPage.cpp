#include "blockpage/BlockPage.h"

#include "blockpage/BlockPageLogging.h"
#include "logging/LogMask.h"
#include "platform/SystemServices.h"
#include "platform/TcpListener.h"
#include "settings/UserData.h"

#include <QHash>
#include <QHostAddress>
#include <QLocale>
#include <QStringList>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUrlQuery>

BlockPage::BlockPage(quint16 listenPort, QObject* parent) : QObject(parent), port(listenPort) {}

QString BlockPage::createUrl(const QByteArray& request, qint64 token, QString* chosenScheme)
{
    qCDebug(blockpage) << "createUrl";
    QString text = QString::fromUtf8(request);
    const int httpAt = text.indexOf(QLatin1String(" HTTP"));
    if (httpAt >= 0)
        text.truncate(httpAt);
    // Without "GET /?" the index is -1 and the query starts at the sixth
    // character; the browser still gets its redirect, with empty parts.
    const int getAt = text.indexOf(QLatin1String("GET /?"));
    const QString query = text.mid(getAt + 6);

    const QString chosen =
        query.indexOf(QLatin1String("blockpage-tls")) >= 1 ? QStringLiteral("https") : QStringLiteral("http");
    if (chosenScheme)
        *chosenScheme = chosen;

    QHash<QString, QString> parameters;
    const QStringList pieces = query.split(QLatin1Char('&'), Qt::SkipEmptyParts);
    for (const QString& piece : pieces) {
        const QStringList parts = piece.split(QLatin1Char('='), Qt::SkipEmptyParts);
        if (parts.size() == 2)
            parameters.insert(parts.at(0), parts.at(1));
    }
    const QString tokenText = token == -1 ? QString() : QString::number(token);
    const QString result = chosen + QLatin1String("://") + parameters.value(QStringLiteral("blockpage")) +
                           QLatin1String("/blocked?hostname=") +
                           parameters.value(QStringLiteral("hostname")) + QLatin1String("&token=") +
                           tokenText + QLatin1String("&url=") + parameters.value(QStringLiteral("url"));
    qCDebug(blockpage).noquote() << "createUrl result:" << LogMask::hidden(result, tokenText);
    return result;
}

QString BlockPage::createUrl(QByteArray& request)
{
    return createUrl(request, UserData::getToken(), &scheme);
}

bool BlockPage::isServiceBlockPage(const QUrl& url, const QString& domain)
{
    if (!url.isValid() || (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")))
        return false;
    QString service = domain.trimmed().toLower();
    while (service.endsWith(QLatin1Char('.')))
        service.chop(1);
    QString host = url.host(QUrl::FullyDecoded).toLower();
    if (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    if (service.isEmpty() || host.isEmpty())
        return false;
    return host == service || host.endsWith(QLatin1Char('.') + service);
}

QByteArray BlockPage::badRequestResponse()
{
    return QByteArrayLiteral("HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nContent-Length: 12\r\n"
                             "Connection: close\r\n\r\nBad Request\n");
}

int BlockPage::requestEnd(const QByteArray& buffer)
{
    const int crlf = buffer.indexOf("\r\n\r\n");
    const int lf = buffer.indexOf("\n\n");
    if (crlf >= 0 && (lf < 0 || crlf < lf))
        return crlf + 4;
    if (lf >= 0)
        return lf + 2;
    return -1;
}

QString BlockPage::nocacheHeaders(const QDateTime& utc)
{
    // The "C" locale keeps day and month names English whatever the system's.
    const QString date = QLocale::c().toString(utc.toUTC(), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss"));
    return QStringLiteral("Date: ") + date +
           QStringLiteral(" GMT\r\nCache-Control: no-cache,no-store,max-age=0,must-revalidate\r\n");
}

QString BlockPage::nocacheHeaders()
{
    return nocacheHeaders(QDateTime::currentDateTimeUtc());
}

QByteArray BlockPage::redirectResponse(const QUrl& url, const QDateTime& utc)
{
    // Concatenated rather than filled with arg(): an encoded URL is full of
    // "%20"-like sequences that arg() would take for placeholders.
    const QString response = QStringLiteral("HTTP/1.1 303 See Other\r\nLocation: ") +
                             QString::fromUtf8(url.toEncoded(QUrl::FullyEncoded)) +
                             QStringLiteral("\r\nConnection: close\r\n") + nocacheHeaders(utc) +
                             QStringLiteral("\r\n\r\n");
    return response.toUtf8();
}

void BlockPage::slotStart()
{
    // A restarted thread has a new event dispatcher: the old server's socket
    // notifiers are gone with the old one, so everything is built afresh.
    stopServer();
    server = new TcpListener(this);
    connect(server, &TcpListener::signalNewConnection, this, &BlockPage::slotNewConnection);
    connect(server, &TcpListener::signalAcceptError, this, &BlockPage::onAcceptError);
    if (!server->listen(QHostAddress::LocalHost, port)) {
        qCCritical(blockpage) << "HTTP (TCP) server is not started";
        server->close();
        boundPort = 0;
        return;
    }
    boundPort = server->serverPort();
    qCInfo(blockpage) << "START NEW THREAD" << QThread::currentThread();
}

void BlockPage::stopServer()
{
    for (auto it = pending.begin(); it != pending.end(); ++it)
        it.key()->disconnect(this);
    pending.clear();
    openConnections = 0;
    requests.clear();
    delete server; // and its connections
    server = nullptr;
    acceptErrorsInBurst = 0;
    boundPort = 0;
}

void BlockPage::onAcceptError(QAbstractSocket::SocketError error)
{
    ++failedAccepts;
    lastAcceptError.start();
    if (acceptErrorsInBurst++ == 0)
        qCWarning(blockpage) << "accept failed:" << error << ", accepting paused for"
                             << TcpListener::acceptPauseMs << "ms";
    // Our own oldest connection gives its descriptor to the one waiting.
    if (error == QAbstractSocket::SocketResourceError)
        dropOldest();
}

bool BlockPage::dropOldest()
{
    QTcpSocket* oldest = nullptr;
    quint64 oldestOrder = 0;
    bool oldestAnswered = false;
    for (auto it = pending.constBegin(); it != pending.constEnd(); ++it) {
        // An answered connection only waits for the peer to close: it goes first.
        const bool better =
            !oldest || (it->answered != oldestAnswered ? it->answered : it->order < oldestOrder);
        if (better) {
            oldest = it.key();
            oldestOrder = it->order;
            oldestAnswered = it->answered;
        }
    }
    if (!oldest)
        return false;
    release(oldest);
    oldest->abort();
    ++dropped;
    return true;
}

void BlockPage::slotNewConnection()
{
    qCDebug(blockpage) << "slotNewConnection";
    // A burst ends once accepting has worked for a while after its last error.
    if (acceptErrorsInBurst > 0 && lastAcceptError.elapsed() >= acceptBurstEndMs) {
        qCInfo(blockpage) << "accepting again after" << acceptErrorsInBurst << "failed accepts";
        acceptErrorsInBurst = 0;
    }
    while (server && server->hasPendingConnections()) {
        QTcpSocket* socket = server->nextPendingConnection();
        if (!socket)
            return;
        if (pending.size() >= maxConnections && dropOldest()) {
            // Logged once per minute at most, with the count.
            ++droppedUnlogged;
            const QDateTime now = QDateTime::currentDateTimeUtc();
            if (!droppedLoggedAt.isValid() || droppedLoggedAt.secsTo(now) >= 60) {
                qCWarning(blockpage) << "connection limit" << maxConnections
                                     << "reached, oldest closed:" << droppedUnlogged;
                droppedUnlogged = 0;
                droppedLoggedAt = now;
            }
        }
        socket->setReadBufferSize(maxRequestBytes + 1);
        Pending state;
        state.order = ++accepted;
        state.deadline = new QTimer(socket);
        state.deadline->setSingleShot(true);
        connect(state.deadline, &QTimer::timeout, this, [this, socket] { closeTimedOut(socket); });
        state.deadline->start(requestTimeoutMs);
        pending.insert(socket, state);
        openConnections = pending.size();
        connect(socket, &QTcpSocket::readyRead, this, &BlockPage::slotReadyReadLocal);
        connect(socket, &QTcpSocket::disconnected, this, &BlockPage::slotDeleteLater);
    }
}

void BlockPage::slotDeleteLater()
{
    auto* socket = qobject_cast<QTcpSocket*>(sender());
    if (!socket)
        return;
    release(socket);
}

void BlockPage::release(QTcpSocket* socket)
{
    pending.remove(socket);
    openConnections = pending.size();
    for (int i = requests.size() - 1; i >= 0; --i) {
        if (requests.at(i).socket == socket)
            requests.removeAt(i);
    }
    socket->disconnect(this);
    socket->deleteLater();
}

void BlockPage::slotReadyReadLocal()
{
    qCDebug(blockpage) << "slotReadyReadLocal";
    auto* socket = qobject_cast<QTcpSocket*>(sender());
    if (!socket)
        return;
    auto state = pending.find(socket);
    if (state == pending.end() || state->answered) {
        // One redirect per connection; whatever follows is not looked at.
        socket->readAll();
        return;
    }
    state->bytes.append(socket->read(maxRequestBytes + 1 - state->bytes.size()));
    const int end = requestEnd(state->bytes);
    if (end < 0) {
        if (state->bytes.size() <= maxRequestBytes)
            return; // the rest of the request comes with a later segment
        qCWarning(blockpage) << "Request too large, closing";
        state->answered = true;
        state->bytes.clear();
        socket->readAll();
        finish(socket, "HTTP/1.1 431 Request Header Fields Too Large\r\nConnection: close\r\n\r\n");
        return;
    }
    QByteArray request = state->bytes.left(end);
    state->answered = true;
    state->bytes.clear();
    GetData entry;
    entry.socket = socket;
    entry.url = QUrl(createUrl(request));
    if (!isServiceBlockPage(entry.url, UserData::getDomainName())) {
        qCWarning(blockpage).noquote() << "Redirect refused, not the service's block page:"
                                       << entry.url.host(QUrl::FullyEncoded).left(255);
        finish(socket, badRequestResponse());
        return;
    }
    requests.append(entry);
    redirect();
}

void BlockPage::redirect()
{
    qCDebug(blockpage) << "redirect";
    if (requests.isEmpty())
        return;
    const GetData entry = requests.takeFirst();
    if (!entry.socket || entry.socket->state() != QAbstractSocket::ConnectedState) {
        qCWarning(blockpage) << "Client unconnected";
        return;
    }
    const QByteArray response = redirectResponse(entry.url, QDateTime::currentDateTimeUtc());
    const QString token = QUrlQuery(entry.url).queryItemValue(QStringLiteral("token"));
    qCDebug(blockpage).noquote() << "redirect response:"
                                 << LogMask::hidden(QString::fromUtf8(response), token);
    // The response announces "Connection: close" and has no length: its end
    // is the end of the connection, so the browser would wait for the body
    // until the connection closes.
    finish(entry.socket, response);
}

void BlockPage::finish(QTcpSocket* socket, const QByteArray& response)
{
    // Closing a socket with unread bytes from the peer (the rest of an
    // oversized request, a request body) makes the system reset the
    // connection, and a reset can destroy the answer before the peer has read
    // it. So the answer is followed by the end of our sending direction only;
    // what the peer still sends is read and dropped until it closes, or until
    // the deadline gives up on it.
    const auto state = pending.find(socket);
    if (state != pending.end())
        state->deadline->start(requestTimeoutMs);
    socket->write(response);
    socket->flush();
    if (socket->bytesToWrite() == 0) {
        stopSending(socket);
        return;
    }
    connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] {
        if (socket->bytesToWrite() == 0)
            stopSending(socket);
    });
}

void BlockPage::stopSending(QTcpSocket* socket)
{
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (!SystemServices::stopSending(socket->socketDescriptor()))
        socket->disconnectFromHost();
}

void BlockPage::closeTimedOut(QTcpSocket* socket)
{
    const auto state = pending.constFind(socket);
    if (state == pending.constEnd())
        return;
    if (state->answered)
        qCDebug(blockpage) << "Answer not taken, closing";
    else
        qCWarning(blockpage) << "Request incomplete, closing";
    socket->disconnectFromHost();
    // A peer that stops reading cannot hold the connection open either.
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->abort();
}
