#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// One control-channel frame: a 16-bit big-endian length, then a QDataStream
// (version 17) QString holding the compact JSON text of the envelope
// {"info": name, "data": payload}.
class ControlFrame
{
public:
    // Largest number of bytes a frame may carry after its length field.
    static constexpr int maxPayload = 0xFFFF;
    // Largest JSON text (in UTF-16 code units) that still fits a frame.
    static constexpr int maxTextUnits = (maxPayload - 4) / 2;

    // The envelope for a message; "data" is left out when `withData` is false.
    static QJsonObject envelope(const QString& info, const QJsonObject& data, bool withData = true);
    static QJsonObject envelope(const QString& info);
    // The compact JSON text of an envelope, as the string inside a frame.
    static QString toText(const QJsonObject& envelope);
    // A whole frame for `text`; empty when the text does not fit the 16-bit length.
    static QByteArray encodeText(const QString& text);
    static QByteArray encode(const QJsonObject& envelope);
    // Makes `envelope` fit one frame: while its text is too long for the
    // 16-bit length field, the longest text inside "data" is cut (texts that
    // hold JSON are cut inside, so they stay valid JSON). `shortened` tells
    // whether anything was cut.
    static QJsonObject fitToFrame(const QJsonObject& envelope, bool& shortened);
    // What is appended to a text that had to be cut.
    static QString shortenedMarker();
    // Parses the text of one frame; an unparsable text or one that is not an
    // object gives an empty object (so its "info" is empty).
    static QJsonObject parse(const QString& text);
    // Decodes the body of one frame (the bytes after the length field). Returns
    // false when the body is not exactly one serialised QString.
    static bool decodeBody(const QByteArray& body, QString& text);
};
