#pragma once

#include <QLatin1String>

// Keys of the control channel's envelope and of the payloads ("data") of its
// messages, shared by the agent, the tray program and corvanectl beside the
// message names. A key is written on the wire exactly as spelled here; one
// used by several messages is listed once, under the first that uses it.
namespace PayloadKeys {
// the envelope {"info": name, "data": payload}
inline constexpr QLatin1String Info{"info"};
inline constexpr QLatin1String Data{"data"};
// "STATUSFILTERINGLOCAL" (both ways), "VERSIONS", "STATUS…" replies,
// "CHANGENETINTERFACE" and each entry of "NETWORKINTERFACES"
inline constexpr QLatin1String Status{"status"};
// "SETPROFILEID", "PROFILEID"
inline constexpr QLatin1String ProfileId{"profile_id"};
// "CHECKAUTH": login and password, or an access key as "token"
inline constexpr QLatin1String Login{"login"};
inline constexpr QLatin1String Password{"password"};
inline constexpr QLatin1String Token{"token"};
// "CREATEPIN", "CHECKPIN"
inline constexpr QLatin1String PinCode{"pin_code"};
// "SETCOORDGUI", "COORDGUI"
inline constexpr QLatin1String X{"x"};
inline constexpr QLatin1String Y{"y"};
// "CHANGEDNSPROTOCOL", "DNSPROTOCOL"
inline constexpr QLatin1String DnsProtocol{"dns_protocol"};
// "CHANGENETINTERFACE" and each entry of "NETWORKINTERFACES"
inline constexpr QLatin1String Guid{"guid"};
// "VERSIONS"
inline constexpr QLatin1String CurrVersion{"curr_version"};
inline constexpr QLatin1String GetVersion{"get_version"};
inline constexpr QLatin1String Url{"url"};
// "STATUSFILTERINGSERVER"
inline constexpr QLatin1String FilteringStatus{"filtering_status"};
// "USERINFO"
inline constexpr QLatin1String Username{"username"};
inline constexpr QLatin1String Ip{"ip"};
inline constexpr QLatin1String PlanName{"plan_name"};
inline constexpr QLatin1String DateEnd{"date_end"};
// "PROFILES": an array of {"id", "name"}
inline constexpr QLatin1String Profiles{"profiles"};
inline constexpr QLatin1String Id{"id"};
// each entry of "PROFILES" and of "NETWORKINTERFACES"
inline constexpr QLatin1String Name{"name"};
// "SYSTEMINFO"
inline constexpr QLatin1String SystemInfo{"system_info"};
// "DEBUG": a text holding a JSON array of {"log_name", "log_message"}
inline constexpr QLatin1String Debug{"debug"};
inline constexpr QLatin1String LogName{"log_name"};
inline constexpr QLatin1String LogMessage{"log_message"};
// "STATUSLOG"
inline constexpr QLatin1String StatusLog{"status_log"};
// "STATUSAD"
inline constexpr QLatin1String StatusAd{"status_ad"};
// "NETWORKINTERFACES": an array of {"guid", "name", "status"}
inline constexpr QLatin1String Interfaces{"interfaces"};
// "STATUSRESOLVER"
inline constexpr QLatin1String State{"state"};
inline constexpr QLatin1String Chosen{"chosen"};
inline constexpr QLatin1String InUse{"in_use"};
inline constexpr QLatin1String Since{"since"};
inline constexpr QLatin1String Detail{"detail"};
} // namespace PayloadKeys
