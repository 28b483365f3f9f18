#include "platform/Platform.h"

#include "platform/AdapterSource.h"
#include "platform/MachineInfo.h"
#include "platform/ProgramRunner.h"
#include "platform/SystemServices.h"

#include <atomic>

namespace {
std::atomic<ProgramRunner*> runnerOverride{nullptr};
std::atomic<AdapterSource*> adaptersOverride{nullptr};
std::atomic<MachineInfo*> machineOverride{nullptr};
} // namespace

ProgramRunner& Platform::programRunner()
{
    if (ProgramRunner* runner = runnerOverride.load())
        return *runner;
    static ProcessProgramRunner system;
    return system;
}

AdapterSource& Platform::adapterSource()
{
    if (AdapterSource* source = adaptersOverride.load())
        return *source;
    return SystemServices::adapterSource();
}

MachineInfo& Platform::machineInfo()
{
    if (MachineInfo* info = machineOverride.load())
        return *info;
    return SystemServices::machineInfo();
}

void Platform::setProgramRunner(ProgramRunner* runner)
{
    runnerOverride.store(runner);
}

void Platform::setAdapterSource(AdapterSource* source)
{
    adaptersOverride.store(source);
}

void Platform::setMachineInfo(MachineInfo* info)
{
    machineOverride.store(info);
}
