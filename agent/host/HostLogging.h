#pragma once

#include <QLoggingCategory>

// The agent host's logging categories. Each accessor builds its category once, on first use,
// and keeps it for the life of the process.

Q_DECLARE_LOGGING_CATEGORY(main_)
Q_DECLARE_LOGGING_CATEGORY(core)
Q_DECLARE_LOGGING_CATEGORY(logging)
