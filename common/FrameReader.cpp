#include "FrameReader.h"

#include "ControlFrame.h"

#include <QtEndian>

QVector<QString> FrameReader::feed(const QByteArray& bytes)
{
    QVector<QString> messages;
    buffer.append(bytes);
    for (;;) {
        const qsizetype available = buffer.size() - offset;
        if (available < 2)
            break;
        const quint16 length = qFromBigEndian<quint16>(buffer.constData() + offset);
        if (available - 2 < length)
            break;
        QString text;
        if (ControlFrame::decodeBody(buffer.mid(offset + 2, length), text))
            messages.append(text);
        else
            ++dropped;
        offset += 2 + length;
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
