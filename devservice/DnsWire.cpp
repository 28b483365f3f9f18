#include "devservice/DnsWire.h"

#include <QStringList>

namespace {
constexpr int maxNameLength = 255;
constexpr int maxPointerJumps = 32;
constexpr quint16 flagQr = 0x8000;
constexpr quint16 flagAa = 0x0400;
constexpr quint16 flagRd = 0x0100;
constexpr quint16 flagRa = 0x0080;
constexpr quint16 opcodeMask = 0x7800;

bool readRecord(const QByteArray& data, int& pos, DnsWire::Record& record, int& recordStart)
{
    recordStart = pos;
    int end = 0;
    if (!DnsWire::readName(data, pos, record.name, end)) {
        return false;
    }
    if (data.size() - end < 10) {
        return false;
    }
    record.type = DnsWire::readU16(data, end);
    record.rclass = DnsWire::readU16(data, end + 2);
    record.ttl = DnsWire::readU32(data, end + 4);
    const int rdLength = DnsWire::readU16(data, end + 8);
    if (data.size() - (end + 10) < rdLength) {
        return false;
    }
    record.rdata = data.mid(end + 10, rdLength);
    pos = end + 10 + rdLength;
    return true;
}
} // namespace

quint16 DnsWire::readU16(const QByteArray& data, int offset)
{
    if (offset < 0 || data.size() - offset < 2) {
        return 0;
    }
    return static_cast<quint16>((static_cast<quint8>(data[offset]) << 8) |
                                static_cast<quint8>(data[offset + 1]));
}

quint32 DnsWire::readU32(const QByteArray& data, int offset)
{
    if (offset < 0 || data.size() - offset < 4) {
        return 0;
    }
    return (static_cast<quint32>(readU16(data, offset)) << 16) | readU16(data, offset + 2);
}

void DnsWire::appendU16(QByteArray& data, quint16 value)
{
    data.append(static_cast<char>(value >> 8));
    data.append(static_cast<char>(value & 0xFF));
}

void DnsWire::appendU32(QByteArray& data, quint32 value)
{
    appendU16(data, static_cast<quint16>(value >> 16));
    appendU16(data, static_cast<quint16>(value & 0xFFFF));
}

void DnsWire::writeU16(QByteArray& data, int offset, quint16 value)
{
    if (offset < 0 || data.size() - offset < 2) {
        return;
    }
    data[offset] = static_cast<char>(value >> 8);
    data[offset + 1] = static_cast<char>(value & 0xFF);
}

bool DnsWire::readName(const QByteArray& data, int pos, QString& name, int& end)
{
    QStringList labels;
    int cursor = pos;
    int jumps = 0;
    int wireLength = 0;
    end = -1;
    while (true) {
        if (cursor < 0 || cursor >= data.size()) {
            return false;
        }
        const quint8 length = static_cast<quint8>(data[cursor]);
        if ((length & 0xC0) == 0xC0) {
            if (data.size() - cursor < 2) {
                return false;
            }
            if (end < 0) {
                end = cursor + 2;
            }
            if (++jumps > maxPointerJumps) {
                return false;
            }
            const int target = ((length & 0x3F) << 8) | static_cast<quint8>(data[cursor + 1]);
            // Pointers only go backwards; anything else could loop.
            if (target >= cursor) {
                return false;
            }
            cursor = target;
            continue;
        }
        if ((length & 0xC0) != 0) {
            return false; // extended label types are not used in queries
        }
        if (length == 0) {
            if (end < 0) {
                end = cursor + 1;
            }
            break;
        }
        if (data.size() - (cursor + 1) < length) {
            return false;
        }
        wireLength += length + 1;
        if (wireLength > maxNameLength) {
            return false;
        }
        labels.append(QString::fromLatin1(data.constData() + cursor + 1, length).toLower());
        cursor += length + 1;
    }
    name = labels.join(QLatin1Char('.'));
    return true;
}

QByteArray DnsWire::encodeName(const QString& name)
{
    QByteArray out;
    const QStringList labels = name.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    for (const QString& label : labels) {
        const QByteArray bytes = label.toLatin1();
        if (bytes.size() > 63) {
            return QByteArray();
        }
        out.append(static_cast<char>(bytes.size()));
        out.append(bytes);
    }
    out.append('\0');
    return out;
}

bool DnsWire::parseQuestion(const QByteArray& message, Question& question)
{
    if (message.size() < headerSize || readU16(message, 4) < 1) {
        return false;
    }
    int end = 0;
    if (!readName(message, headerSize, question.name, end)) {
        return false;
    }
    if (message.size() - end < 4) {
        return false;
    }
    question.type = readU16(message, end);
    question.qclass = readU16(message, end + 2);
    question.end = end + 4;
    return true;
}

