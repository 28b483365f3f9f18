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

enum class AcceptResult
{
    Accepted,       // `accepted` holds the new connection's descriptor
    Empty,          // nothing waiting
    Aborted,        // the peer left before it was taken; the next may be there
    OutOfResources, // no descriptor or buffer for it: it stays queued
    Failed,
};
// Takes one waiting connection from a non-blocking listening socket.
AcceptResult acceptConnection(qintptr listener, qintptr* accepted);
void closeSocket(qintptr socketDescriptor);
} // namespace SystemServices
