#include "dnswire/DnsMessage.h"

#include <QList>
#include <QVarLengthArray>

#include <cstring>
#include <utility>

namespace {

constexpr int maxLabel = 63;
constexpr int maxName = 255;

const char hexDigits[] = "0123456789abcdef";

bool plainAscii(const char* text, qint64 size)
{
    for (qint64 i = 0; i < size; ++i) {
        if (static_cast<uchar>(text[i]) >= 0x80)
            return false;
    }
    return true;
}

} // namespace

QString DnsMessage::idText(quint16 id)
{
    const QChar text[4] = {QLatin1Char(hexDigits[(id >> 12) & 0xF]), QLatin1Char(hexDigits[(id >> 8) & 0xF]),
                           QLatin1Char(hexDigits[(id >> 4) & 0xF]), QLatin1Char(hexDigits[id & 0xF])};
    return QString(text, 4);
}

quint16 DnsMessage::id(const QByteArray& message)
{
    if (message.size() < 2)
        return 0;
    const auto* bytes = reinterpret_cast<const uchar*>(message.constData());
    return static_cast<quint16>((bytes[0] << 8) | bytes[1]);
}

bool DnsMessage::setId(QByteArray& message, quint16 id)
{
    if (message.size() < 2)
        return false;
    message[0] = static_cast<char>(id >> 8);
    message[1] = static_cast<char>(id & 0xFF);
    return true;
}

quint16 DnsMessage::additionalCount(const QByteArray& message)
{
    if (message.size() < headerSize)
        return 0;
    const auto* bytes = reinterpret_cast<const uchar*>(message.constData());
    return static_cast<quint16>((bytes[10] << 8) | bytes[11]);
}

quint16 DnsMessage::questionCount(const QByteArray& message)
{
    if (message.size() < headerSize)
        return 0;
    const auto* bytes = reinterpret_cast<const uchar*>(message.constData());
    return static_cast<quint16>((bytes[4] << 8) | bytes[5]);
}

bool DnsMessage::isResponse(const QByteArray& message)
{
    return message.size() >= headerSize && (static_cast<uchar>(message.at(2)) & 0x80) != 0;
}

QByteArray DnsMessage::serverFailure(const QByteArray& query)
{
    const int end = questionEnd(query);
    if (end < 0)
        return QByteArray();
    QByteArray answer(query.constData(), end);
    char* header = answer.data();
    // QR, the query's opcode and RD; then RA and the rcode.
    header[2] = static_cast<char>(0x80 | (header[2] & 0x79));
    header[3] = static_cast<char>(0x80 | rcodeServerFailure);
    // One question; no answer, authority or additional records.
    header[4] = 0;
    header[5] = 1;
    for (int i = 6; i < headerSize; ++i)
        header[i] = 0;
    return answer;
}

