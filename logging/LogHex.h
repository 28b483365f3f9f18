#pragma once

#include <QByteArray>
#include <QDebug>

// Bytes in a log line as QDebug prints their hexadecimal text
// (`<< bytes.toHex()`: the digits in double quotes), made in one piece:
// QDebug escapes a QByteArray character by character, which made the hex
// dumps of the per-query debug lines the largest cost of the debug log.
class LogHex
{
public:
    explicit LogHex(const QByteArray& bytes) : bytes(bytes) {}
    friend QDebug operator<<(QDebug debug, const LogHex& hex);
    friend class LogStream;

private:
    const QByteArray& bytes;
};
