#include "counters/counters.h"

namespace sadc {

// Not built yet.
SadcStatus WriteCntr(DeviceRecord*, std::int32_t, std::int32_t) { return 0; }
SadcStatus LoadCounter(DeviceRecord*, std::int32_t, std::int32_t) { return 0; }
void PresetCounters(DeviceRecord*) {}

} // namespace sadc
