#pragma once

#include <QtGlobal>

class AdapterSource;
class MachineInfo;

// The operating system's own implementations; one source file per target
// (SystemServicesLinux.cpp, SystemServicesWin.cpp) defines these.
namespace SystemServices {
AdapterSource& adapterSource();
MachineInfo& machineInfo();
// Ends the sending direction of a connected TCP socket: the peer reads the
// end of the stream while the socket can still take what the peer sends.
bool stopSending(qintptr socketDescriptor);
} // namespace SystemServices