QByteArray DnsMessage::query(quint16 id, const QString& name, quint16 type)
{
    QByteArray message;
    message.reserve(headerSize + 260);
    const char header[headerSize] = {
        static_cast<char>(id >> 8), static_cast<char>(id & 0xFF), 0x01, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    message.append(header, headerSize);
    const QByteArray ascii = name.toLatin1();
    const QList<QByteArray> labels = ascii.split('.');
    int nameSize = 1;
    for (const QByteArray& label : labels) {
        if (label.isEmpty() && &label == &labels.last() && labels.size() > 1)
            break; // the root's dot at the end
        if (label.isEmpty() || label.size() > 63)
            return QByteArray();
        nameSize += 1 + label.size();
        message.append(static_cast<char>(label.size()));
        message.append(label);
    }
    if (nameSize > 255)
        return QByteArray();
    const char tail[5] = {0, static_cast<char>(type >> 8), static_cast<char>(type & 0xFF), 0, 1};
    message.append(tail, 5);
    return message;
}

int DnsMessage::questionEnd(const QByteArray& message)
{
    const int n = message.size();
    if (n < headerSize || questionCount(message) == 0)
        return -1;
    const auto* bytes = reinterpret_cast<const uchar*>(message.constData());
    int p = headerSize;
    int nameLength = 0;
    for (;;) {
        if (p >= n)
            return -1;
        const int length = bytes[p];
        if (length > maxLabel)
            return -1;
        nameLength += length + 1;
        if (nameLength > maxName)
            return -1;
        p += length + 1;
        if (length == 0)
            break;
    }
    // QTYPE and QCLASS.
    return p + 4 <= n ? p + 4 : -1;
}

DnsRequest DnsMessage::parse(const QByteArray& message, bool* wellFormed)
{
    return parse(message, wellFormed, true);
}

DnsRequest DnsMessage::parseNumbers(const QByteArray& message, bool* wellFormed)
{
    return parse(message, wellFormed, false);
}

void DnsMessage::fillTexts(const QByteArray& message, DnsRequest& request)
{
    DnsRequest full = parse(message, nullptr, true);
    request.id = std::move(full.id);
    request.domain = std::move(full.domain);
    request.answerIp = std::move(full.answerIp);
}

DnsRequest DnsMessage::parse(const QByteArray& message, bool* wellFormed, bool withTexts)
{
    DnsRequest request;
    const qint64 n = message.size();
    if (n == 0) {
        if (wellFormed)
            *wellFormed = false;
        return request;
    }
    const auto* bytes = reinterpret_cast<const uchar*>(message.constData());
    // Every read goes through here: a byte past the end reads as absent (0).
    const auto byteAt = [bytes, n](qint64 index) -> uint {
        return index >= 0 && index < n ? bytes[index] : 0u;
    };

    bool ok = n >= headerSize;
    if (withTexts)
        request.id = idText(static_cast<quint16>((byteAt(0) << 8) | byteAt(1)));
    request.countRequest = static_cast<quint16>((byteAt(4) << 8) | byteAt(5));
    if (request.countRequest == 0)
        ok = false;

    // Name walk: the question name is expected uncompressed; a length byte
    // above 63 (a compression pointer among them) marks the message as
    // malformed but the walk still stays inside the message.
    qint64 p = 13;
    // The name's bytes while they are plain ASCII (the usual case): one
    // string made at the end. From the first other byte on, each label is
    // decoded as UTF-8 on its own into `name`.
    QVarLengthArray<char, 256> ascii;
    bool isAscii = true;
    QString name;
    qint64 nameLength = 0;
    const uint first = byteAt(12);
    if (n <= 12)
        ok = false;
    if (first != 0 && n >= 14) {
        qint64 length = first;
        for (;;) {
            if (length > maxLabel)
                ok = false;
            const qint64 available = qMin(length, n - p);
            if (available < length)
                ok = false;
            if (withTexts && available > 0) {
                const char* label = message.constData() + p;
                const void* zero = std::memchr(label, 0, static_cast<size_t>(available));
                const qint64 textLength = zero ? static_cast<const char*>(zero) - label : available;
                if (isAscii && !plainAscii(label, textLength)) {
                    name = QString::fromLatin1(ascii.constData(), ascii.size());
                    isAscii = false;
                }
                if (isAscii)
                    ascii.append(label, static_cast<int>(textLength));
                else if (textLength > 0)
                    name += QString::fromUtf8(label, static_cast<int>(textLength));
            }
            nameLength += length + 1;
            const qint64 next = p + length;
            if (next >= n) {
                // The next length byte would lie outside the message.
                ok = false;
                p = n;
                break;
            }
            length = bytes[next];
            p = next + 1;
            if (length == 0)
                break;
            if (withTexts && isAscii)
                ascii.append('.');
            else if (withTexts)
                name += QLatin1Char('.');
            if (p >= n) {
                ok = false;
                break;
            }
        }
    }
    if (nameLength + 1 > maxName)
        ok = false;
    if (withTexts && isAscii) {
        for (char& c : ascii)
            c = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
        request.domain = QString::fromLatin1(ascii.constData(), ascii.size());
    } else if (withTexts) {
        request.domain = name.toLower();
    }
    request.type = static_cast<quint16>((byteAt(p) << 8) | byteAt(p + 1));
    // QTYPE and QCLASS must both be there.
    if (p + 4 > n)
        ok = false;
    if (withTexts && request.type == typeA && n >= 4) {
        // Dotted decimal of the last four bytes.
        char text[16];
        int length = 0;
        for (qint64 i = n - 4; i < n; ++i) {
            const uint byte = bytes[i];
            if (byte >= 100)
                text[length++] = char('0' + byte / 100);
            if (byte >= 10)
                text[length++] = char('0' + byte / 10 % 10);
            text[length++] = char('0' + byte % 10);
            text[length++] = '.';
        }
        request.answerIp = QString::fromLatin1(text, length - 1);
    }
    if (wellFormed)
        *wellFormed = ok;
    return request;
}

bool DnsMessage::mark(QByteArray& message, qint32 token)
{
    if (message.size() < headerSize)
        return false;
    const quint16 count = additionalCount(message);
    if (count == 0xFFFF)
        return false;
    if (message.size() > maxMessageSize - identityRecordSize)
        return false;
    const quint16 raised = static_cast<quint16>(count + 1);
    message[10] = static_cast<char>(raised >> 8);
    message[11] = static_cast<char>(raised & 0xFF);
    const quint32 value = static_cast<quint32>(token);
    const char record[identityRecordSize] = {0x00,
                                             static_cast<char>(0xFF),
                                             static_cast<char>(0xED),
                                             0x00,
                                             0x01,
                                             0x00,
                                             0x00,
                                             0x00,
                                             0x00,
                                             0x00,
                                             0x04,
                                             static_cast<char>((value >> 24) & 0xFF),
                                             static_cast<char>((value >> 16) & 0xFF),
                                             static_cast<char>((value >> 8) & 0xFF),
                                             static_cast<char>(value & 0xFF)};
    message.append(record, identityRecordSize);
    return true;
}
