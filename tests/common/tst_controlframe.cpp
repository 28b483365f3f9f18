#include "common/ControlFrame.h"
#include "common/FrameReader.h"
#include "common/MessageNames.h"

#include <QDataStream>
#include <QJsonArray>
#include <QtEndian>
#include <QtTest>

class TestControlFrame : public QObject
{
    Q_OBJECT

private slots:
    void frameLayout();
    void envelopeWithoutData();
    void roundTrip_data();
    void roundTrip();
    void splitAtEveryByte();
    void severalFramesInOneChunk();
    void nullString();
    void malformedBody_data();
    void malformedBody();
    void oversizedTextIsRefused();
    void parseNonObject_data();
    void parseNonObject();
    void fitToFrame_data();
    void fitToFrame();
};

static QByteArray frameOf(const QString& text)
{
    return ControlFrame::encodeText(text);
}

void TestControlFrame::frameLayout()
{
    const QByteArray frame = ControlFrame::encode(ControlFrame::envelope(QStringLiteral("HELLOAGENT")));
    const QByteArray text = QByteArrayLiteral("{\"info\":\"HELLOAGENT\"}");
    QCOMPARE(frame.size(), 2 + 4 + 2 * text.size());
    QCOMPARE(qFromBigEndian<quint16>(frame.constData()), quint16(4 + 2 * text.size()));
    QCOMPARE(qFromBigEndian<quint32>(frame.constData() + 2), quint32(2 * text.size()));
    // UTF-16 big-endian: high byte first.
    QCOMPARE(frame.at(6), '\0');
    QCOMPARE(frame.at(7), '{');
    // The same bytes Qt's own stream writes for the string.
    QByteArray expected;
    QDataStream stream(&expected, QIODevice::WriteOnly);
    stream.setVersion(QDataStream::Qt_5_15);
    stream << QString::fromLatin1(text);
    QCOMPARE(frame.mid(2), expected);
}

void TestControlFrame::envelopeWithoutData()
{
    QCOMPARE(ControlFrame::toText(ControlFrame::envelope(QStringLiteral("LOGIN"))),
             QStringLiteral("{\"info\":\"LOGIN\"}"));
    QCOMPARE(ControlFrame::toText(ControlFrame::envelope(QStringLiteral("PROFILEID"),
                                                         QJsonObject{{QStringLiteral("profile_id"), 7}})),
             QStringLiteral("{\"data\":{\"profile_id\":7},\"info\":\"PROFILEID\"}"));
}

void TestControlFrame::roundTrip_data()
{
    QTest::addColumn<QJsonObject>("envelope");
    QTest::newRow("no data") << ControlFrame::envelope(QStringLiteral("HELLOGUI"));
    QTest::newRow("non-ASCII name") << ControlFrame::envelope(
        QStringLiteral("PROFILES"),
        QJsonObject{
            {QStringLiteral("profiles"),
             QJsonArray{QJsonObject{{QStringLiteral("id"), QStringLiteral("3")},
                                    {QStringLiteral("name"), QStringLiteral("Детский профиль ✓")}}}}});
    QTest::newRow("quotes and backslashes") << ControlFrame::envelope(
        QStringLiteral("CHECKAUTH"), QJsonObject{{QStringLiteral("login"), QStringLiteral("a\"b\\c")},
                                                 {QStringLiteral("password"), QStringLiteral("p:w\n")}});
}

void TestControlFrame::roundTrip()
{
    QFETCH(QJsonObject, envelope);
    FrameReader reader;
    const QVector<QString> messages = reader.feed(ControlFrame::encode(envelope));
    QCOMPARE(messages.size(), 1);
    QCOMPARE(ControlFrame::parse(messages.first()), envelope);
    QCOMPARE(reader.pendingBytes(), 0);
}

void TestControlFrame::splitAtEveryByte()
{
    const QJsonObject envelope = ControlFrame::envelope(
        QStringLiteral("SETCOORDGUI"),
        QJsonObject{{QStringLiteral("x"), QStringLiteral("10")}, {QStringLiteral("y"), QStringLiteral("ü")}});
    const QByteArray frame = ControlFrame::encode(envelope);
    for (int cut = 0; cut <= frame.size(); ++cut) {
        FrameReader reader;
        QVector<QString> messages = reader.feed(frame.left(cut));
        QVERIFY2(messages.isEmpty() || cut == frame.size(), qPrintable(QString::number(cut)));
        messages += reader.feed(frame.mid(cut));
        QCOMPARE(messages.size(), 1);
        QCOMPARE(ControlFrame::parse(messages.first()), envelope);
    }
    // One byte at a time.
    FrameReader reader;
    QVector<QString> messages;
    for (char byte : frame)
        messages += reader.feed(QByteArray(1, byte));
    QCOMPARE(messages.size(), 1);
}

