#pragma once

#include <QLoggingCategory>

// The backend library's logging categories. Each accessor builds its category once, on first use,
// and keeps it for the life of the process.

Q_DECLARE_LOGGING_CATEGORY(iauth)
Q_DECLARE_LOGGING_CATEGORY(auth_login)
Q_DECLARE_LOGGING_CATEGORY(auth_token)
Q_DECLARE_LOGGING_CATEGORY(checker_cli)
Q_DECLARE_LOGGING_CATEGORY(checker_version)
Q_DECLARE_LOGGING_CATEGORY(network_manager)
Q_DECLARE_LOGGING_CATEGORY(inetwork)
Q_DECLARE_LOGGING_CATEGORY(jrpc)
Q_DECLARE_LOGGING_CATEGORY(rest_ad)
Q_DECLARE_LOGGING_CATEGORY(rest_local)
