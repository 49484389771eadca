// Opening the port, waking the instrument, agreeing the line speed and
// downloading the set-up.
#pragma once

#include <cstdint>

#include "sadclink.h"

namespace sadc {

// Line speeds by SpeedIndex.
inline constexpr std::int32_t BaudTable[6] = {9600, 4800, 2400, 1200, 600, 300};

// The scan timer preset for ScanTime as the three bytes L, M, H (least
// significant first) of N - 1, where N is the interval in ticks of the scan
// clock: 4882.8125 Hz, or 3906.25 Hz for a negative CounterPreset, divided by
// 2^SpeedIndex. Worked in single precision; SpeedIndex must be 0..5.
void ScanTimerBytes(const DeviceRecord* record, std::uint8_t bytes[3]);

SadcStatus SignOn(DeviceRecord* record);

} // namespace sadc
