#include "blockpage/BlockPageLogging.h"

Q_LOGGING_CATEGORY(blockpage, "BLOCKPAGE")
