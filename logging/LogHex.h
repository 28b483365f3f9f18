#pragma once

#include <QByteArray>
#include <QDebug>

// Bytes in a log line as QDebug prints their hexadecimal text
// (`<< bytes.toHex()`: the digits in double quotes), made in one piece:
// QDebug escapes a QByteArray character by character, which made the hex
// dumps of the per-query debug lines the largest cost of the debug log.
//
// The account's token never shows: when the bytes end with the identity
// record that marks a query for the resolver (a root-name record of type
// 65517 with four bytes of data), those four bytes print as "********".
class LogHex
{
public:
    explicit LogHex(const QByteArray& bytes) : bytes(bytes), secretFrom(secretStart(bytes)) {}
    friend QDebug operator<<(QDebug debug, const LogHex& hex);
    friend class LogStream;

    // Where the hidden bytes begin (their count is secretBytes), or -1.
    static int secretStart(const QByteArray& bytes);
    static constexpr int secretBytes = 4;

private:
    const QByteArray& bytes;
    const int secretFrom;
};
