#pragma once

#include <QLatin1String>

// Keys of the control channel's envelope and of the payloads ("data") of its
// messages, shared by the agent, the tray program and corvanectl beside the
// message names. A key is written on the wire exactly as spelled here; one
// used by several messages is listed once, under the first that uses it.
namespace PayloadKeys {
// The size from the literal itself: QLatin1String's own constructor counts
// with strlen, which not every compiler evaluates at compile time.
template <int N> constexpr QLatin1String key(const char (&text)[N])
{
    return QLatin1String(text, N - 1);
}

// the envelope {"info": name, "data": payload}
inline constexpr QLatin1String Info = key("info");
inline constexpr QLatin1String Data = key("data");
// "STATUSFILTERINGLOCAL" (both ways), "VERSIONS", "STATUS…" replies,
// "CHANGENETINTERFACE" and each entry of "NETWORKINTERFACES"
inline constexpr QLatin1String Status = key("status");
// "SETPROFILEID", "PROFILEID"
inline constexpr QLatin1String ProfileId = key("profile_id");
// "CHECKAUTH": login and password, or an access key as "token"
inline constexpr QLatin1String Login = key("login");
inline constexpr QLatin1String Password = key("password");
inline constexpr QLatin1String Token = key("token");
// "CREATEPIN", "CHECKPIN"
inline constexpr QLatin1String PinCode = key("pin_code");
// "SETCOORDGUI", "COORDGUI"
inline constexpr QLatin1String X = key("x");
inline constexpr QLatin1String Y = key("y");
// "CHANGEDNSPROTOCOL", "DNSPROTOCOL"
inline constexpr QLatin1String DnsProtocol = key("dns_protocol");
// "CHANGENETINTERFACE" and each entry of "NETWORKINTERFACES"
inline constexpr QLatin1String Guid = key("guid");
// "VERSIONS"
inline constexpr QLatin1String CurrVersion = key("curr_version");
inline constexpr QLatin1String GetVersion = key("get_version");
inline constexpr QLatin1String Url = key("url");
// "STATUSFILTERINGSERVER"
inline constexpr QLatin1String FilteringStatus = key("filtering_status");
// "USERINFO"
inline constexpr QLatin1String Username = key("username");
inline constexpr QLatin1String Ip = key("ip");
inline constexpr QLatin1String PlanName = key("plan_name");
inline constexpr QLatin1String DateEnd = key("date_end");
// "PROFILES": an array of {"id", "name"}
inline constexpr QLatin1String Profiles = key("profiles");
inline constexpr QLatin1String Id = key("id");
// each entry of "PROFILES" and of "NETWORKINTERFACES"
inline constexpr QLatin1String Name = key("name");
// "SYSTEMINFO"
inline constexpr QLatin1String SystemInfo = key("system_info");
// "DEBUG": a text holding a JSON array of {"log_name", "log_message"}
inline constexpr QLatin1String Debug = key("debug");
inline constexpr QLatin1String LogName = key("log_name");
inline constexpr QLatin1String LogMessage = key("log_message");
// "STATUSLOG"
inline constexpr QLatin1String StatusLog = key("status_log");
// "STATUSAD"
inline constexpr QLatin1String StatusAd = key("status_ad");
// "NETWORKINTERFACES": an array of {"guid", "name", "status"}
inline constexpr QLatin1String Interfaces = key("interfaces");
// "STATUSRESOLVER"
inline constexpr QLatin1String State = key("state");
inline constexpr QLatin1String Chosen = key("chosen");
inline constexpr QLatin1String InUse = key("in_use");
inline constexpr QLatin1String Since = key("since");
inline constexpr QLatin1String Detail = key("detail");
} // namespace PayloadKeys
