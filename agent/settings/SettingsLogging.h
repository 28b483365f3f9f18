#pragma once

#include <QLoggingCategory>

// The settings store's logging categories. Each accessor builds its category once, on first use,
// and keeps it for the life of the process.

Q_DECLARE_LOGGING_CATEGORY(const_data)
Q_DECLARE_LOGGING_CATEGORY(user_data)
Q_DECLARE_LOGGING_CATEGORY(network)
