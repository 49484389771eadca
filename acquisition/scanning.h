// Continuous scanning into the caller's scan buffer.
#pragma once

#include <cstdint>

#include "sadclink.h"

namespace sadc {

SadcStatus StartScanning(DeviceRecord* record);
SadcStatus GetOneScan(DeviceRecord* record, std::int32_t* scanBuffer);
void Gconv(DeviceRecord* record, std::int32_t* scanBuffer);
void RemoveFromBuffer(std::int32_t count, std::int32_t* scanBuffer);
SadcStatus StopScanning(DeviceRecord* record);

} // namespace sadc
