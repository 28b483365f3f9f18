#include "certificates/CertificatesLogging.h"

Q_LOGGING_CATEGORY(downloader, "DOWNLOADER")
