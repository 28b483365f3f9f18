#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// Incremental reader of control frames: takes the bytes of a stream in any
// split and hands back every whole message, keeping an incomplete tail for the
// next call. A frame whose body is not one valid serialised string is dropped
// and counted; the stream stays in step because the length field is trusted
// only for skipping.
class FrameReader
{
public:
    // Appends `bytes` and returns the texts of every frame completed by them.
    QVector<QString> feed(const QByteArray& bytes);
    // Number of frames dropped because their body was malformed.
    int droppedFrames() const { return dropped; }
    // Bytes held for a frame that is not complete yet.
    int pendingBytes() const { return static_cast<int>(buffer.size() - offset); }
    void clear();

private:
    QByteArray buffer;
    qsizetype offset = 0;
    int dropped = 0;
};
