#pragma once

#include <QLoggingCategory>

// The DNS wire library's logging categories. Each accessor builds its category once, on first use,
// and keeps it for the life of the process.

Q_DECLARE_LOGGING_CATEGORY(remote_dns_server)
