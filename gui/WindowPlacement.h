#pragma once

#include <QJsonObject>
#include <QList>
#include <QPoint>
#include <QRect>
#include <QSize>

// Where the main window goes for a position stored in the agent.
class WindowPlacement
{
public:
    enum Kind
    {
        Centred,   // nothing stored ("null")
        Invalid,   // not numbers: centred as well
        OffScreen, // no screen holds the point, or too little would show: (0, 0)
        Stored     // the stored position
    };
    struct Result
    {
        Kind kind = Centred;
        QPoint position;
        int screen = -1; // index of the screen holding the point, -1 for none
        int x = 0;
        int y = 0;
    };

    // Middle of the available area minus half the window (integer division).
    static QPoint centred(const QRect& available, const QSize& window);
    static Result place(const QJsonObject& coordinates, const QSize& window, const QRect& available,
                        const QList<QRect>& screens);
    // A stored coordinate: a decimal string or a whole JSON number.
    static bool coordinate(const QJsonValue& value, int& out, bool& isNull);
};
