#include "converter/ad_mode.h"

namespace sadc {

// Not built yet.
void ComputeFilterCode(DeviceRecord*) {}
void ComputeADMode(DeviceRecord*) {}
SadcStatus CheckADModeEcho(const DeviceRecord*) { return 0; }
SadcStatus SendADMode(DeviceRecord*) { return 0; }

} // namespace sadc
