#include "backend/AuthLogin.h"

#include "backend/AnswerParser.h"
#include "backend/BackendLogging.h"
#include "backend/NetworkAccessManager.h"
#include "common/PayloadKeys.h"
#include "logging/LogMask.h"
#include "settings/UserData.h"

#include <QJsonDocument>
#include <QMetaEnum>
#include <QNetworkReply>

namespace {

const char* errorName(int error)
{
    const char* name = QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(error);
    return name != nullptr ? name : "UnknownError";
}

// Debug lines never carry a token, key or machine id in full.
QString compact(const QJsonObject& object)
{
    return LogMask::json(object);
}

} // namespace

AuthLogin::AuthLogin(QObject* parent) : IAuth(parent)
{
    qCInfo(auth_login) << "CREATE";
}

void AuthLogin::slotCheckAuth(const QJsonObject& jObj)
{
    UserData::deleteAuthData();
    const QString login = jObj.value(PayloadKeys::Login).toString();
    const QString password = jObj.value(PayloadKeys::Password).toString();
    qCDebug(auth_login).noquote() << "slotCheckAuth" << login << LogMask::secret(password);

    ApiResult result;
    {
        NetworkAccessManager manager;
        result = manager.checkAuth(login + QLatin1Char(':') + password);
    }
    qCDebug(auth_login).noquote() << compact(result.data) << errorName(result.error) << result.errorString;

    int answer = checkAuthTransportError;
    if (result.error == 0) {
        if (result.data.value(QLatin1String("result")).toBool()) {
            UserData::setLogin(login);
            UserData::setPassword(password);
            answer = checkAuthOk;
        } else {
            answer = checkAuthRefused;
        }
    }
    if (answer != checkAuthOk) {
        // The REST binding took the data into memory to try it; refused data
        // must not stay there, or every later operation would sign in with it.
        UserData::setLogin(QString());
        UserData::setPassword(QString());
    }
    emit signalStatusCheckAuth(status(answer));
}

void AuthLogin::slotCreatePin(const QJsonObject& jObj)
{
    const QString pin = jObj.value(PayloadKeys::PinCode).toString();
    qCDebug(auth_login).noquote() << "slotCreatePin()" << LogMask::secret(pin);
    int answer = createPinRefused;
    if (pinLengthAccepted(pin) && UserData::setPin(pin)) {
        checkUid();
        answer = createPinOk;
    }
    emit signalStatusCreatePin(status(answer));
}

void AuthLogin::slotCheckPin(const QJsonObject& jObj)
{
    const QString pin = jObj.value(PayloadKeys::PinCode).toString();
    int answer = checkPinWrong;
    if (UserData::checkPin(pin)) {
        const int uid = checkUid();
        if (uid == 0)
            answer = checkPinUidRefused;
        else if (uid == 2)
            answer = checkPinBackendDown;
        else
            answer = checkPinOk;
    }
    qCDebug(auth_login) << "slotCheckPin" << answer;
    emit signalStatusCheckPin(status(answer));
}

int AuthLogin::checkUid()
{
    ApiResult result;
    {
        NetworkAccessManager manager;
        result = manager.checkUid();
    }
    qCDebug(auth_login).noquote() << "RESPONSE checkUid():" << compact(result.data);

    if (result.data.contains(QLatin1String("detail"))) {
        const QString detail = result.data.value(QLatin1String("detail")).toString();
        qCCritical(auth_login).noquote() << "REPLY ERROR checkUid()" << detail;
        if (detail == QLatin1String("Not found."))
            return getUid() ? 1 : 0;
        const int code = result.data.value(QLatin1String("code")).toInt();
        if (code >= 402 && code <= 499)
            return getUid() ? 1 : 0;
        return 0;
    }
    if (result.error != 0) {
        if (UserData::getSaveUid().isEmpty())
            return getUid() ? 1 : 0;
        qCCritical(auth_login).noquote() << "REPLY ERROR checkUid()" << result.errorString;
        return 2;
    }
    const QString uid = result.data.value(QLatin1String("uid")).toString();
    if (uid.isEmpty() || uid != UserData::getSaveUid())
        return getUid() ? 1 : 0;
    UserData::setProfileId(static_cast<quint32>(result.data.value(QLatin1String("profile")).toInt()));
    UserData::setToken(
        static_cast<quint32>(AnswerParser::tokenValue(result.data.value(QLatin1String("token")))));
    return 1;
}

bool AuthLogin::getUid()
{
    ApiResult result;
    {
        NetworkAccessManager manager;
        result = manager.getUid();
    }
    if (result.error != 0) {
        qCCritical(auth_login).noquote() << "REPLY ERROR getUid()" << result.errorString;
        return false;
    }
    qCDebug(auth_login).noquote() << "RESPONSE getUid():" << compact(result.data);
    const QString uid = result.data.value(QLatin1String("uid")).toString();
    if (uid.isEmpty()) {
        qCCritical(auth_login) << "UID IS EMPTY";
        return false;
    }
    UserData::saveUid(uid);
    UserData::setToken(
        static_cast<quint32>(AnswerParser::tokenValue(result.data.value(QLatin1String("token")))));
    UserData::saveProfileId(static_cast<quint32>(result.data.value(QLatin1String("profile")).toInt()));
    return true;
}
