#include "backend/IAuth.h"

#include "backend/BackendLogging.h"
#include "common/PayloadKeys.h"

IAuth::IAuth(QObject* parent) : QObject(parent)
{
    qCInfo(iauth) << "CREATE";
}

bool IAuth::pinLengthAccepted(const QString& pin)
{
    return pin.size() >= minPinLength && pin.size() <= maxPinLength;
}

QJsonObject IAuth::status(int value)
{
    return QJsonObject{{PayloadKeys::Status, value}};
}
