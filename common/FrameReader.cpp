#include "common/FrameReader.h"

#include "common/ControlFrame.h"

#include <QtEndian>

namespace {

// Unpaired surrogates would turn into replacement characters on the way to
// UTF-8 and hide what was sent; a peer that sends them is not speaking the
// protocol.
bool validUtf16(const QString& text)
{
    const int size = static_cast<int>(text.size());
    for (int i = 0; i < size; ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate()) {
            if (i + 1 >= size || !text.at(i + 1).isLowSurrogate())
                return false;
            ++i;
        } else if (c.isLowSurrogate()) {
            return false;
        }
    }
    return true;
}

} // namespace

void FrameReader::append(const QByteArray& bytes)
{
    if (failure != NoError)
        return;
    compact();
    buffer.append(bytes);
}

bool FrameReader::next(Frame& frame)
{
    frame = Frame();
    if (failure != NoError)
        return false;
    const qsizetype available = buffer.size() - offset;
    if (available < 2)
        return false;
    const quint16 length = qFromBigEndian<quint16>(buffer.constData() + offset);
    frame.bodyBytes = length;
    if (length > maxBody) {
        frame.error = failure = FrameTooLarge;
        ++dropped;
        clear();
        return true;
    }
    if (available - 2 < length)
        return false;
    const QByteArray body = buffer.mid(offset + 2, length);
    offset += 2 + length;
    if (!ControlFrame::decodeBody(body, frame.text) || !validUtf16(frame.text)) {
        frame.text.clear();
        frame.error = MalformedBody;
        ++dropped;
        if (onBad == OnBadFrame::EndStream) {
            failure = MalformedBody;
            clear();
        }
    }
    return true;
}

QVector<QString> FrameReader::feed(const QByteArray& bytes)
{
    QVector<QString> messages;
    append(bytes);
    Frame frame;
    while (next(frame)) {
        if (frame.error == NoError)
            messages.append(frame.text);
    }
    compact();
    return messages;
}

void FrameReader::compact()
{
    // Once the consumed prefix dominates, so a long-lived connection does not
    // keep every byte it ever received.
    if (offset > 0 && offset * 2 >= buffer.size()) {
        buffer.remove(0, static_cast<int>(offset));
        offset = 0;
    }
}

void FrameReader::clear()
{
    buffer.clear();
    offset = 0;
}

void FrameReader::reset()
{
    clear();
    failure = NoError;
    dropped = 0;
}
