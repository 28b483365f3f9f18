#include "gui/WindowPlacement.h"

#include <QtTest>

class TestGuiPlacement : public QObject
{
    Q_OBJECT
private slots:
    void place_data()
    {
        QTest::addColumn<QJsonObject>("coordinates");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QPoint>("position");

        // One 1920x1080 screen at the origin with a 40 px panel at the bottom,
        // and a second 1280x1024 screen to its right; window 1145x600.
        const QPoint centre(1920 / 2 - 1145 / 2, 1040 / 2 - 600 / 2);
        auto xy = [](const QJsonValue& x, const QJsonValue& y) {
            return QJsonObject{{QStringLiteral("x"), x}, {QStringLiteral("y"), y}};
        };
        QTest::newRow("both null") << xy("null", "null") << int(WindowPlacement::Centred) << centre;
        QTest::newRow("x null") << xy("null", "10") << int(WindowPlacement::Centred) << centre;
        QTest::newRow("y null") << xy("10", "null") << int(WindowPlacement::Centred) << centre;
        QTest::newRow("stored") << xy("100", "200") << int(WindowPlacement::Stored) << QPoint(100, 200);
        QTest::newRow("stored as numbers")
            << xy(100, 200) << int(WindowPlacement::Stored) << QPoint(100, 200);
        QTest::newRow("origin") << xy("0", "0") << int(WindowPlacement::Stored) << QPoint(0, 0);
        // 1920 - 1145/3 = 1539: at x 1539 a third still shows, at 1540 it does not.
        QTest::newRow("a third shows (x)")
            << xy("1539", "10") << int(WindowPlacement::Stored) << QPoint(1539, 10);
        QTest::newRow("less than a third (x)")
            << xy("1540", "10") << int(WindowPlacement::OffScreen) << QPoint(0, 0);
        // 1080 - 600/3 = 880.
        QTest::newRow("a third shows (y)")
            << xy("10", "880") << int(WindowPlacement::Stored) << QPoint(10, 880);
        QTest::newRow("less than a third (y)")
            << xy("10", "881") << int(WindowPlacement::OffScreen) << QPoint(0, 0);
        QTest::newRow("far off") << xy("99999999", "99999999") << int(WindowPlacement::OffScreen)
                                 << QPoint(0, 0);
        QTest::newRow("negative") << xy("-5000", "-20") << int(WindowPlacement::OffScreen) << QPoint(0, 0);
        QTest::newRow("second screen")
            << xy("2100", "300") << int(WindowPlacement::Stored) << QPoint(2100, 300);
        QTest::newRow("second screen edge")
            << xy("2900", "300") << int(WindowPlacement::OffScreen) << QPoint(0, 0);
        QTest::newRow("not a number") << xy("abc", "10") << int(WindowPlacement::Invalid) << centre;
        QTest::newRow("too large for int")
            << xy("99999999999", "10") << int(WindowPlacement::Invalid) << centre;
        QTest::newRow("fraction") << xy(10.5, 10) << int(WindowPlacement::Invalid) << centre;
        QTest::newRow("bool") << xy(true, "10") << int(WindowPlacement::Invalid) << centre;
        QTest::newRow("missing") << QJsonObject() << int(WindowPlacement::Invalid) << centre;
        QTest::newRow("empty strings") << xy("", "") << int(WindowPlacement::Invalid) << centre;
    }

    void place()
    {
        QFETCH(QJsonObject, coordinates);
        QFETCH(int, kind);
        QFETCH(QPoint, position);
        const QList<QRect> screens{QRect(0, 0, 1920, 1080), QRect(1920, 0, 1280, 1024)};
        const WindowPlacement::Result result =
            WindowPlacement::place(coordinates, QSize(1145, 600), QRect(0, 0, 1920, 1040), screens);
        QCOMPARE(int(result.kind), kind);
        QCOMPARE(result.position, position);
    }

    void centredUsesTheAvailableArea()
    {
        QCOMPARE(WindowPlacement::centred(QRect(100, 50, 1001, 701), QSize(200, 101)),
                 QPoint(100 + 500 - 100, 50 + 350 - 50));
    }
};

QTEST_GUILESS_MAIN(TestGuiPlacement)
#include "tst_gui_placement.moc"
