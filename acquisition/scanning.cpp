#include "acquisition/scanning.h"

namespace sadc {

// Not built yet.
SadcStatus StartScanning(DeviceRecord*) { return 0; }
SadcStatus GetOneScan(DeviceRecord*, std::int32_t*) { return 0; }
void Gconv(DeviceRecord*, std::int32_t*) {}
void RemoveFromBuffer(std::int32_t, std::int32_t*) {}
SadcStatus StopScanning(DeviceRecord*) { return 0; }

} // namespace sadc
