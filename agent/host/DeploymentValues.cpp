#include "host/DeploymentValues.h"

#include "common/RegistryStore.h"
#include "host/HostLogging.h"
#include "settings/ConstData.h"

namespace {
const QString deployGroup = QStringLiteral("DEPLOY");
} // namespace

bool DeploymentValues::Values::isEmpty() const
{
    return accessKey.isEmpty() && login.isEmpty() && password.isEmpty() && pin.isEmpty() &&
           protocol.isEmpty() && failMode.isEmpty();
}

DeploymentValues::Values DeploymentValues::take()
{
    Values values;
    std::unique_ptr<QSettings> store = RegistryStore::open(ConstData::getAddressConf());
    if (!store->childGroups().contains(deployGroup))
        return values;
    store->beginGroup(deployGroup);
    values.accessKey = store->value(QStringLiteral("ACCESSKEY")).toString();
    values.login = store->value(QStringLiteral("LOGIN")).toString();
    values.password = store->value(QStringLiteral("PASSWORD")).toString();
    values.pin = store->value(QStringLiteral("PIN")).toString();
    values.protocol = store->value(QStringLiteral("PROTOCOL")).toString();
    values.failMode = store->value(QStringLiteral("FAILMODE")).toString();
    store->endGroup();
    // Each value serves one start: a repair or a restart must not sign in again.
    store->remove(deployGroup);
    store->sync();
    return values;
}

QStringList DeploymentValues::signInArguments(const Values& values)
{
    QStringList arguments;
    // The command-line sign-in picks the key in directory mode and login and
    // password otherwise; both may be given.
    if (!values.accessKey.isEmpty())
        arguments << QStringLiteral("--token=") + values.accessKey;
    if (!values.login.isEmpty())
        arguments << QStringLiteral("--login=") + values.login;
    if (!values.password.isEmpty())
        arguments << QStringLiteral("--password=") + values.password;
    if (arguments.isEmpty())
        return arguments;
    if (!values.pin.isEmpty())
        arguments << QStringLiteral("--pin=") + values.pin;
    return arguments;
}

bool DeploymentValues::protocolFromText(const QString& text, UserData::ETypeOfDnsProtocol& protocol)
{
    const QString word = text.trimmed().toLower();
    if (word == QLatin1String("dns"))
        protocol = UserData::DNS;
    else if (word == QLatin1String("dot"))
        protocol = UserData::DOT;
    else if (word == QLatin1String("doh"))
        protocol = UserData::DOH;
    else
        return false;
    return true;
}

bool DeploymentValues::failModeFromText(const QString& text, bool& closed)
{
    const QString word = text.trimmed().toLower();
    if (word != QLatin1String("open") && word != QLatin1String("closed"))
        return false;
    closed = word == QLatin1String("closed");
    return true;
}

QStringList DeploymentValues::apply(const Values& values)
{
    if (values.isEmpty())
        return {};
    QStringList taken;
    if (!values.accessKey.isEmpty())
        taken << QStringLiteral("ACCESSKEY");
    if (!values.login.isEmpty())
        taken << QStringLiteral("LOGIN");
    if (!values.password.isEmpty())
        taken << QStringLiteral("PASSWORD");
    if (!values.pin.isEmpty())
        taken << QStringLiteral("PIN");
    if (!values.protocol.isEmpty())
        taken << QStringLiteral("PROTOCOL");
    if (!values.failMode.isEmpty())
        taken << QStringLiteral("FAILMODE");
    qCInfo(main_).noquote() << "deployment values taken and deleted:" << taken.join(QLatin1Char(' '));

    if (!values.protocol.isEmpty()) {
        UserData::ETypeOfDnsProtocol protocol = UserData::DNS;
        if (protocolFromText(values.protocol, protocol)) {
            UserData::setDnsProtocol(protocol);
            qCInfo(main_).noquote() << "deployment protocol" << values.protocol.trimmed().toLower();
        } else {
            // Only the known words reach the setting; the text itself is not
            // the administrator's secret, but it may hold anything.
            qCWarning(main_) << "deployment protocol ignored: not dns, dot or doh";
        }
    }
    if (!values.failMode.isEmpty()) {
        bool closed = false;
        if (failModeFromText(values.failMode, closed)) {
            UserData::setFailClosed(closed);
            qCInfo(main_).noquote() << "deployment fail mode" << (closed ? "closed" : "open");
        } else {
            qCWarning(main_) << "deployment fail mode ignored: not open or closed";
        }
    }
    const QStringList arguments = signInArguments(values);
    if (!values.accessKey.isEmpty() && ConstData::getWorkingMode().first != 2 &&
        (values.login.isEmpty() || values.password.isEmpty()))
        qCWarning(main_) << "deployment access key given, but this computer is not in a directory domain: "
                            "the access key signs in only in directory mode";
    else if (!values.accessKey.isEmpty() && UserData::getNoAdWork() &&
             (values.login.isEmpty() || values.password.isEmpty()))
        qCWarning(main_) << "deployment access key given, but directory mode is switched off (NO_AD)";
    if (arguments.isEmpty() && !values.pin.isEmpty())
        qCWarning(main_) << "deployment PIN given without credentials: nothing to protect";
    return arguments;
}
