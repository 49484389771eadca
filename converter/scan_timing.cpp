#include "converter/scan_timing.h"

#include "link/port_io.h"

namespace sadc {

// Not built yet.
std::int16_t CheckScanTime(DeviceRecord*, double*, double*) { return 0; }
SadcStatus RemoteAvg(DeviceRecord*) { return 0; }
std::int32_t FilterDelay(std::int16_t) { return ClockMs(); }

} // namespace sadc