void TestControlFrame::severalFramesInOneChunk()
{
    QByteArray chunk;
    for (int i = 0; i < 5; ++i)
        chunk += ControlFrame::encode(ControlFrame::envelope(QStringLiteral("PROFILEID"),
                                                             QJsonObject{{QStringLiteral("profile_id"), i}}));
    const QByteArray tail = ControlFrame::encode(ControlFrame::envelope(QStringLiteral("LOGIN")));
    chunk += tail.left(3);
    FrameReader reader;
    const QVector<QString> messages = reader.feed(chunk);
    QCOMPARE(messages.size(), 5);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(ControlFrame::parse(messages.at(i))
                     .value(QStringLiteral("data"))
                     .toObject()
                     .value(QStringLiteral("profile_id")),
                 QJsonValue(i));
    QCOMPARE(reader.pendingBytes(), 3);
    const QVector<QString> rest = reader.feed(tail.mid(3));
    QCOMPARE(rest.size(), 1);
    QCOMPARE(ControlFrame::parse(rest.first()).value(QStringLiteral("info")).toString(),
             QStringLiteral("LOGIN"));
}

void TestControlFrame::nullString()
{
    QByteArray frame;
    QDataStream stream(&frame, QIODevice::WriteOnly);
    stream.setVersion(QDataStream::Qt_5_15);
    stream << quint16(4) << QString();
    QCOMPARE(frame.size(), 6);
    FrameReader reader;
    const QVector<QString> messages = reader.feed(frame);
    QCOMPARE(messages.size(), 1);
    QVERIFY(messages.first().isNull());
    // A null string parses to an empty object: its "info" is empty.
    QVERIFY(ControlFrame::parse(messages.first()).value(QStringLiteral("info")).toString().isEmpty());
}

void TestControlFrame::malformedBody_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("error");
    const int body = FrameReader::MalformedBody;
    const QByteArray good = frameOf(QStringLiteral("{\"info\":\"LOGIN\"}"));
    QByteArray oddCount = good;
    qToBigEndian<quint32>(quint32(good.size() - 6 - 1), oddCount.data() + 2);
    QTest::newRow("odd string byte count") << oddCount << 0xFFFF << body;
    QByteArray countTooLarge = good;
    qToBigEndian<quint32>(quint32(good.size()), countTooLarge.data() + 2);
    QTest::newRow("string count beyond frame") << countTooLarge << 0xFFFF << body;
    QByteArray countTooSmall = good;
    qToBigEndian<quint32>(quint32(good.size() - 10), countTooSmall.data() + 2);
    QTest::newRow("string count short of frame") << countTooSmall << 0xFFFF << body;
    QTest::newRow("zero-length frame") << QByteArray("\0\0", 2) << 0xFFFF << body;
    QTest::newRow("body shorter than count field") << QByteArray("\0\x03\0\0\0", 5) << 0xFFFF << body;
    QByteArray nullWithTail("\0\x06\xff\xff\xff\xff\0A", 8);
    QTest::newRow("null string with trailing bytes") << nullWithTail << 0xFFFF << body;
    QTest::newRow("lone high surrogate")
        << frameOf(QString(QChar(0xD800)) + QStringLiteral("{}")) << 0xFFFF << body;
    QTest::newRow("lone low surrogate") << frameOf(QStringLiteral("{}") + QChar(0xDC00)) << 0xFFFF << body;
    // Only the length field is needed to refuse it.
    QTest::newRow("longer than the limit")
        << frameOf(QString(100, QLatin1Char('a'))).left(2) << 100 << int(FrameReader::FrameTooLarge);
}

void TestControlFrame::malformedBody()
{
    QFETCH(QByteArray, frame);
    QFETCH(int, limit);
    QFETCH(int, error);
    const QByteArray before = frameOf(QStringLiteral("{\"info\":\"LOGIN\"}"));
    const QByteArray next = frameOf(QStringLiteral("{\"info\":\"LOGOUT\"}"));
    FrameReader reader;
    reader.setMaxFrameBytes(limit);
    const QVector<QString> messages = reader.feed(before + frame + next);
    // What came before the bad frame is handed back; the stream ends at it:
    // nothing after it is read, now or later (no resynchronisation).
    QCOMPARE(int(reader.error()), error);
    QCOMPARE(reader.droppedFrames(), 1);
    QCOMPARE(messages.size(), 1);
    QCOMPARE(ControlFrame::parse(messages.first()).value(QStringLiteral("info")).toString(),
             QStringLiteral("LOGIN"));
    QVERIFY(reader.feed(next).isEmpty());
    QCOMPARE(reader.pendingBytes(), 0);
    // The tray program's reader drops the bad frame and reads on after it; a
    // length beyond the limit ends its stream too.
    const bool tooLarge = error == FrameReader::FrameTooLarge;
    FrameReader skipping;
    skipping.setOnBadFrame(FrameReader::OnBadFrame::SkipFrame);
    skipping.setMaxFrameBytes(limit);
    const QVector<QString> kept = skipping.feed(before + frame + next);
    QCOMPARE(skipping.droppedFrames(), 1);
    QCOMPARE(int(skipping.error()), tooLarge ? error : int(FrameReader::NoError));
    QCOMPARE(kept.size(), tooLarge ? 1 : 2);
    QCOMPARE(ControlFrame::parse(kept.last()).value(QStringLiteral("info")).toString(),
             tooLarge ? QStringLiteral("LOGIN") : QStringLiteral("LOGOUT"));
    // A valid pair of surrogates is no error.
    FrameReader fresh;
    QCOMPARE(fresh.feed(frameOf(QStringLiteral("{\"info\":\"😀\"}"))).size(), 1);
    QVERIFY(!fresh.hasError());
}

