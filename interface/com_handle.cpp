#include "interface/com_handle.h"

#include "interface/module_state.h"

namespace sadc {

PortHandle GetComHandle(PortHandle* out) {
    PortHandle h = Module.PortTable[Module.CurrentPort];
    if (out) *out = h;
    return h;
}

void SetComHandle(PortHandle handle) {
    // The slot's former handle is neither closed nor examined; the new one is
    // used as the open port from now on.
    Module.PortTable[Module.CurrentPort] = handle;
}

} // namespace sadc
