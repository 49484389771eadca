#include "converter/calibration.h"

namespace sadc {

// Not built yet.
SadcStatus OffsetCal(DeviceRecord*) { return 0; }
SadcStatus FullScaleCal(DeviceRecord*) { return 0; }
SadcStatus SysCal(DeviceRecord*) { return 0; }

} // namespace sadc
