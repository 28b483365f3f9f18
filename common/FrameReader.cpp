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

QVector<QString> FrameReader::feed(const QByteArray& bytes)
{
    QVector<QString> messages;
    if (failure != NoError)
        return messages;
    buffer.append(bytes);
    for (;;) {
        const qsizetype available = buffer.size() - offset;
        if (available < 2)
            break;
        const quint16 length = qFromBigEndian<quint16>(buffer.constData() + offset);
        if (length > maxBody) {
            failure = FrameTooLarge;
            break;
        }
        if (available - 2 < length)
            break;
        QString text;
        if (!ControlFrame::decodeBody(buffer.mid(offset + 2, length), text) || !validUtf16(text)) {
            failure = MalformedBody;
            break;
        }
        messages.append(text);
        offset += 2 + length;
    }
    if (failure != NoError) {
        clear();
        return messages;
    }
    // Compact once the consumed prefix dominates, so a long-lived connection
    // does not keep every byte it ever received.
    if (offset > 0 && offset * 2 >= buffer.size()) {
        buffer.remove(0, static_cast<int>(offset));
        offset = 0;
    }
    return messages;
}

void FrameReader::clear()
{
    buffer.clear();
    offset = 0;
}
