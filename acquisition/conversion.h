// Single conversions and the scaling rule.
#pragma once

#include <cstdint>

#include "sadclink.h"

namespace sadc {

// Per count, on the 5000 full scale of a 24-bit word.
inline constexpr double ScaleConstant = 0.0002980232;

SadcStatus GetConversion(DeviceRecord* record);
double Counts2Volts(std::int32_t counts, std::int16_t convBytes, std::int16_t bipolar);

} // namespace sadc
