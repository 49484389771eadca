// The converter's three mode bytes, the achieved output rate and the reply
// time limit that follows from them.
#pragma once

#include "sadclink.h"

namespace sadc {

void ComputeFilterCode(DeviceRecord* record);
void ComputeADMode(DeviceRecord* record);
SadcStatus CheckADModeEcho(const DeviceRecord* record);
SadcStatus SendADMode(DeviceRecord* record);

} // namespace sadc
