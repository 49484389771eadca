// The timing rules of scanning: the interval check, the averaging exponent
// and the filter settling wait.
#pragma once

#include <cstdint>

#include "sadclink.h"

namespace sadc {

std::int16_t CheckScanTime(DeviceRecord* record, double* maxTime, double* minTime);
SadcStatus RemoteAvg(DeviceRecord* record);
std::int32_t FilterDelay(std::int16_t selection);

} // namespace sadc
