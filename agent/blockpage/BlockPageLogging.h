#pragma once

#include <QLoggingCategory>

// The block page's logging categories. Each accessor builds its category once, on first use,
// and keeps it for the life of the process.

Q_DECLARE_LOGGING_CATEGORY(blockpage)
