#pragma once

#include <QLoggingCategory>

// The service's own log categories (it is a separate program from the agent).
Q_DECLARE_LOGGING_CATEGORY(lcDevService)
Q_DECLARE_LOGGING_CATEGORY(lcDevDns)
Q_DECLARE_LOGGING_CATEGORY(lcDevHttp)