DnsWire::Parsed DnsWire::parse(const QByteArray& message)
{
    Parsed parsed;
    if (message.size() < headerSize) {
        parsed.error = QStringLiteral("message shorter than a header");
        return parsed;
    }
    parsed.id = readU16(message, 0);
    parsed.flags = readU16(message, 2);
    const int counts[4] = {readU16(message, 4), readU16(message, 6), readU16(message, 8),
                           readU16(message, 10)};
    int pos = headerSize;
    for (int i = 0; i < counts[0]; ++i) {
        Question q;
        int end = 0;
        if (!readName(message, pos, q.name, end) || message.size() - end < 4) {
            parsed.error = QStringLiteral("question %1 cut short").arg(i);
            return parsed;
        }
        q.type = readU16(message, end);
        q.qclass = readU16(message, end + 2);
        q.end = end + 4;
        pos = q.end;
        parsed.questions.append(q);
    }
    QList<Record>* sections[3] = {&parsed.answers, &parsed.authority, &parsed.additional};
    for (int s = 0; s < 3; ++s) {
        for (int i = 0; i < counts[s + 1]; ++i) {
            Record record;
            int start = 0;
            if (!readRecord(message, pos, record, start)) {
                parsed.error = QStringLiteral("record %1 of section %2 cut short").arg(i).arg(s + 1);
                return parsed;
            }
            sections[s]->append(record);
        }
    }
    if (pos != message.size()) {
        parsed.error = QStringLiteral("%1 bytes behind the last record").arg(message.size() - pos);
        return parsed;
    }
    parsed.ok = true;
    return parsed;
}

DnsWire::IdentityStrip DnsWire::stripIdentity(const QByteArray& query)
{
    IdentityStrip result;
    if (query.size() < headerSize) {
        result.error = QStringLiteral("message shorter than a header");
        return result;
    }
    const int qd = readU16(query, 4);
    const int an = readU16(query, 6);
    const int ns = readU16(query, 8);
    const int ar = readU16(query, 10);
    int pos = headerSize;
    for (int i = 0; i < qd; ++i) {
        QString name;
        int end = 0;
        if (!readName(query, pos, name, end) || query.size() - end < 4) {
            result.error = QStringLiteral("question cut short");
            return result;
        }
        pos = end + 4;
    }
    int lastStart = -1;
    Record last;
    for (int i = 0; i < an + ns + ar; ++i) {
        Record record;
        int start = 0;
        if (!readRecord(query, pos, record, start)) {
            result.error = QStringLiteral("record %1 cut short").arg(i);
            return result;
        }
        if (i == an + ns + ar - 1) {
            lastStart = start;
            last = record;
        }
    }
    if (pos != query.size()) {
        result.error = QStringLiteral("%1 bytes behind the last record").arg(query.size() - pos);
        return result;
    }
    result.ok = true;
    result.message = query;
    if (ar == 0 || lastStart < 0 || last.type != identityType) {
        return result;
    }
    if (last.rdata.size() != 4 || !last.name.isEmpty()) {
        result.badIdentity = true;
        result.error = QStringLiteral("identity record with owner \"%1\" and %2 data bytes")
                           .arg(last.name)
                           .arg(last.rdata.size());
        return result;
    }
    result.hasIdentity = true;
    result.token = readU32(last.rdata, 0);
    result.message.truncate(lastStart);
    writeU16(result.message, 10, static_cast<quint16>(ar - 1));
    return result;
}

QByteArray DnsWire::identityRecord(quint32 token)
{
    QByteArray record;
    record.append('\0');
    appendU16(record, identityType);
    appendU16(record, classIn);
    appendU32(record, 0);
    appendU16(record, 4);
    appendU32(record, token);
    return record;
}

QByteArray DnsWire::makeQuery(quint16 id, const QString& name, quint16 type, bool edns)
{
    QByteArray query;
    appendU16(query, id);
    appendU16(query, flagRd);
    appendU16(query, 1);
    appendU16(query, 0);
    appendU16(query, 0);
    appendU16(query, edns ? 1 : 0);
    query.append(encodeName(name));
    appendU16(query, type);
    appendU16(query, classIn);
    if (edns) {
        query.append('\0');
        appendU16(query, typeOpt);
        appendU16(query, 1232); // UDP payload size
        appendU32(query, 0);
        appendU16(query, 0);
    }
    return query;
}

QByteArray DnsWire::appendIdentity(const QByteArray& query, quint32 token)
{
    if (query.size() < headerSize) {
        return query;
    }
    QByteArray marked = query;
    writeU16(marked, 10, static_cast<quint16>(readU16(query, 10) + 1));
    marked.append(identityRecord(token));
    return marked;
}

