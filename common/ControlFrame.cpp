#include "common/ControlFrame.h"

#include <QDataStream>
#include <QIODevice>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QtEndian>

QJsonObject ControlFrame::envelope(const QString& info, const QJsonObject& data, bool withData)
{
    QJsonObject object;
    object.insert(QStringLiteral("info"), info);
    if (withData)
        object.insert(QStringLiteral("data"), data);
    return object;
}

QJsonObject ControlFrame::envelope(const QString& info)
{
    return envelope(info, QJsonObject(), false);
}

QString ControlFrame::toText(const QJsonObject& envelope)
{
    const QByteArray json = QJsonDocument(envelope).toJson(QJsonDocument::Compact);
    // The text is cut at the first zero byte, as a C string would be.
    const int zero = json.indexOf('\0');
    return QString::fromUtf8(zero < 0 ? json : json.left(zero));
}

QByteArray ControlFrame::encodeText(const QString& text)
{
    if (text.size() > maxTextUnits)
        return QByteArray();
    QByteArray frame;
    QDataStream stream(&frame, QIODevice::WriteOnly);
    stream.setVersion(QDataStream::Qt_5_15);
    stream << quint16(0) << text;
    const quint16 length = static_cast<quint16>(frame.size() - 2);
    qToBigEndian(length, frame.data());
    return frame;
}

QByteArray ControlFrame::encode(const QJsonObject& envelope)
{
    return encodeText(toText(envelope));
}

QJsonObject ControlFrame::parse(const QString& text)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return QJsonObject();
    return document.object();
}

bool ControlFrame::decodeBody(const QByteArray& body, QString& text)
{
    if (body.size() < 4)
        return false;
    const quint32 count = qFromBigEndian<quint32>(body.constData());
    if (count == 0xFFFFFFFFu) {
        if (body.size() != 4)
            return false;
        text = QString();
        return true;
    }
    if (count % 2 != 0 || count != static_cast<quint32>(body.size() - 4))
        return false;
    const int units = static_cast<int>(count / 2);
    QString result(units, Qt::Uninitialized);
    const uchar* source = reinterpret_cast<const uchar*>(body.constData()) + 4;
    QChar* target = result.data();
    for (int i = 0; i < units; ++i)
        target[i] = QChar(static_cast<ushort>((source[2 * i] << 8) | source[2 * i + 1]));
    text = result;
    return true;
}
