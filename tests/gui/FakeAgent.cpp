#include "tests/gui/FakeAgent.h"

#include "common/ControlFrame.h"
#include "common/MessageNames.h"

FakeAgent::FakeAgent(QObject* parent) : QObject(parent), server(this)
{
    connect(&server, &QTcpServer::newConnection, this, &FakeAgent::onNewConnection);
}

bool FakeAgent::listen(quint16 port)
{
    return server.listen(QHostAddress(QHostAddress::LocalHost), port);
}

void FakeAgent::close()
{
    server.close();
    dropClient();
}

void FakeAgent::onNewConnection()
{
    while (QTcpSocket* next = server.nextPendingConnection()) {
        // The agent talks to the client that spoke last; one is enough here.
        if (client)
            client->deleteLater();
        client = next;
        reader.clear();
        connect(next, &QTcpSocket::readyRead, this, &FakeAgent::onReadyRead);
        connect(next, &QTcpSocket::disconnected, next, &QObject::deleteLater);
    }
}

void FakeAgent::onReadyRead()
{
    auto* socket = qobject_cast<QTcpSocket*>(sender());
    if (!socket || socket != client)
        return;
    const QVector<QString> texts = reader.feed(socket->readAll());
    for (const QString& text : texts) {
        const QJsonObject envelope = ControlFrame::parse(text);
        messages.append(envelope);
        const QString info = envelope.value(QStringLiteral("info")).toString();
        if (info == QLatin1String(MessageNames::HelloGui) && answerHello) {
            send(QLatin1String(MessageNames::HelloAgent));
            if (sendStartupStatus) {
                send(QLatin1String(MessageNames::StatusLog), {{QStringLiteral("status_log"), true}});
                send(QLatin1String(MessageNames::StatusAd), {{QStringLiteral("status_ad"), false}});
                send(QLatin1String(MessageNames::DnsProtocol), {{QStringLiteral("dns_protocol"), 0}});
            }
        } else if (answerWindowRequests && info == QLatin1String(MessageNames::AuthData)) {
            send(QLatin1String(MessageNames::StatusAuthData), {{QStringLiteral("status"), authDataStored}});
        } else if (answerWindowRequests && info == QLatin1String(MessageNames::GetCoordGui)) {
            send(QLatin1String(MessageNames::CoordGui), {{QStringLiteral("x"), QStringLiteral("null")},
                                                         {QStringLiteral("y"), QStringLiteral("null")}});
        }
        emit messageReceived(envelope);
    }
}

void FakeAgent::send(const QString& info, const QJsonObject& data)
{
    sendRaw(ControlFrame::encode(ControlFrame::envelope(info, data)));
}

void FakeAgent::send(const QString& info)
{
    sendRaw(ControlFrame::encode(ControlFrame::envelope(info)));
}

void FakeAgent::sendRaw(const QByteArray& bytes)
{
    if (!client)
        return;
    client->write(bytes);
    client->flush();
}

void FakeAgent::dropClient()
{
    if (client) {
        client->disconnectFromHost();
        client = nullptr;
    }
}

QStringList FakeAgent::receivedNames() const
{
    QStringList names;
    for (const QJsonObject& message : messages)
        names.append(message.value(QStringLiteral("info")).toString());
    return names;
}

int FakeAgent::count(const QString& info) const
{
    return static_cast<int>(receivedNames().count(info));
}

QJsonObject FakeAgent::last(const QString& info) const
{
    for (auto it = messages.crbegin(); it != messages.crend(); ++it) {
        if (it->value(QStringLiteral("info")).toString() == info)
            return *it;
    }
    return QJsonObject();
}
