#include "control/ControlLogging.h"

Q_LOGGING_CATEGORY(local_socket, "SOCKET")
Q_LOGGING_CATEGORY(local_socket_get, "SOCKET_GET")
Q_LOGGING_CATEGORY(local_socket_send, "SOCKET_SEND")
