#pragma once

#include <QLoggingCategory>

// The DNS proxy's logging categories. Each accessor builds its category once, on first use,
// and keeps it for the life of the process.

Q_DECLARE_LOGGING_CATEGORY(snifferdnsudp)
Q_DECLARE_LOGGING_CATEGORY(doh_remoteserver)
Q_DECLARE_LOGGING_CATEGORY(dot_remoteserver)
Q_DECLARE_LOGGING_CATEGORY(udp_remotesocket)
