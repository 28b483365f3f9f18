#include "tests/backend/ScriptedBackend.h"

#include <QSslSocket>
#include <QTimer>

namespace {

constexpr int maxRequestBytes = 1024 * 1024;

// Parses one whole request from `buffer`; false while it is incomplete.
bool parseRequest(const QByteArray& buffer, ScriptedBackend::Request& request)
{
    const int end = buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return false;
    const QList<QByteArray> lines = buffer.left(end).split('\n');
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    if (first.size() < 2)
        return false;
    request.method = first.at(0);
    request.path = QString::fromLatin1(first.at(1));
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        if (colon > 0)
            request.headers.insert(lines.at(i).left(colon).trimmed().toLower(),
                                   lines.at(i).mid(colon + 1).trimmed());
    }
    const int length = request.headers.value("content-length", "0").toInt();
    if (buffer.size() - end - 4 < length)
        return false;
    request.body = buffer.mid(end + 4, length);
    return true;
}

} // namespace

ScriptedBackend::ScriptedBackend(const QSslCertificate& certificate, const QSslKey& key, QObject* parent)
    : QTcpServer(parent), certificate(certificate), key(key)
{
}

QStringList ScriptedBackend::paths() const
{
    QStringList result;
    for (const Request& request : received)
        result.append(QString::fromLatin1(request.method) + QLatin1Char(' ') + request.path);
    return result;
}

ScriptedBackend::Response ScriptedBackend::json(int status, const QByteArray& body)
{
    Response response;
    response.status = status;
    response.body = body;
    response.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    return response;
}

void ScriptedBackend::incomingConnection(qintptr descriptor)
{
    auto* socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    socket->setLocalCertificate(certificate);
    socket->setPrivateKey(key);
    auto* deadline = new QTimer(socket);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, socket, [socket] { socket->abort(); });
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QIODevice::readyRead, socket, [this, socket] {
        QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
        if (buffer.size() > maxRequestBytes) {
            socket->abort();
            return;
        }
        socket->setProperty("buffer", buffer);
        Request request;
        if (!parseRequest(buffer, request))
            return;
        received.append(request);
        const Response response = handler ? handler(request) : json(404, "{\"detail\":\"Not found.\"}");
        QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " Scripted\r\n";
        for (const auto& header : response.headers)
            head += header.first + ": " + header.second + "\r\n";
        head +=
            "Content-Length: " + QByteArray::number(response.body.size()) + "\r\nConnection: close\r\n\r\n";
        socket->write(head);
        socket->write(response.body);
        socket->disconnectFromHost();
    });
    deadline->start(30000);
    socket->startServerEncryption();
}
