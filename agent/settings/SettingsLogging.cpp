#include "settings/SettingsLogging.h"

Q_LOGGING_CATEGORY(const_data, "CONSTDATA")
Q_LOGGING_CATEGORY(user_data, "USERDATA")
Q_LOGGING_CATEGORY(network, "NETWORK")
