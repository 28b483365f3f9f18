#pragma once

#include <QMetaType>
#include <QString>

// The header and first question of one DNS message, as read by
// RemoteDnsServer::parsingDnsRequest. It drives routing and log lines and is
// never used to rebuild the message.
struct DnsRequest
{
    // Message ID as four lower-case hexadecimal digits, e.g. "1a2b".
    QString id;
    // First question's name, lower case, labels joined by "."; empty for the root.
    QString domain;
    // First question's QTYPE (1 = A, 28 = AAAA, 33 = SRV, ...).
    quint16 type = 0;
    // QDCOUNT.
    quint16 countRequest = 0;
    // Only for type 1: the message's last four bytes in dotted decimal (log lines).
    QString answerIp;
    // Routing, not read from the message: the query goes unmarked to the
    // servers the interfaces had before (the filtering service cannot be reached).
    bool toNetwork = false;
};

Q_DECLARE_METATYPE(DnsRequest)
