#include "platform/PlatformLogging.h"

Q_LOGGING_CATEGORY(checker_certificate, "CHECKERCERTIFICATE")
Q_LOGGING_CATEGORY(certificate, "CERTIFICATE")
Q_LOGGING_CATEGORY(platform, "PLATFORM")
