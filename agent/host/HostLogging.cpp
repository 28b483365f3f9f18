#include "host/HostLogging.h"

Q_LOGGING_CATEGORY(main_, "MAIN")
Q_LOGGING_CATEGORY(core, "CORE")
Q_LOGGING_CATEGORY(logging, "LOGGING")
