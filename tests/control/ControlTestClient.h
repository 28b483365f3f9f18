#pragma once

#include "common/ControlFrame.h"
#include "common/FrameReader.h"

#include <QHostAddress>
#include <QJsonObject>
#include <QObject>
#include <QStringList>
#include <QTcpSocket>

// A control-channel client for tests: sends envelopes or raw bytes and keeps
// every message it receives, both as text and parsed. Messages named in
// `unsolicited` (status the agent sends whenever it changes) are kept apart
// in `asides`, so they cannot be taken for the reply to a request.
class ControlTestClient : public QObject
{
public:
    ControlTestClient()
    {
        connect(&socket, &QTcpSocket::readyRead, this, [this] {
            const QVector<QString> received = reader.feed(socket.readAll());
            for (const QString& text : received) {
                texts.append(text);
                const QJsonObject message = ControlFrame::parse(text);
                if (unsolicited.contains(message.value(QStringLiteral("info")).toString()))
                    asides.append(message);
                else
                    messages.append(message);
            }
        });
    }

    bool connectTo(quint16 port, const QHostAddress& address = QHostAddress::LocalHost)
    {
        socket.connectToHost(address, port);
        return socket.waitForConnected(5000);
    }
    void send(const QJsonObject& envelope) { sendRaw(ControlFrame::encode(envelope)); }
    void send(const QString& info) { send(ControlFrame::envelope(info)); }
    void send(const QString& info, const QJsonObject& data) { send(ControlFrame::envelope(info, data)); }
    void sendRaw(const QByteArray& bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
    QStringList infos() const
    {
        QStringList names;
        for (const QJsonObject& message : messages)
            names.append(message.value(QStringLiteral("info")).toString());
        return names;
    }

    QTcpSocket socket;
    FrameReader reader;
    QStringList texts;
    QList<QJsonObject> messages;
    QStringList unsolicited;
    QList<QJsonObject> asides;
};
