#include "backend/AuthToken.h"

#include "backend/BackendLogging.h"
#include "backend/NetworkAccessManager.h"
#include "common/PayloadKeys.h"
#include "logging/LogMask.h"
#include "settings/UserData.h"

AuthToken::AuthToken(QObject* parent) : IAuth(parent)
{
    qCInfo(auth_token) << "CREATE";
}

void AuthToken::slotCheckAuth(const QJsonObject& jObj)
{
    UserData::deleteAuthData();
    const QString key = jObj.value(PayloadKeys::Token).toString();
    qCDebug(auth_token).noquote() << "slotCheckAuth" << LogMask::token(key);
    ApiResult result;
    {
        NetworkAccessManager manager;
        result = manager.checkAuth(key);
    }
    int answer = checkAuthTransportError;
    if (result.error == 0) {
        if (result.data.value(QLatin1String("result")).toBool()) {
            UserData::setAuthToken(key);
            answer = checkAuthOk;
        } else {
            answer = checkAuthRefused;
        }
    }
    emit signalStatusCheckAuth(status(answer));
}

void AuthToken::slotCreatePin(const QJsonObject& jObj)
{
    const QString pin = jObj.value(PayloadKeys::PinCode).toString();
    qCDebug(auth_token).noquote() << "slotCreatePin()" << LogMask::secret(pin);
    int answer = createPinRefused;
    if (pinLengthAccepted(pin) && UserData::setPin(pin)) {
        // Building the backend binding is what starts the directory
        // registration when it is due.
        {
            NetworkAccessManager manager;
        }
        answer = createPinOk;
    }
    emit signalStatusCreatePin(status(answer));
}

void AuthToken::slotCheckPin(const QJsonObject& jObj)
{
    const QString pin = jObj.value(PayloadKeys::PinCode).toString();
    const int answer = UserData::checkPin(pin) ? checkPinOk : checkPinWrong;
    qCDebug(auth_token) << "slotCheckPin" << answer;
    emit signalStatusCheckPin(status(answer));
}
