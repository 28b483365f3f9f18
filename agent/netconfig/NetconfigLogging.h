#pragma once

#include <QLoggingCategory>

// The interface manager's logging categories. Each accessor builds its category once, on first use,
// and keeps it for the life of the process.

Q_DECLARE_LOGGING_CATEGORY(network_interface_manager)
Q_DECLARE_LOGGING_CATEGORY(network_interface)
