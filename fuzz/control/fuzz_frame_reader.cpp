// libFuzzer target for the control channel's incremental frame reader and
// the envelope parser behind it. The first input byte picks how the stream is
// cut into reads; whatever the cut, the reader must hand back the same texts
// (under either policy for bad frames), and each text must parse without a
// read outside it.
#include "common/ControlFrame.h"
#include "common/FrameReader.h"
#include "fuzz/FuzzSupport.h"

#include <QJsonObject>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition)
{
    if (!condition)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    quietQtLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const int step = (data[0] % 31) + 1;
    const QByteArray stream(reinterpret_cast<const char*>(data) + 1, static_cast<int>(size - 1));

    FrameReader whole;
    const QVector<QString> expected = whole.feed(stream);

    FrameReader pieces;
    QVector<QString> got;
    for (int offset = 0; offset < stream.size(); offset += step)
        got += pieces.feed(streamPiece(stream, offset, step));
    check(got == expected);
    check(pieces.droppedFrames() == whole.droppedFrames());
    check(pieces.pendingBytes() == whole.pendingBytes());
    check(whole.pendingBytes() >= 0 && whole.pendingBytes() <= stream.size());

    // The tray program's reader skips bad frames: the cut changes nothing
    // there either, and up to the first bad frame it reads what the agent's
    // reader reads.
    FrameReader skipWhole;
    skipWhole.setOnBadFrame(FrameReader::OnBadFrame::SkipFrame);
    const QVector<QString> skipped = skipWhole.feed(stream);
    FrameReader skipPieces;
    skipPieces.setOnBadFrame(FrameReader::OnBadFrame::SkipFrame);
    QVector<QString> skippedInPieces;
    for (int offset = 0; offset < stream.size(); offset += step)
        skippedInPieces += skipPieces.feed(streamPiece(stream, offset, step));
    check(skippedInPieces == skipped);
    check(skipPieces.droppedFrames() == skipWhole.droppedFrames());
    check(skipPieces.pendingBytes() == skipWhole.pendingBytes());
    check(skipped.mid(0, expected.size()) == expected);
    check(skipped.size() >= expected.size());

    for (const QString& text : expected) {
        const QJsonObject envelope = ControlFrame::parse(text);
        // What parses must come back as one frame that parses again. (The text
        // may change once: noncharacters such as U+FFFF become U+FFFD on the
        // way through UTF-8, so only stability after one trip is required.)
        if (!envelope.isEmpty()) {
            const QByteArray frame = ControlFrame::encode(envelope);
            FrameReader again;
            const QVector<QString> back = again.feed(frame);
            if (!frame.isEmpty()) {
                check(back.size() == 1 && again.droppedFrames() == 0);
                const QJsonObject once = ControlFrame::parse(back.first());
                check(!once.isEmpty());
                check(ControlFrame::encode(ControlFrame::parse(ControlFrame::toText(once))) ==
                      ControlFrame::encode(once));
            }
        }
    }
    // The body decoder on its own, with the raw bytes as a body.
    QString text;
    ControlFrame::decodeBody(stream, text);
    return 0;
}
