#pragma once

#include <QByteArray>
#include <QList>

// Cuts a DNS-over-TCP/TLS byte stream into messages by their two-byte
// big-endian length prefix: an answer split over several reads comes out
// once it is whole, several answers in one read come out one by one.
class DotFrameReader
{
public:
    // Adds what the connection delivered and returns every message now whole
    // (without its prefix), in stream order. Zero-length frames come out as
    // empty messages so that the caller can log them.
    QList<QByteArray> append(const QByteArray& bytes);
    // Bytes held for a message not yet whole.
    int buffered() const { return static_cast<int>(buffer.size() - offset); }
    // Forgets a partial message (the connection is gone).
    void clear();

    // The frame for one message: its length, then the message, in one buffer
    // so that it leaves in one write. Empty when the message is too large.
    static QByteArray frame(const QByteArray& message);

private:
    QByteArray buffer;
    int offset = 0;
};
