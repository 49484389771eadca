// The instrument's three 8254-style counters.
#pragma once

#include <cstdint>

#include "sadclink.h"

namespace sadc {

SadcStatus WriteCntr(DeviceRecord* record, std::int32_t counter, std::int32_t value);
SadcStatus LoadCounter(DeviceRecord* record, std::int32_t counter, std::int32_t value);
void PresetCounters(DeviceRecord* record);

} // namespace sadc
