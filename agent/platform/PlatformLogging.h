#pragma once

#include <QLoggingCategory>

// The platform seam's logging categories. Each accessor builds its category once, on first use,
// and keeps it for the life of the process.

Q_DECLARE_LOGGING_CATEGORY(checker_certificate)
Q_DECLARE_LOGGING_CATEGORY(certificate)
Q_DECLARE_LOGGING_CATEGORY(platform)
