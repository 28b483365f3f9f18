#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// DNS wire helpers of the development service. Every reader checks each length
// against what remains of the message before touching a byte; a message that
// does not parse is reported as such and never partially trusted.
class DnsWire
{
public:
    static constexpr int headerSize = 12;
    static constexpr quint16 identityType = 65517;
    static constexpr quint16 typeA = 1;
    static constexpr quint16 typeNs = 2;
    static constexpr quint16 typeSoa = 6;
    static constexpr quint16 typeTxt = 16;
    static constexpr quint16 typeAaaa = 28;
    static constexpr quint16 typeOpt = 41;
    static constexpr quint16 classIn = 1;

    enum Rcode : quint8
    {
        NoError = 0,
        FormErr = 1,
        ServFail = 2,
        NxDomain = 3,
        NotImp = 4,
        Refused = 5,
    };

    struct Question
    {
        QString name; // lower case, no trailing dot, empty for the root
        quint16 type = 0;
        quint16 qclass = 0;
        int end = 0; // offset just behind the question
    };

    struct Record
    {
        QString name;
        quint16 type = 0;
        quint16 rclass = 0;
        quint32 ttl = 0;
        QByteArray rdata;
    };

    // Result of taking the identity record off a query.
    struct IdentityStrip
    {
        bool ok = false;          // the message parsed completely
        bool hasIdentity = false; // the last additional record was the identity record
        bool badIdentity = false; // an identity record with a length other than 4
        quint32 token = 0;
        QByteArray message; // the query without the identity record, ARCOUNT lowered
        QString error;
    };

    struct Parsed
    {
        bool ok = false;
        QString error;
        quint16 id = 0;
        quint16 flags = 0;
        QList<Question> questions;
        QList<Record> answers;
        QList<Record> authority;
        QList<Record> additional;
    };

    static quint16 readU16(const QByteArray& data, int offset);
    static quint32 readU32(const QByteArray& data, int offset);
    static void appendU16(QByteArray& data, quint16 value);
    static void appendU32(QByteArray& data, quint32 value);
    static void writeU16(QByteArray& data, int offset, quint16 value);

    // Reads a possibly compressed name starting at pos. On success end is the
    // offset behind the name in the original position (not behind a pointer target).
    static bool readName(const QByteArray& data, int pos, QString& name, int& end);
    static QByteArray encodeName(const QString& name);

    static bool parseQuestion(const QByteArray& message, Question& question);
    static Parsed parse(const QByteArray& message);

    // Removes the identity record when it is the last additional record.
    static IdentityStrip stripIdentity(const QByteArray& query);
    static QByteArray identityRecord(quint32 token);

    static QByteArray makeQuery(quint16 id, const QString& name, quint16 type, bool edns);
    static QByteArray appendIdentity(const QByteArray& query, quint32 token);

    // Builds an answer to query (question copied, RD copied, QR and RA set).
    static QByteArray makeResponse(const QByteArray& query, const Question& question, quint8 rcode,
                                   const QList<Record>& answers, bool authoritative);
    // Answer for a message whose question could not be read: header only.
    static QByteArray makeHeaderOnlyResponse(quint16 id, quint16 queryFlags, quint8 rcode);
    static QByteArray txtRdata(const QString& text);
    static QByteArray soaRdata(const QString& zone);

    static QString rcodeName(quint8 rcode);
    static QString typeName(quint16 type);
    static quint16 typeFromName(const QString& name);
};
