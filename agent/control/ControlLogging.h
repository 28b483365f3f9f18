#pragma once

#include <QLoggingCategory>

// The control server's logging categories. Each accessor builds its category once, on first use,
// and keeps it for the life of the process.

Q_DECLARE_LOGGING_CATEGORY(local_socket)
Q_DECLARE_LOGGING_CATEGORY(local_socket_get)
Q_DECLARE_LOGGING_CATEGORY(local_socket_send)
