#include "common/ListenerOwner.h"

#include <QFile>
#include <QList>

#include <cstring>

namespace {

bool hexValue(char c, quint32& value)
{
    if (c >= '0' && c <= '9')
        value = static_cast<quint32>(c - '0');
    else if (c >= 'A' && c <= 'F')
        value = static_cast<quint32>(c - 'A' + 10);
    else if (c >= 'a' && c <= 'f')
        value = static_cast<quint32>(c - 'a' + 10);
    else
        return false;
    return true;
}

// Exactly `digits` hexadecimal digits, nothing else.
bool parseHex(const QByteArray& text, int digits, quint32& value)
{
    if (text.size() != digits || digits > 8)
        return false;
    value = 0;
    for (const char c : text) {
        quint32 digit = 0;
        if (!hexValue(c, digit))
            return false;
        value = (value << 4) | digit;
    }
    return true;
}

// Decimal digits only, no sign, within `limit`.
bool parseDecimal(const QByteArray& text, quint64 limit, quint64& value)
{
    if (text.isEmpty() || text.size() > 20)
        return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        const quint64 digit = static_cast<quint64>(c - '0');
        if (value > (limit - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    return true;
}

// The kernel prints each 32-bit word of the address as the hexadecimal value
// of the word as it lies in memory (network byte order read as a native
// integer): laying the value back into memory gives the address bytes.
bool parseAddress(const QByteArray& text, bool v6, QHostAddress& address)
{
    const int words = v6 ? 4 : 1;
    if (text.size() != words * 8)
        return false;
    quint8 bytes[16] = {};
    for (int i = 0; i < words; ++i) {
        quint32 word = 0;
        if (!parseHex(text.mid(i * 8, 8), 8, word))
            return false;
        std::memcpy(bytes + i * 4, &word, 4);
    }
    if (!v6) {
        const quint32 ipv4 = (quint32(bytes[0]) << 24) | (quint32(bytes[1]) << 16) |
                             (quint32(bytes[2]) << 8) | quint32(bytes[3]);
        address = QHostAddress(ipv4);
    } else {
        address = QHostAddress(bytes);
    }
    return true;
}

bool parseEndpoint(const QByteArray& text, bool v6, QHostAddress& address, quint16& port)
{
    const int colon = text.indexOf(':');
    if (colon < 0 || text.indexOf(':', colon + 1) >= 0)
        return false;
    quint32 value = 0;
    if (!parseAddress(text.left(colon), v6, address) || !parseHex(text.mid(colon + 1), 4, value))
        return false;
    port = static_cast<quint16>(value);
    return true;
}

// "HHHHHHHH:HHHHHHHH" (queues) or "HH:HHHHHHHH" (timer): hexadecimal pairs.
bool isHexPair(const QByteArray& text, int left, int right)
{
    const QList<QByteArray> parts = text.split(':');
    quint32 unused = 0;
    return parts.size() == 2 && parseHex(parts.at(0), left, unused) && parseHex(parts.at(1), right, unused);
}

} // namespace

bool ListenerOwner::parseProcNetLine(const QByteArray& line, bool v6, Socket& socket)
{
    if (line.size() > maxLineLength)
        return false;
    for (const char c : line) {
        // Printable ASCII and blanks only: the kernel writes nothing else.
        if ((c < 0x20 || c > 0x7E) && c != ' ' && c != '\t')
            return false;
    }
    const QList<QByteArray> fields = line.simplified().split(' ');
    // sl local remote st tx:rx tr:when retrnsmt uid timeout inode [more]
    if (fields.size() < 10)
        return false;
    const QByteArray& slot = fields.at(0);
    quint64 unused = 0;
    if (!slot.endsWith(':') || !parseDecimal(slot.left(slot.size() - 1), 0xFFFFFFFFu, unused))
        return false;
    Socket parsed;
    QHostAddress remote;
    quint16 remotePort = 0;
    if (!parseEndpoint(fields.at(1), v6, parsed.address, parsed.port) ||
        !parseEndpoint(fields.at(2), v6, remote, remotePort))
        return false;
    quint32 state = 0;
    if (!parseHex(fields.at(3), 2, state))
        return false;
    parsed.state = static_cast<quint8>(state);
    if (!isHexPair(fields.at(4), 8, 8) || !isHexPair(fields.at(5), 2, 8))
        return false;
    quint32 retransmits = 0;
    if (!parseHex(fields.at(6), 8, retransmits))
        return false;
    quint64 uid = 0;
    if (!parseDecimal(fields.at(7), 0xFFFFFFFFu, uid) || !parseDecimal(fields.at(8), ~quint64(0), unused) ||
        !parseDecimal(fields.at(9), ~quint64(0), parsed.inode))
        return false;
    parsed.uid = static_cast<quint32>(uid);
    socket = parsed;
    return true;
}

bool ListenerOwner::parseProcNetTable(const QByteArray& contents, bool v6, QVector<Socket>& sockets,
                                      int& badLine)
{
    sockets.clear();
    badLine = 0;
    if (contents.size() > maxTableBytes) {
        badLine = -1;
        return false;
    }
    // A table ends with its line end; without one the read was cut short.
    if (!contents.isEmpty() && !contents.endsWith('\n')) {
        badLine = static_cast<int>(contents.count('\n')) + 1;
        return false;
    }
    const QList<QByteArray> lines = contents.split('\n');
    // The last element is what follows the final line end: nothing.
    const int count = static_cast<int>(lines.size()) - 1;
    for (int i = 0; i < count; ++i) {
        const QByteArray& line = lines.at(i);
        if (i == 0) {
            if (!line.trimmed().startsWith("sl ") || line.size() > maxLineLength) {
                badLine = 1;
                return false;
            }
            continue;
        }
        Socket socket;
        if (!parseProcNetLine(line, v6, socket)) {
            badLine = i + 1;
            return false;
        }
        sockets.append(socket);
    }
    return true;
}

bool ListenerOwner::reaches(const QHostAddress& listening, const QHostAddress& target)
{
    if (listening.isEqual(target, QHostAddress::StrictConversion))
        return true;
    const bool targetV4 = target.protocol() == QAbstractSocket::IPv4Protocol;
    if (listening.protocol() == QAbstractSocket::IPv4Protocol)
        return targetV4 && listening.toIPv4Address() == 0;
    // An IPv6 socket on "::" takes IPv4 connections too unless it is IPv6
    // only, which the table does not show: counted as taking them.
    Q_IPV6ADDR bytes = listening.toIPv6Address();
    bool wildcard = true;
    for (const quint8 byte : bytes.c)
        wildcard = wildcard && byte == 0;
    if (wildcard)
        return true;
    if (!targetV4)
        return false;
    // ::ffff:a.b.c.d
    bool mappedPrefix = true;
    for (int i = 0; i < 10; ++i)
        mappedPrefix = mappedPrefix && bytes.c[i] == 0;
    if (!mappedPrefix || bytes.c[10] != 0xFF || bytes.c[11] != 0xFF)
        return false;
    const quint32 mapped = (quint32(bytes.c[12]) << 24) | (quint32(bytes.c[13]) << 16) |
                           (quint32(bytes.c[14]) << 8) | quint32(bytes.c[15]);
    return mapped == target.toIPv4Address() || mapped == 0;
}

bool ListenerOwner::readTable(const QString& path, QByteArray& contents, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    // /proc files report no size: read until the end, up to the bound.
    contents.clear();
    for (;;) {
        const QByteArray chunk = file.read(64 * 1024);
        if (chunk.isEmpty())
            break;
        contents.append(chunk);
        if (contents.size() > maxTableBytes) {
            error = QStringLiteral("%1 is larger than %2 bytes").arg(path).arg(maxTableBytes);
            return false;
        }
    }
    return true;
}

bool ListenerOwner::listenersIn(const QString& procRoot, const QHostAddress& target, quint16 port,
                                QVector<Socket>& listeners, QString& error)
{
    listeners.clear();
    for (const bool v6 : {false, true}) {
        const QString path = procRoot + (v6 ? QStringLiteral("/net/tcp6") : QStringLiteral("/net/tcp"));
        // A kernel without IPv6 has no tcp6 table; the IPv4 one is always there.
        if (v6 && !QFile::exists(path))
            continue;
        QByteArray contents;
        if (!readTable(path, contents, error))
            return false;
        QVector<Socket> sockets;
        int badLine = 0;
        if (!parseProcNetTable(contents, v6, sockets, badLine)) {
            error = QStringLiteral("%1 cannot be read (line %2 malformed)").arg(path).arg(badLine);
            return false;
        }
        for (const Socket& socket : sockets) {
            if (socket.state == stateListen && socket.port == port && reaches(socket.address, target))
                listeners.append(socket);
        }
    }
    return true;
}

bool ListenerOwner::udpBoundIn(const QString& procRoot, const QHostAddress& target, quint16 port,
                               QVector<Socket>& sockets, QString& error)
{
    sockets.clear();
    for (const bool v6 : {false, true}) {
        const QString path = procRoot + (v6 ? QStringLiteral("/net/udp6") : QStringLiteral("/net/udp"));
        // A kernel without IPv6 has no udp6 table.
        if (v6 && !QFile::exists(path))
            continue;
        QByteArray contents;
        if (!readTable(path, contents, error))
            return false;
        QVector<Socket> rows;
        int badLine = 0;
        if (!parseProcNetTable(contents, v6, rows, badLine)) {
            error = QStringLiteral("%1 cannot be read (line %2 malformed)").arg(path).arg(badLine);
            return false;
        }
        for (const Socket& socket : rows) {
            if (socket.port == port && reaches(socket.address, target))
                sockets.append(socket);
        }
    }
    return true;
}
