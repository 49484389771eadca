// Opening the port, waking the instrument, agreeing the line speed and
// downloading the set-up.
#pragma once

#include <cstdint>

#include "sadclink.h"

namespace sadc {

// Line speeds by SpeedIndex.
inline constexpr std::int32_t BaudTable[6] = {9600, 4800, 2400, 1200, 600, 300};
inline constexpr std::int32_t SpeedCount = 6;

// How many times the whole sign-on is tried before it reports failure.
inline constexpr int SignOnAttempts = 4;

SadcStatus SignOn(DeviceRecord* record);

// The scan timer count for ScanTime on the record's scan clock, as the bytes
// L, M, H that the download sends. Defined for every record: counts beyond
// the 32-bit range saturate and a ScanTime that is not a number gives 0.
void ScanTimerBytes(const DeviceRecord* record, std::uint8_t out[3]);

} // namespace sadc
