#pragma once

// Message names of the control channel, shared by the agent and the tray program.
namespace MessageNames {
// greetings
inline constexpr char HelloGui[] = "HELLOGUI";
inline constexpr char HelloSupport[] = "HELLOSUPPORT";
inline constexpr char HelloAgent[] = "HELLOAGENT";
// commands, client to agent, in the order the agent tests them
inline constexpr char GetVersion[] = "GETVERSION";
inline constexpr char Login[] = "LOGIN";
inline constexpr char Logout[] = "LOGOUT";
inline constexpr char StatusFilteringLocal[] = "STATUSFILTERINGLOCAL";
inline constexpr char GetProfiles[] = "GETPROFILES";
inline constexpr char GetProfileId[] = "GETPROFILEID";
inline constexpr char SetProfileId[] = "SETPROFILEID";
inline constexpr char GetSystemInfo[] = "GETSYSTEMINFO";
inline constexpr char GetDebug[] = "GETDEBUG";
inline constexpr char SendDebugInfo[] = "SENDDEBUGINFO";
inline constexpr char GetSettings[] = "GETSETTINGS";
inline constexpr char CheckAuth[] = "CHECKAUTH";
inline constexpr char CreatePin[] = "CREATEPIN";
inline constexpr char CheckPin[] = "CHECKPIN";
inline constexpr char AuthData[] = "AUTHDATA";
inline constexpr char GetCoordGui[] = "GETCOORDGUI";
inline constexpr char SetCoordGui[] = "SETCOORDGUI";
inline constexpr char ChangeStatusLog[] = "CHANGESTATUSLOG";
inline constexpr char ChangeDnsProtocol[] = "CHANGEDNSPROTOCOL";
inline constexpr char ChangeNetInterface[] = "CHANGENETINTERFACE";
// replies and unsolicited messages, agent to client
inline constexpr char Versions[] = "VERSIONS";
inline constexpr char StatusFilteringServer[] = "STATUSFILTERINGSERVER";
inline constexpr char UserInfo[] = "USERINFO";
inline constexpr char Profiles[] = "PROFILES";
inline constexpr char ProfileId[] = "PROFILEID";
inline constexpr char SystemInfo[] = "SYSTEMINFO";
inline constexpr char Debug[] = "DEBUG";
inline constexpr char StatusCheckAuth[] = "STATUSCHECKAUTH";
inline constexpr char StatusCreatePin[] = "STATUSCREATEPIN";
inline constexpr char StatusCheckPin[] = "STATUSCHECKPIN";
inline constexpr char StatusAuthData[] = "STATUSAUTHDATA";
inline constexpr char CoordGui[] = "COORDGUI";
inline constexpr char StatusLog[] = "STATUSLOG";
inline constexpr char StatusAd[] = "STATUSAD";
inline constexpr char DnsProtocol[] = "DNSPROTOCOL";
inline constexpr char NetworkInterfaces[] = "NETWORKINTERFACES";
inline constexpr char StatusResolver[] = "STATUSRESOLVER";
} // namespace MessageNames
