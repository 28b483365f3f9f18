#pragma once

#include "dnswire/DnsRequest.h"

#include <QByteArray>

// Wire handling shared by the listener and every upstream transport. Pure
// functions over the message bytes: no sockets, no settings, no logging, and
// no read outside the message whatever its bytes.
class DnsMessage
{
public:
    static constexpr int headerSize = 12;
    static constexpr int identityRecordSize = 15;
    static constexpr quint16 identityType = 65517;
    static constexpr quint16 typeA = 1;
    static constexpr quint16 typeSrv = 33;
    // Largest message a TCP length prefix can carry.
    static constexpr int maxMessageSize = 65535;

    // Reads the header and first question. `wellFormed` (optional) tells
    // whether the message has a whole header, at least one question and a
    // question of plain labels (no compression pointer, no label over 63
    // bytes, no name over 255 bytes) followed by its type and class.
    static DnsRequest parse(const QByteArray& message, bool* wellFormed = nullptr);
    // The same checks and numbers (`type`, `countRequest`) without building
    // the texts (`id`, `domain`, `answerIp`): the routing of most queries
    // needs none of them, and they are the costly part.
    static DnsRequest parseNumbers(const QByteArray& message, bool* wellFormed = nullptr);
    // Fills the texts of a record made by parseNumbers from the same message,
    // exactly as parse would have made them.
    static void fillTexts(const QByteArray& message, DnsRequest& request);

    // Appends the identity record carrying `token` (big-endian) and raises
    // ARCOUNT by one. Refuses (false, message untouched) a message without a
    // whole header, one whose ARCOUNT cannot grow, or one that would no longer
    // fit a TCP length prefix.
    static bool mark(QByteArray& message, qint32 token);

    // Message ID of the header, 0 when the message is shorter than two bytes.
    static quint16 id(const QByteArray& message);
    // Overwrites the message ID; false when the message is shorter than two bytes.
    static bool setId(QByteArray& message, quint16 id);
    static quint16 additionalCount(const QByteArray& message);
    static quint16 questionCount(const QByteArray& message);
    // Whether the header's QR bit marks the message as a response.
    static bool isResponse(const QByteArray& message);
    // Offset just past the first question's QCLASS, or -1 when the message
    // has no whole header, no question, or a first question that is not
    // plain labels (a compression pointer, a label over 63 bytes, a name
    // over 255 bytes) followed by its type and class.
    static int questionEnd(const QByteArray& message);
    // The agent's own failure answer to `query`: its ID, opcode, RD bit and
    // first question, QR and RA set, RCODE SERVFAIL, no records. Empty when
    // the query has no whole first question (nothing an answer could repeat).
    static QByteArray serverFailure(const QByteArray& query);
    static constexpr int rcodeServerFailure = 2;
    // A recursive query of one question, class IN; empty when `name` is not
    // a name of plain labels (none empty or over 63 bytes, 255 bytes at most).
    static QByteArray query(quint16 id, const QString& name, quint16 type);
    // Four lower-case hexadecimal digits of an ID.
    static QString idText(quint16 id);

private:
    static DnsRequest parse(const QByteArray& message, bool* wellFormed, bool withTexts);
};
