#pragma once

class AdapterSource;
class MachineInfo;
class ProgramRunner;

// The one switchboard of operating-system services. The system implementations
// are built for the target at compile time; tests put fakes in their place.
class Platform
{
public:
    static ProgramRunner& programRunner();
    static AdapterSource& adapterSource();
    static MachineInfo& machineInfo();

    // Replace an implementation (the caller keeps ownership and must keep it
    // alive while installed); nullptr puts the system implementation back.
    static void setProgramRunner(ProgramRunner* runner);
    static void setAdapterSource(AdapterSource* source);
    static void setMachineInfo(MachineInfo* info);
};
