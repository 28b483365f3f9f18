#include "dns/DnsLogging.h"

Q_LOGGING_CATEGORY(snifferdnsudp, "SNIFFERDNSUDP")
Q_LOGGING_CATEGORY(doh_remoteserver, "DOHCLIENT")
Q_LOGGING_CATEGORY(dot_remoteserver, "DOTCLIENT")
Q_LOGGING_CATEGORY(udp_remotesocket, "UDPREMOTESOCKET")
