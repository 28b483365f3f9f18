#include "tests/dns/DnsTestMessages.h"

#include <QStringList>

namespace {

void putShort(QByteArray& out, quint16 value)
{
    out.append(static_cast<char>(value >> 8));
    out.append(static_cast<char>(value & 0xFF));
}

} // namespace

QByteArray DnsTestMessages::labels(const QString& name)
{
    QByteArray out;
    const QStringList parts = name.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        const QByteArray label = part.toUtf8();
        out.append(static_cast<char>(label.size()));
        out.append(label);
    }
    out.append('\0');
    return out;
}

QByteArray DnsTestMessages::query(quint16 id, const QString& name, quint16 type, quint16 arCount,
                                  const QByteArray& additional)
{
    QByteArray out;
    putShort(out, id);
    putShort(out, 0x0100);
    putShort(out, 1);
    putShort(out, 0);
    putShort(out, 0);
    putShort(out, arCount);
    out.append(labels(name));
    putShort(out, type);
    putShort(out, 1);
    out.append(additional);
    return out;
}

QByteArray DnsTestMessages::answerA(const QByteArray& query, const QString& address)
{
    // Header and question of the query, without its additional section.
    int end = 12;
    while (end < query.size() && query.at(end) != 0)
        end += 1 + static_cast<uchar>(query.at(end));
    end += 1 + 4;
    QByteArray out = query.left(end);
    out[2] = static_cast<char>(0x81);
    out[3] = static_cast<char>(0x80);
    out[6] = 0;
    out[7] = 1; // ANCOUNT 1
    out[8] = out[9] = out[10] = out[11] = 0;
    putShort(out, 0xC00C);
    putShort(out, 1);
    putShort(out, 1);
    out.append(QByteArray::fromHex("0000003c"));
    putShort(out, 4);
    // A dotted quad, read here rather than by QHostAddress: the kit needs Qt Core alone.
    const QStringList parts = address.split(QLatin1Char('.'));
    for (int i = 0; i < 4; ++i)
        out.append(static_cast<char>(i < parts.size() ? parts.at(i).toUInt() & 0xFF : 0));
    return out;
}

quint16 DnsTestMessages::id(const QByteArray& message)
{
    if (message.size() < 2)
        return 0;
    return static_cast<quint16>((static_cast<uchar>(message.at(0)) << 8) | static_cast<uchar>(message.at(1)));
}

quint16 DnsTestMessages::arCount(const QByteArray& message)
{
    if (message.size() < 12)
        return 0;
    return static_cast<quint16>((static_cast<uchar>(message.at(10)) << 8) |
                                static_cast<uchar>(message.at(11)));
}

QString DnsTestMessages::lastAddress(const QByteArray& message)
{
    if (message.size() < 4)
        return QString();
    const auto* b = reinterpret_cast<const uchar*>(message.constData()) + message.size() - 4;
    return QStringLiteral("%1.%2.%3.%4").arg(b[0]).arg(b[1]).arg(b[2]).arg(b[3]);
}

QByteArray DnsTestMessages::optRecord()
{
    return QByteArray::fromHex("0000290"
                               "4d0000000000000");
}
