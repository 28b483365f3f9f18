#include "LogHex.h"

QDebug operator<<(QDebug debug, const LogHex& hex)
{
    static const char digits[] = "0123456789abcdef";
    const int size = hex.bytes.size();
    QString text(2 * size + 2, Qt::Uninitialized);
    QChar* out = text.data();
    *out++ = QLatin1Char('"');
    for (int i = 0; i < size; ++i) {
        const auto byte = static_cast<unsigned char>(hex.bytes.at(i));
        *out++ = QLatin1Char(digits[byte >> 4]);
        *out++ = QLatin1Char(digits[byte & 0x0f]);
    }
    *out = QLatin1Char('"');
    QDebugStateSaver saver(debug);
    debug.noquote() << text;
    return debug;
}
