#include "common/ControlFrame.h"

#include "common/PayloadKeys.h"

#include <QDataStream>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QtEndian>

#include <algorithm>

namespace {

// A text that itself holds a JSON array or object (the debug report does) is
// cut inside, so that what the GUI parses out of it stays valid.
bool holdsJson(const QString& text, QJsonDocument& document)
{
    if (text.isEmpty() || (text.at(0) != QLatin1Char('[') && text.at(0) != QLatin1Char('{')))
        return false;
    QJsonParseError error{};
    document = QJsonDocument::fromJson(text.toUtf8(), &error);
    return error.error == QJsonParseError::NoError && !document.isNull();
}

int longestText(const QJsonValue& value)
{
    int longest = 0;
    if (value.isString()) {
        const QString text = value.toString();
        QJsonDocument inner;
        if (!holdsJson(text, inner))
            return static_cast<int>(text.size());
        return inner.isArray() ? longestText(inner.array()) : longestText(inner.object());
    }
    if (value.isArray()) {
        for (const QJsonValue& item : value.toArray())
            longest = std::max(longest, longestText(item));
    } else if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            longest = std::max(longest, longestText(it.value()));
    }
    return longest;
}

// Replaces the first text of exactly `length` units by its first `keep`
// units followed by the marker.
QJsonValue cutText(const QJsonValue& value, int length, int keep, bool& done)
{
    if (done)
        return value;
    if (value.isString()) {
        const QString text = value.toString();
        QJsonDocument inner;
        if (holdsJson(text, inner)) {
            const QJsonValue changed = inner.isArray() ? cutText(inner.array(), length, keep, done)
                                                       : cutText(inner.object(), length, keep, done);
            if (!done)
                return value;
            const QJsonDocument rebuilt =
                changed.isArray() ? QJsonDocument(changed.toArray()) : QJsonDocument(changed.toObject());
            return QString::fromUtf8(rebuilt.toJson(QJsonDocument::Compact));
        }
        if (text.size() != length)
            return value;
        // Never leave half of a surrogate pair behind.
        if (keep > 0 && text.at(keep - 1).isHighSurrogate())
            --keep;
        done = true;
        return QString(text.left(keep) + ControlFrame::shortenedMarker());
    }
    if (value.isArray()) {
        QJsonArray array = value.toArray();
        for (int i = 0; i < array.size() && !done; ++i)
            array[i] = cutText(array.at(i), length, keep, done);
        return array;
    }
    if (value.isObject()) {
        QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end() && !done; ++it)
            it.value() = cutText(it.value(), length, keep, done);
        return object;
    }
    return value;
}

int textSize(const QJsonObject& envelope)
{
    return static_cast<int>(ControlFrame::toText(envelope).size());
}

} // namespace

QJsonObject ControlFrame::envelope(const QString& info, const QJsonObject& data, bool withData)
{
    QJsonObject object;
    object.insert(PayloadKeys::Info, info);
    if (withData)
        object.insert(PayloadKeys::Data, data);
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

QString ControlFrame::shortenedMarker()
{
    return QStringLiteral("[shortened]");
}

QJsonObject ControlFrame::fitToFrame(const QJsonObject& envelope, bool& shortened)
{
    shortened = false;
    QJsonObject fitted = envelope;
    const int marker = static_cast<int>(shortenedMarker().size());
    // Each pass cuts the longest text, keeping as much of it as still lets
    // the message fit (found by bisection, since escaping makes a character
    // cost one to several units of the frame). When even cutting it to the
    // marker is not enough, the next pass takes the next longest. The bound
    // ends the loop for payloads made of many tiny texts, which then lose
    // their data altogether.
    for (int pass = 0; pass < 1000; ++pass) {
        const int excess = textSize(fitted) - maxTextUnits;
        if (excess <= 0)
            return fitted;
        shortened = true;
        const QJsonValue data = fitted.value(PayloadKeys::Data);
        const int longest = longestText(data);
        if (longest <= marker)
            break;
        const auto withKeep = [&](int keep) {
            bool done = false;
            QJsonObject candidate = fitted;
            candidate.insert(PayloadKeys::Data, cutText(data, longest, keep, done));
            return candidate;
        };
        int low = 0;
        int high = longest - marker - 1;
        QJsonObject best = withKeep(low);
        if (textSize(best) <= maxTextUnits) {
            while (low < high) {
                const int middle = low + (high - low + 1) / 2;
                QJsonObject candidate = withKeep(middle);
                if (textSize(candidate) <= maxTextUnits) {
                    low = middle;
                    best = candidate;
                } else {
                    high = middle - 1;
                }
            }
        }
        fitted = best;
    }
    if (textSize(fitted) > maxTextUnits && fitted.contains(PayloadKeys::Data)) {
        shortened = true;
        fitted.insert(PayloadKeys::Data, QJsonObject());
    }
    return fitted;
}
