#include "backend/CheckerCli.h"

#include "backend/BackendLogging.h"
#include "common/ControlStatus.h"
#include "common/PayloadKeys.h"
#include "logging/LogMask.h"
#include "settings/ConstData.h"
#include "settings/UserData.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QJsonDocument>

namespace {

// Debug lines never carry a token, key or machine id in full.
QString compact(const QJsonObject& object)
{
    return LogMask::json(object);
}

// The "status" of an answer; -1 (no known status) when it is missing or not a number.
int statusOf(const QJsonObject& jObj)
{
    const QJsonValue value = jObj.value(PayloadKeys::Status);
    if (!value.isDouble())
        return -1;
    return value.toInt(-1);
}

bool adMode()
{
    return ConstData::getWorkingMode().first == 2 && !UserData::getNoAdWork();
}

} // namespace

CheckerCli::Params CheckerCli::parseParams(const QStringList& arguments)
{
    QCommandLineParser parser;
    // "-login" is the option "login", not the letters l, o, g, i, n.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption loginOption(QStringLiteral("login"), QString(), QStringLiteral("login"));
    const QCommandLineOption passwordOption(QStringLiteral("password"), QString(),
                                            QStringLiteral("password"));
    const QCommandLineOption pinOption(QStringLiteral("pin"), QString(), QStringLiteral("pin"));
    const QCommandLineOption tokenOption(QStringLiteral("token"), QString(), QStringLiteral("token"));
    parser.addOptions({loginOption, passwordOption, pinOption, tokenOption});
    // Other options and words belong to the service start; what could be read is used.
    parser.parse(arguments);

    Params params;
    params.login = parser.value(loginOption);
    params.password = parser.value(passwordOption);
    params.pin = parser.value(pinOption);
    params.token = parser.value(tokenOption);
    return params;
}

QString CheckerCli::stateName(int value)
{
    switch (value) {
    case EMPTY:
        return QStringLiteral("EMPTY");
    case HAVE_AUTHDATA:
        return QStringLiteral("HAVE_AUTHDATA");
    case WAIT_ANSWER_AUTHDATA:
        return QStringLiteral("WAIT_ANSWER_AUTHDATA");
    case HAVE_PIN:
        return QStringLiteral("HAVE_PIN");
    case WAIT_ANSWER_PIN:
        return QStringLiteral("WAIT_ANSWER_PIN");
    case SUCCESS:
        return QStringLiteral("SUCCESS");
    default:
        return QStringLiteral("UNKNOWN");
    }
}

CheckerCli::CheckerCli(const QStringList& arguments, QObject* parent) : QObject(parent)
{
    const Params params = parseParams(arguments);
    login = params.login;
    password = params.password;
    pin = params.pin;
    token = params.token;

    timer.setInterval(tickMs);
    connect(&timer, &QTimer::timeout, this, &CheckerCli::slotStep);

    qCInfo(checker_cli) << "CREATE";
    qCInfo(checker_cli) << "parsed params:";
    qCInfo(checker_cli).noquote() << "params.login = " << login;
    qCInfo(checker_cli).noquote() << "params.password = " << LogMask::secret(password);
    qCInfo(checker_cli).noquote() << "params.pin = " << LogMask::secret(pin);
    // The access key is a credential too: only its beginning goes to the log.
    qCInfo(checker_cli).noquote() << "params.token = "
                                  << (token.isEmpty() ? QString() : LogMask::token(token));
    timer.start();
}

void CheckerCli::slotStep()
{
    switch (state) {
    case EMPTY: {
        qCDebug(checker_cli) << "Status EMPTY";
        const bool haveData = adMode() ? !token.isEmpty() : (!login.isEmpty() && !password.isEmpty());
        state = haveData ? HAVE_AUTHDATA : SUCCESS;
        break;
    }
    case HAVE_AUTHDATA: {
        qCDebug(checker_cli) << "Status HAVE_AUTHDATA";
        // The sign-in object answers synchronously: the state must already say
        // "waiting" when its answer arrives inside the emit.
        state = WAIT_ANSWER_AUTHDATA;
        if (adMode())
            emit signalCheckAuth(QJsonObject{{PayloadKeys::Token, token}});
        else
            emit signalCheckAuth(QJsonObject{{PayloadKeys::Login, login}, {PayloadKeys::Password, password}});
        break;
    }
    case WAIT_ANSWER_AUTHDATA:
        qCDebug(checker_cli) << "Status"
                             << "WAIT_ANSWER_AUTHDATA";
        break;
    case HAVE_PIN:
        qCDebug(checker_cli).noquote() << "Status HAVE_PIN" << LogMask::secret(pin);
        if (pin.isEmpty()) {
            state = SUCCESS;
            break;
        }
        state = WAIT_ANSWER_PIN;
        emit signalCreatePin(QJsonObject{{PayloadKeys::PinCode, pin}});
        break;
    case WAIT_ANSWER_PIN:
        qCDebug(checker_cli) << "Status"
                             << "WAIT_ANSWER_PIN";
        break;
    case SUCCESS:
    default:
        qCDebug(checker_cli) << "Status SUCCESS";
        state = SUCCESS;
        timer.stop();
        break;
    }
}

void CheckerCli::slotStatusCheckAuth(QJsonObject jObj)
{
    qCDebug(checker_cli).noquote() << "slotStatusCheckAuth()" << compact(jObj);
    // The GUI's sign-in shares the sign-in object and so its answers: only an
    // answer to this machine's own outstanding check counts.
    if (state != WAIT_ANSWER_AUTHDATA)
        return;
    switch (statusOf(jObj)) {
    case ControlStatus::checkAuthOk:
        state = HAVE_PIN;
        break;
    case ControlStatus::checkAuthTransportError:
        state = HAVE_AUTHDATA;
        break;
    case ControlStatus::checkAuthRefused:
        state = SUCCESS;
        break;
    default:
        break;
    }
}

void CheckerCli::slotStatusCreatePin(QJsonObject jObj)
{
    qCDebug(checker_cli).noquote() << "slotStatusCreatePin()" << compact(jObj);
    if (state != WAIT_ANSWER_PIN)
        return;
    // 0, 3 and 4 are no answers of today's PIN creation; they are taken as
    // the command-line sign-in has always taken them.
    switch (statusOf(jObj)) {
    case 0:
    case ControlStatus::createPinRefused:
        qCWarning(checker_cli) << "WRONG_SIZE!";
        [[fallthrough]];
    case ControlStatus::createPinOk:
    case 3:
        state = SUCCESS;
        emit signalSuccess();
        break;
    case 4:
        state = HAVE_PIN;
        break;
    default:
        break;
    }
}
