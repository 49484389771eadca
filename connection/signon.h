// Opening the port, waking the instrument, agreeing the line speed and
// downloading the set-up.
#pragma once

#include <cstdint>

#include "sadclink.h"

namespace sadc {

// Line speeds by SpeedIndex.
inline constexpr std::int32_t BaudTable[6] = {9600, 4800, 2400, 1200, 600, 300};

SadcStatus SignOn(DeviceRecord* record);

} // namespace sadc
