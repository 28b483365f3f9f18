#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// Incremental reader of control frames: takes the bytes of a stream in any
// split and hands back every whole message, keeping an incomplete tail for the
// next call. A frame whose body is not exactly one serialised string of valid
// UTF-16, or whose length passes the reader's limit, ends the stream: the
// length field of a peer that sent one bad frame cannot be trusted to find the
// next one, so nothing after it is read (no resynchronisation on garbage).
class FrameReader
{
public:
    enum Error
    {
        NoError,
        MalformedBody, // not one serialised string, or not valid UTF-16
        FrameTooLarge, // the length field passes maxFrameBytes()
    };

    // Appends `bytes` and returns the texts of every frame completed by them,
    // up to the first bad frame; after one, nothing more is returned.
    QVector<QString> feed(const QByteArray& bytes);
    Error error() const { return failure; }
    bool hasError() const { return failure != NoError; }
    // 1 once a bad frame ended the stream, else 0.
    int droppedFrames() const { return failure == NoError ? 0 : 1; }
    // Bytes held for a frame that is not complete yet.
    int pendingBytes() const { return static_cast<int>(buffer.size() - offset); }
    // Largest body (the bytes after the length field) accepted; the 16-bit
    // length field's own maximum unless set lower.
    void setMaxFrameBytes(int bytes) { maxBody = bytes; }
    int maxFrameBytes() const { return maxBody; }
    // Forgets what is buffered (not the error).
    void clear();

private:
    QByteArray buffer;
    qsizetype offset = 0;
    int maxBody = 0xFFFF;
    Error failure = NoError;
};
