#pragma once

#include "devservice/HttpRequest.h"

#include <QByteArray>
#include <QString>

// Incremental HTTP/1.1 request parser for one connection. Bytes are fed as they
// arrive; complete requests are taken out one at a time, so pipelined and
// keep-alive requests work. Bodies need a Content-Length; chunked bodies,
// oversized header blocks and bodies are refused with the status to send.
class HttpParser
{
public:
    enum class State
    {
        NeedMore,
        Ready,
        Bad,
    };

    static constexpr int maxHeaderBytes = 32 * 1024;
    static constexpr int maxBodyBytes = 1024 * 1024;

    void feed(const QByteArray& bytes) { m_buffer.append(bytes); }
    // Ready: request holds the next request. Bad: errorStatus and error tell why;
    // the connection cannot be resynchronised and must be closed after answering.
    State next(HttpRequest& request);
    int errorStatus() const { return m_errorStatus; }
    QString error() const { return m_error; }
    int buffered() const { return m_buffer.size(); }

private:
    State fail(int status, const QString& error);

    QByteArray m_buffer;
    int m_errorStatus = 400;
    QString m_error;
};
