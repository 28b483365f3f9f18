#include "dnswire/DnsWireLogging.h"

Q_LOGGING_CATEGORY(remote_dns_server, "REMOTEDNSSERVER")
