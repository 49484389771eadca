#include "interface/module_state.h"

namespace sadc {

ModuleState Module;

void ModuleLoad() {
    Module = ModuleState{};
    for (PortHandle& slot : Module.PortTable) slot = InvalidHandle;
    Module.CurrentPort = 1;
    Module.ReplyTimeout = 0.0;
    Module.ClockStart = Platform->TickCount();
    Module.LastTick = Module.ClockStart;
    Module.ElapsedMs = 0;
}

namespace {
// Loading the library takes the clock start value before any export can run.
[[maybe_unused]] const bool Loaded = (ModuleLoad(), true);
} // namespace

} // namespace sadc
