// Offset, full-scale and system calibration.
#pragma once

#include "sadclink.h"

namespace sadc {

SadcStatus OffsetCal(DeviceRecord* record);
SadcStatus FullScaleCal(DeviceRecord* record);
SadcStatus SysCal(DeviceRecord* record);

} // namespace sadc
