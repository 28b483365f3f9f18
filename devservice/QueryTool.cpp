#include "devservice/QueryTool.h"

#include "devservice/DnsWire.h"

#include <QDeadlineTimer>
#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QUdpSocket>

QStringList QueryTool::describe(const QByteArray& answer)
{
    QStringList lines;
    const DnsWire::Parsed parsed = DnsWire::parse(answer);
    if (!parsed.ok) {
        lines.append(QStringLiteral("error: ") + parsed.error);
        return lines;
    }
    lines.append(QStringLiteral("status: ") + DnsWire::rcodeName(parsed.flags & 0x0F));
    lines.append(QStringLiteral("flags: %1%2")
                     .arg((parsed.flags & 0x0200) ? "tc " : "", (parsed.flags & 0x0400) ? "aa" : ""));
    for (const DnsWire::Record& record : parsed.answers) {
        QString value;
        if (record.type == DnsWire::typeA && record.rdata.size() == 4) {
            value = QHostAddress(DnsWire::readU32(record.rdata, 0)).toString();
        } else if (record.type == DnsWire::typeAaaa && record.rdata.size() == 16) {
            value = QHostAddress(reinterpret_cast<const quint8*>(record.rdata.constData())).toString();
        } else if (record.type == DnsWire::typeTxt) {
            int pos = 0;
            QStringList parts;
            while (pos < record.rdata.size()) {
                const int length = static_cast<quint8>(record.rdata[pos]);
                parts.append(QString::fromUtf8(record.rdata.mid(pos + 1, length)));
                pos += 1 + length;
            }
            value = QLatin1Char('"') + parts.join(QString()) + QLatin1Char('"');
        } else {
            value = QString::fromLatin1(record.rdata.toHex());
        }
        lines.append(QStringLiteral("answer: %1 %2 %3 %4")
                         .arg(record.name, DnsWire::typeName(record.type))
                         .arg(record.ttl)
                         .arg(value));
    }
    return lines;
}

QByteArray QueryTool::build(const Options& options, quint16 id)
{
    const QByteArray query = DnsWire::makeQuery(id, options.name, options.type, true);
    return options.marked ? DnsWire::appendIdentity(query, options.token) : query;
}

int QueryTool::run(const Options& options, QStringList& lines)
{
    const auto id = static_cast<quint16>(QRandomGenerator::global()->bounded(65536));
    const QByteArray query = build(options, id);
    QUdpSocket socket;
    socket.bind(QHostAddress(options.server.protocol() == QAbstractSocket::IPv6Protocol
                                 ? QHostAddress::AnyIPv6
                                 : QHostAddress::AnyIPv4),
                0);
    socket.writeDatagram(query, options.server, options.port);
    QDeadlineTimer deadline(options.timeoutMs);
    while (!deadline.hasExpired()) {
        if (!socket.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())))) {
            continue;
        }
        while (socket.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = socket.receiveDatagram(65535);
            const QByteArray answer = datagram.data();
            if (datagram.senderAddress() != options.server || answer.size() < DnsWire::headerSize) {
                continue;
            }
            lines = describe(answer);
            if (DnsWire::readU16(answer, 0) != id) {
                lines.prepend(QStringLiteral("error: answer ID %1 differs from query ID %2")
                                  .arg(DnsWire::readU16(answer, 0))
                                  .arg(id));
                return 3;
            }
            return lines.value(0).startsWith(QLatin1String("error")) ? 3 : 0;
        }
    }
    lines.append(QStringLiteral("error: no answer within %1 ms").arg(options.timeoutMs));
    return 2;
}
