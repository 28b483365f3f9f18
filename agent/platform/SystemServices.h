#pragma once

class AdapterSource;
class MachineInfo;

// The operating system's own implementations; one source file per target
// (SystemServicesLinux.cpp, SystemServicesWin.cpp) defines these.
namespace SystemServices {
AdapterSource& adapterSource();
MachineInfo& machineInfo();
} // namespace SystemServices
