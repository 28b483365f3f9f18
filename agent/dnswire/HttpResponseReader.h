#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Cuts an HTTP/1.1 byte stream into responses: by Content-Length, by the
// chunked transfer coding, or (neither given) by the end of the connection.
// Responses split over several reads and several responses in one read all
// come out whole. Anything that does not read as HTTP stops the reader with
// an error, because the stream cannot be trusted after it.
class HttpResponseReader
{
public:
    // Limits of what a DNS-over-HTTPS peer may send.
    static constexpr int maxHeaderBytes = 16384;
    static constexpr int maxBodyBytes = 65535;

    struct Response
    {
        int status = 0;
        // Header lines without the status line, as sent.
        QList<QByteArray> headerLines;
        // Content-Encoding, lower case; empty when none was given.
        QByteArray contentEncoding;
        QByteArray body;
    };

    // Adds bytes from the connection.
    void append(const QByteArray& bytes);
    // Takes the next whole response; false when none is whole yet or the
    // stream is broken (see hasError()).
    bool next(Response& response);
    // The peer closed the connection: a response delimited by the close is
    // now whole and is returned; false otherwise.
    bool finish(Response& response);
    bool hasError() const { return !error.isEmpty(); }
    QString errorString() const { return error; }
    // Starts over for a new connection.
    void clear();

    // Decodes a body sent with Content-Encoding gzip or deflate (zlib or raw
    // deflate); "identity" and no coding give the body back. False when the
    // coding is unknown, the data is corrupt or it inflates beyond maxBodyBytes.
    static bool decodeBody(const QByteArray& coding, const QByteArray& body, QByteArray& decoded);

private:
    enum class Stage
    {
        Head,
        Body,
        ChunkSize,
        ChunkData,
        ChunkDataEnd,
        Trailer,
        UntilClose
    };

    bool fail(const QString& reason);
    bool parseHead(const QByteArray& head);
    void finishResponse(Response& response);
    // Where `terminator` (`length` bytes) begins behind `offset`; -1 when it
    // has not arrived yet.
    int findEnd(const char* terminator, int length);
    // The next CR LF terminated line starting at `offset`; false when not whole.
    bool takeLine(QByteArray& line, int limit);

    QByteArray buffer;
    int offset = 0;
    // Bytes behind `offset` already searched for the end of the head or line
    // without finding it: a head that arrives in many small reads is searched
    // once, not again from its start at every read.
    int searched = 0;
    Stage stage = Stage::Head;
    Response current;
    qint64 remaining = 0;
    int trailerBytes = 0;
    QString error;
};
