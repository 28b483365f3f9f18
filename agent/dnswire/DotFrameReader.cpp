#include "dnswire/DotFrameReader.h"

QList<QByteArray> DotFrameReader::append(const QByteArray& bytes)
{
    QList<QByteArray> messages;
    if (offset == buffer.size()) {
        buffer = bytes;
        offset = 0;
    } else {
        buffer.append(bytes);
    }
    for (;;) {
        const int available = buffer.size() - offset;
        if (available < 2)
            break;
        const auto* data = reinterpret_cast<const uchar*>(buffer.constData()) + offset;
        const int length = (data[0] << 8) | data[1];
        if (available - 2 < length)
            break;
        messages.append(buffer.mid(offset + 2, length));
        offset += 2 + length;
    }
    if (offset == buffer.size()) {
        buffer.clear();
        offset = 0;
    } else if (offset > 0 && offset >= buffer.size() / 2) {
        // Keep what is left at the front so that the buffer never grows
        // beyond one partial frame and one read.
        buffer.remove(0, offset);
        offset = 0;
    }
    return messages;
}

void DotFrameReader::clear()
{
    buffer.clear();
    offset = 0;
}

QByteArray DotFrameReader::frame(const QByteArray& message)
{
    if (message.size() > 0xFFFF)
        return QByteArray();
    QByteArray framed;
    framed.reserve(message.size() + 2);
    framed.append(static_cast<char>((message.size() >> 8) & 0xFF));
    framed.append(static_cast<char>(message.size() & 0xFF));
    framed.append(message);
    return framed;
}
