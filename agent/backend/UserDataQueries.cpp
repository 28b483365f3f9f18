// The account queries and reports of UserData: each is one round trip to the
// backend on the calling thread. They are declared with the rest of the
// facade in settings/UserData.h but built into this library, which sits above
// the settings store: the store itself never reaches the backend.
#include "settings/UserData.h"

#include "backend/AnswerParser.h"
#include "backend/NetworkAccessManager.h"
#include "common/PayloadKeys.h"
#include "logging/LogMask.h"
#include "platform/DiagnosticCommands.h"
#include "settings/ConstData.h"
#include "settings/SettingsLogging.h"
#include "settings/SystemReport.h"

#include <QDateTime>
#include <QJsonArray>
#include <QSysInfo>

// ---- account queries ----

namespace {

// Bodies in debug lines: tokens and identifiers masked.
QString jsonText(const QJsonObject& object)
{
    return LogMask::json(object);
}

// Logs the outcome of one account query; true when the request went through.
bool logQuery(const ApiResult& result, const char* response, const char* error)
{
    if (result.error != 0) {
        qCCritical(user_data).noquote() << QLatin1String(error) << result.errorString;
        return false;
    }
    qCDebug(user_data).noquote() << QLatin1String(response) << jsonText(result.data);
    return true;
}

} // namespace

QString UserData::getIp()
{
    ApiResult result;
    {
        NetworkAccessManager manager;
        result = manager.getIp();
    }
    if (!logQuery(result, "RESPONSE getIp():", "REPLY ERROR getIp()"))
        return QStringLiteral("unknown");
    // An operation that could not sign in sent nothing and has no answer.
    if (!result.data.contains(QLatin1String("result")))
        return QStringLiteral("unknown");
    const QString ip = AnswerParser::textValue(result.data.value(QLatin1String("result")));
    if (ip.isEmpty())
        qCCritical(user_data) << "IP IS EMPTY";
    return ip;
}

QJsonObject UserData::getUserInfo()
{
    ApiResult result;
    {
        NetworkAccessManager manager;
        result = manager.getUserInfo();
    }
    if (!logQuery(result, "RESPONSE getUserInfo():", "REPLY ERROR getUserInfo()"))
        return QJsonObject();
    QJsonObject info{
        {PayloadKeys::Username, result.data.value(QLatin1String("username"))},
        {PayloadKeys::Ip, getIp()},
        {PayloadKeys::PlanName, result.data.value(QLatin1String("plan_name"))},
    };
    if (result.data.contains(QLatin1String("date_end"))) {
        const QDateTime end = QDateTime::fromString(result.data.value(QLatin1String("date_end")).toString(),
                                                    QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
        info.insert(PayloadKeys::DateEnd,
                    end.isValid() ? end.toString(QStringLiteral("dd.MM.yyyy")) : QString());
    }
    return info;
}

QMap<unsigned, QString> UserData::getProfiles()
{
    QMap<unsigned, QString> profiles;
    ApiResult result;
    {
        NetworkAccessManager manager;
        result = manager.getProfiles();
    }
    if (!logQuery(result, "RESPONSE getProfiles():", "REPLY ERROR getProfiles()"))
        return profiles;
    const QJsonArray list = result.data.value(QLatin1String("result")).toArray();
    for (const QJsonValue& value : list) {
        if (!value.isObject())
            continue;
        const QJsonObject profile = value.toObject();
        const int id = AnswerParser::intValue(profile.value(QLatin1String("id")), -1);
        if (id < 0)
            continue;
        profiles.insert(static_cast<unsigned>(id),
                        AnswerParser::textValue(profile.value(QLatin1String("name"))));
    }
    return profiles;
}

bool UserData::setProfileId(quint32 id)
{
    ApiResult result;
    {
        NetworkAccessManager manager;
        result = manager.setProfile(id);
    }
    if (!logQuery(result, "RESPONSE setProfileId():", "REPLY ERROR setProfileId()"))
        return false;
    // Without an answer (the operation could not sign in) nothing was set.
    if (!result.data.contains(QLatin1String("profile")))
        return false;
    saveProfileId(id);
    return true;
}

bool UserData::removeAgentProfile()
{
    ApiResult result;
    {
        NetworkAccessManager manager;
        result = manager.removeAgentProfile();
    }
    if (result.error != 0)
        qCCritical(user_data).noquote() << "REPLY ERROR removeAgentProfile()" << result.errorString;
    qCDebug(user_data).noquote() << "RESPONSE removeAgentProfile():" << jsonText(result.data);
    const bool removed = AnswerParser::intValue(result.data.value(QLatin1String("result"))) != 0;
    qCInfo(user_data).noquote() << "removeAgentProfile() is" << (removed ? "true" : "false");
    return removed;
}

bool UserData::getFilteringStatus()
{
    ApiResult result;
    {
        NetworkAccessManager manager;
        result = manager.getFilteringStatus();
    }
    if (!logQuery(result, "RESPONSE getFilteringStatus():", "REPLY ERROR getFilteringStatus()"))
        return true;
    const QJsonValue status = result.data.value(QLatin1String("result"));
    if (status.isUndefined()) {
        qCWarning(user_data) << "RESPONSE ERROR getFilteringStatus()";
        return true;
    }
    return status.toBool(true);
}

// ---- system and debug reports ----

bool UserData::sendDebugInfo()
{
    return sendDebugInfo(getDebugInfo());
}

bool UserData::sendDebugInfo(const QString& info)
{
    setLastDebugInfo(info);
    ApiResult result;
    {
        NetworkAccessManager manager;
        result = manager.sendDebugInfo(info);
    }
    if (result.error != 0)
        qCCritical(user_data).noquote() << "REPLY ERROR sendDebugInfo()" << result.errorString;
    qCDebug(user_data).noquote() << "RESPONSE sendDebugInfo():" << jsonText(result.data);
    const bool sent = AnswerParser::intValue(result.data.value(QLatin1String("result"))) != 0;
    qCInfo(user_data).noquote() << "sendDebugInfo() is" << (sent ? "true" : "false");
    return sent;
}

QString UserData::getSystemInfo(const QList<ResolverStatus>& resolver)
{
    SystemReport::Facts facts;
    facts.appName = ConstData::getAppName();
    facts.version = ConstData::getVersion();
    facts.token = getToken();
    facts.showUid = ConstData::getWorkingMode().first == 1 || getNoAdWork();
    if (facts.showUid)
        facts.uid = getSaveUid();
    facts.controlDns = getControlDNS();
    facts.localHostV4 = ConstData::getLocalHostV4();
    facts.localHostV6 = ConstData::getLocalHostV6();
    facts.dnsIpV4 = getDnsIpV4();
    facts.dnsIpV6 = getDnsIpV6();
    facts.protocol = getDnsProtocol();
    facts.profiles = getProfiles();
    facts.profileId = getProfileId();
    facts.supportEmail = ConstData::getSupportEmail();
    facts.interfaces = SystemReport::systemInterfaces();
    facts.osName = ConstData::getOS();
    facts.osDisplayVersion = DiagnosticCommands::osDisplayVersion();
    facts.cpuArchitecture = QSysInfo::currentCpuArchitecture();
    facts.hostName = QSysInfo::machineHostName();
    facts.machineUniqueId = QSysInfo::machineUniqueId();
    facts.resolver = resolver;
    return SystemReport::build(facts);
}
