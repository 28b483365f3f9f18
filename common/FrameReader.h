#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// Incremental reader of control frames: takes the bytes of a stream in any
// split and hands back every whole message, keeping an incomplete tail for the
// next call. A frame whose body is not exactly one serialised string of valid
// UTF-16 is malformed. What a malformed frame does depends on who reads:
// - EndStream (the default, the agent's side): it ends the stream. The length
//   field of a peer that sent one bad frame cannot be trusted to find the next
//   one, so nothing after it is read (no resynchronisation on garbage).
// - SkipFrame (the tray program's side, whose only peer is the agent): it is
//   dropped and reading goes on after it, its length field taken as given.
// A length that passes the reader's limit ends the stream either way.
class FrameReader
{
public:
    enum Error
    {
        NoError,
        MalformedBody, // not one serialised string, or not valid UTF-16
        FrameTooLarge, // the length field passes maxFrameBytes()
    };
    enum class OnBadFrame
    {
        EndStream,
        SkipFrame,
    };

    // One whole frame taken from the stream: its text, or what was wrong with it.
    struct Frame
    {
        Error error = NoError;
        QString text;
        int bodyBytes = 0; // the length field: the bytes after it
    };

    void setOnBadFrame(OnBadFrame policy) { onBad = policy; }
    // Appends bytes of the stream (ignored once it has ended).
    void append(const QByteArray& bytes);
    // Takes the next whole frame out of the buffer; false when no frame is
    // complete yet or the stream has ended. A bad frame comes back with its
    // error set (and no text); under EndStream it is the last one.
    bool next(Frame& frame);
    // Appends `bytes` and returns the texts of every good frame completed by
    // them; under EndStream only those before the first bad frame, and after
    // one, nothing more.
    QVector<QString> feed(const QByteArray& bytes);
    // Set once a bad frame ended the stream.
    Error error() const { return failure; }
    bool hasError() const { return failure != NoError; }
    // Bad frames met so far (under EndStream at most 1).
    int droppedFrames() const { return dropped; }
    // Bytes held for a frame that is not complete yet.
    int pendingBytes() const { return static_cast<int>(buffer.size() - offset); }
    // Largest body (the bytes after the length field) accepted; the 16-bit
    // length field's own maximum unless set lower.
    void setMaxFrameBytes(int bytes) { maxBody = bytes; }
    int maxFrameBytes() const { return maxBody; }
    // Forgets what is buffered (not the error).
    void clear();
    // Forgets what is buffered, the error and the count: a new stream (a new
    // connection) starts.
    void reset();

private:
    void compact();

    QByteArray buffer;
    qsizetype offset = 0;
    int maxBody = 0xFFFF;
    OnBadFrame onBad = OnBadFrame::EndStream;
    Error failure = NoError;
    int dropped = 0;
};