QByteArray DnsWire::makeResponse(const QByteArray& query, const Question& question, quint8 rcode,
                                 const QList<Record>& answers, bool authoritative)
{
    const quint16 queryFlags = readU16(query, 2);
    QByteArray out;
    appendU16(out, readU16(query, 0));
    quint16 flags = flagQr | flagRa | (queryFlags & (opcodeMask | flagRd)) | (rcode & 0x0F);
    if (authoritative) {
        flags |= flagAa;
    }
    appendU16(out, flags);
    appendU16(out, 1);
    appendU16(out, static_cast<quint16>(answers.size()));
    appendU16(out, 0);
    appendU16(out, 0);
    out.append(encodeName(question.name));
    appendU16(out, question.type);
    appendU16(out, question.qclass);
    for (const Record& record : answers) {
        if (record.name == question.name) {
            appendU16(out, 0xC00C); // the question name right behind the header
        } else {
            out.append(encodeName(record.name));
        }
        appendU16(out, record.type);
        appendU16(out, record.rclass);
        appendU32(out, record.ttl);
        appendU16(out, static_cast<quint16>(record.rdata.size()));
        out.append(record.rdata);
    }
    return out;
}

QByteArray DnsWire::makeHeaderOnlyResponse(quint16 id, quint16 queryFlags, quint8 rcode)
{
    QByteArray out;
    appendU16(out, id);
    appendU16(out, flagQr | flagRa | (queryFlags & (opcodeMask | flagRd)) | (rcode & 0x0F));
    appendU16(out, 0);
    appendU16(out, 0);
    appendU16(out, 0);
    appendU16(out, 0);
    return out;
}

QByteArray DnsWire::txtRdata(const QString& text)
{
    QByteArray rdata;
    const QByteArray bytes = text.toUtf8();
    for (int i = 0; i < bytes.size(); i += 255) {
        const QByteArray chunk = bytes.mid(i, 255);
        rdata.append(static_cast<char>(chunk.size()));
        rdata.append(chunk);
    }
    if (rdata.isEmpty()) {
        rdata.append('\0');
    }
    return rdata;
}

QByteArray DnsWire::soaRdata(const QString& zone)
{
    QByteArray rdata = encodeName(QStringLiteral("ns.") + zone);
    rdata.append(encodeName(QStringLiteral("hostmaster.") + zone));
    appendU32(rdata, 1);    // serial
    appendU32(rdata, 3600); // refresh
    appendU32(rdata, 600);  // retry
    appendU32(rdata, 86400);
    appendU32(rdata, 60); // negative answers are kept briefly
    return rdata;
}

QString DnsWire::rcodeName(quint8 rcode)
{
    switch (rcode) {
    case NoError:
        return QStringLiteral("NOERROR");
    case FormErr:
        return QStringLiteral("FORMERR");
    case ServFail:
        return QStringLiteral("SERVFAIL");
    case NxDomain:
        return QStringLiteral("NXDOMAIN");
    case NotImp:
        return QStringLiteral("NOTIMP");
    case Refused:
        return QStringLiteral("REFUSED");
    default:
        return QStringLiteral("RCODE%1").arg(rcode);
    }
}

QString DnsWire::typeName(quint16 type)
{
    switch (type) {
    case typeA:
        return QStringLiteral("A");
    case typeNs:
        return QStringLiteral("NS");
    case typeSoa:
        return QStringLiteral("SOA");
    case typeTxt:
        return QStringLiteral("TXT");
    case typeAaaa:
        return QStringLiteral("AAAA");
    case 33:
        return QStringLiteral("SRV");
    case typeOpt:
        return QStringLiteral("OPT");
    case identityType:
        return QStringLiteral("IDENTITY");
    default:
        return QStringLiteral("TYPE%1").arg(type);
    }
}

quint16 DnsWire::typeFromName(const QString& name)
{
    const QString upper = name.toUpper();
    if (upper == QLatin1String("A")) {
        return typeA;
    }
    if (upper == QLatin1String("AAAA")) {
        return typeAaaa;
    }
    if (upper == QLatin1String("TXT")) {
        return typeTxt;
    }
    if (upper == QLatin1String("SOA")) {
        return typeSoa;
    }
    if (upper == QLatin1String("NS")) {
        return typeNs;
    }
    if (upper == QLatin1String("SRV")) {
        return 33;
    }
    if (upper.startsWith(QLatin1String("TYPE"))) {
        bool ok = false;
        const uint value = upper.mid(4).toUInt(&ok);
        return ok && value <= 0xFFFF ? static_cast<quint16>(value) : 0;
    }
    return 0;
}