void TestControlFrame::oversizedTextIsRefused()
{
    QVERIFY(!ControlFrame::encodeText(QString(ControlFrame::maxTextUnits, QLatin1Char('a'))).isEmpty());
    QVERIFY(ControlFrame::encodeText(QString(ControlFrame::maxTextUnits + 1, QLatin1Char('a'))).isEmpty());
    const QByteArray largest =
        ControlFrame::encodeText(QString(ControlFrame::maxTextUnits, QLatin1Char('a')));
    QCOMPARE(int(qFromBigEndian<quint16>(largest.constData())), largest.size() - 2);
}

void TestControlFrame::parseNonObject_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("array") << QStringLiteral("[1,2]");
    QTest::newRow("garbage") << QStringLiteral("{info:");
    QTest::newRow("empty") << QString();
    QTest::newRow("number") << QStringLiteral("42");
}

void TestControlFrame::parseNonObject()
{
    QFETCH(QString, text);
    QVERIFY(ControlFrame::parse(text).isEmpty());
}

void TestControlFrame::fitToFrame_data()
{
    QTest::addColumn<QJsonObject>("envelope");
    QTest::addColumn<bool>("expectShortened");

    const auto env = [](const char* info, const QJsonObject& data) {
        return ControlFrame::envelope(QLatin1String(info), data);
    };
    QTest::newRow("small reply unchanged")
        << env(MessageNames::SystemInfo, QJsonObject{{"system_info", "OS: 10"}}) << false;
    QTest::newRow("long system report")
        << env(MessageNames::SystemInfo, QJsonObject{{"system_info", QString(70000, QLatin1Char('x'))}})
        << true;
    QTest::newRow("long report of escaped characters")
        << env(MessageNames::SystemInfo, QJsonObject{{"system_info", QString(20000, QLatin1Char('\n'))}})
        << true;
    QTest::newRow("long report of non-BMP characters")
        << env(MessageNames::SystemInfo,
               QJsonObject{{"system_info", QString(QString(20000, QLatin1Char('a')) +
                                                   QString::fromUtf8("😀").repeated(10000))}})
        << true;
    // {"data":{"system_info":"..."},"info":"SYSTEMINFO"} has 47 characters around the text.
    QTest::newRow("exactly fits") << env(MessageNames::SystemInfo,
                                         QJsonObject{
                                             {"system_info", QString(ControlFrame::maxTextUnits - 47, 'y')}})
                                  << false;
    QTest::newRow("one character too many")
        << env(MessageNames::SystemInfo,
               QJsonObject{{"system_info", QString(ControlFrame::maxTextUnits - 46, 'y')}})
        << true;
    QJsonArray many;
    for (int i = 0; i < 9000; ++i)
        many.append(QJsonObject{{"guid", QString::number(i)}});
    QTest::newRow("many tiny texts") << env(MessageNames::NetworkInterfaces,
                                            QJsonObject{{"interfaces", many}})
                                     << true;
}

void TestControlFrame::fitToFrame()
{
    QFETCH(QJsonObject, envelope);
    QFETCH(bool, expectShortened);

    bool shortened = true;
    const QJsonObject fitted = ControlFrame::fitToFrame(envelope, shortened);
    QCOMPARE(shortened, expectShortened);
    const QString text = ControlFrame::toText(fitted);
    QVERIFY(text.size() <= ControlFrame::maxTextUnits);
    QVERIFY(!ControlFrame::encode(fitted).isEmpty());
    QCOMPARE(fitted.value("info"), envelope.value("info"));
    if (expectShortened && fitted.value("data").toObject().contains("system_info"))
        QVERIFY(text.size() > ControlFrame::maxTextUnits - 16);
    if (!expectShortened) {
        QCOMPARE(fitted, envelope);
        return;
    }
    // Valid JSON that parses back to what was sent, with no broken surrogates.
    QCOMPARE(ControlFrame::parse(text), fitted);
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i).isHighSurrogate()) {
            QVERIFY(i + 1 < text.size() && text.at(i + 1).isLowSurrogate());
            ++i;
        } else {
            QVERIFY(!text.at(i).isLowSurrogate());
        }
    }
    const QString report = fitted.value("data").toObject().value("system_info").toString();
    if (!report.isEmpty())
        QVERIFY(report.endsWith(ControlFrame::shortenedMarker()));
}

QTEST_APPLESS_MAIN(TestControlFrame)
#include "tst_controlframe.moc"
