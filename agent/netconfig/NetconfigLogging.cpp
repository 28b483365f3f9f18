#include "netconfig/NetconfigLogging.h"

Q_LOGGING_CATEGORY(network_interface_manager, "NETWORKINTERFACEMANAGER")
Q_LOGGING_CATEGORY(network_interface, "NETWORKINTERFACE")
