#include "gui/WindowPlacement.h"

#include "common/PayloadKeys.h"

#include <QJsonValue>

#include <cmath>
#include <limits>

QPoint WindowPlacement::centred(const QRect& available, const QSize& window)
{
    return QPoint(available.x() + available.width() / 2 - window.width() / 2,
                  available.y() + available.height() / 2 - window.height() / 2);
}

bool WindowPlacement::coordinate(const QJsonValue& value, int& out, bool& isNull)
{
    isNull = false;
    if (value.isString()) {
        const QString text = value.toString();
        if (text == QLatin1String("null")) {
            isNull = true;
            return true;
        }
        bool ok = false;
        out = text.trimmed().toInt(&ok);
        return ok;
    }
    if (value.isDouble()) {
        const double number = value.toDouble();
        if (!std::isfinite(number) || number != std::floor(number) ||
            number < std::numeric_limits<int>::min() || number > std::numeric_limits<int>::max())
            return false;
        out = static_cast<int>(number);
        return true;
    }
    return false;
}

WindowPlacement::Result WindowPlacement::place(const QJsonObject& coordinates, const QSize& window,
                                               const QRect& available, const QList<QRect>& screens)
{
    Result result;
    bool xNull = false;
    bool yNull = false;
    const bool xOk = coordinate(coordinates.value(PayloadKeys::X), result.x, xNull);
    const bool yOk = coordinate(coordinates.value(PayloadKeys::Y), result.y, yNull);
    if ((xOk && xNull) || (yOk && yNull)) {
        result.kind = Centred;
        result.position = centred(available, window);
        return result;
    }
    if (!xOk || !yOk) {
        result.kind = Invalid;
        result.position = centred(available, window);
        return result;
    }
    const QPoint point(result.x, result.y);
    for (int i = 0; i < screens.size(); ++i) {
        if (screens.at(i).contains(point)) {
            result.screen = i;
            break;
        }
    }
    result.kind = OffScreen;
    result.position = QPoint(0, 0);
    if (result.screen < 0)
        return result;
    // At least a third of the window must stay on the screen that holds its
    // corner. The screen's far edges count, not its size alone, so a window on
    // a screen that does not start at (0, 0) keeps its place.
    const QRect screen = screens.at(result.screen);
    const qint64 right = qint64(screen.x()) + screen.width();
    const qint64 bottom = qint64(screen.y()) + screen.height();
    if (right < qint64(result.x) + window.width() / 3 || bottom < qint64(result.y) + window.height() / 3)
        return result;
    result.kind = Stored;
    result.position = point;
    return result;
}
