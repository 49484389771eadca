// Attaching and reporting the current port's handle.
#pragma once

#include "platform/platform.h"

namespace sadc {

PortHandle GetComHandle(PortHandle* out);
void SetComHandle(PortHandle handle);

} // namespace sadc
