#include "logging/LogHex.h"

int LogHex::secretStart(const QByteArray& bytes)
{
    // Root name, type 65517, any class and TTL, data length 4, the token.
    constexpr int recordSize = 15;
    constexpr int headerSize = 12;
    const int size = bytes.size();
    if (size < headerSize + recordSize)
        return -1;
    const char* record = bytes.constData() + size - recordSize;
    if (record[0] != 0 || static_cast<uchar>(record[1]) != 0xFF || static_cast<uchar>(record[2]) != 0xED ||
        record[9] != 0 || record[10] != secretBytes)
        return -1;
    return size - secretBytes;
}

QDebug operator<<(QDebug debug, const LogHex& hex)
{
    static const char digits[] = "0123456789abcdef";
    const int size = hex.bytes.size();
    QString text(2 * size + 2, Qt::Uninitialized);
    QChar* out = text.data();
    *out++ = QLatin1Char('"');
    for (int i = 0; i < size; ++i) {
        const auto byte = static_cast<unsigned char>(hex.bytes.at(i));
        const bool hidden = hex.secretFrom >= 0 && i >= hex.secretFrom;
        *out++ = QLatin1Char(hidden ? '*' : digits[byte >> 4]);
        *out++ = QLatin1Char(hidden ? '*' : digits[byte & 0x0f]);
    }
    *out = QLatin1Char('"');
    QDebugStateSaver saver(debug);
    debug.noquote() << text;
    return debug;
}
