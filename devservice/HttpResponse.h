#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>

// An HTTP answer, or one of the misbehaviours a fault rule asks the server for.
struct HttpResponse
{
    enum class Misbehaviour
    {
        None,
        Hang,  // never answer; the connection stays open until the client gives up
        Close, // close the connection without answering
    };

    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    int delayMs = 0;
    Misbehaviour misbehaviour = Misbehaviour::None;
    bool closeAfter = false;

    static HttpResponse json(int status, const QJsonObject& object);
    static HttpResponse jsonValue(int status, const QByteArray& compactJson);
    static HttpResponse detail(int status, const QString& text);
    static HttpResponse raw(int status, const QByteArray& contentType, const QByteArray& body);
    static QByteArray reasonPhrase(int status);

    void setHeader(const QByteArray& name, const QByteArray& value);
    QByteArray serialise(bool keepAlive, bool headRequest = false) const;
};
