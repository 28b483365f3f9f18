#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Builds DNS messages for the tests, byte by byte, independently of the
// code under test.
class DnsTestMessages
{
public:
    // A query: ID, flags 0x0100 (RD), QDCOUNT 1, ARCOUNT `arCount`, the name
    // as plain labels, QTYPE `type`, QCLASS 1, then `additional` bytes as given.
    static QByteArray query(quint16 id, const QString& name, quint16 type = 1, quint16 arCount = 0,
                            const QByteArray& additional = QByteArray());
    // An answer to `query`: same ID and question, QR set, one A record
    // (a compression pointer to the question) with `address`.
    static QByteArray answerA(const QByteArray& query, const QString& address);
    // The question name encoded as labels, ending with the root label.
    static QByteArray labels(const QString& name);
    static quint16 id(const QByteArray& message);
    static quint16 arCount(const QByteArray& message);
    // The four bytes of the A record at the message's end, as text.
    static QString lastAddress(const QByteArray& message);
    // An EDNS OPT record (root owner, type 41, UDP size 1232).
    static QByteArray optRecord();
};
