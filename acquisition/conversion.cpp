#include "acquisition/conversion.h"

namespace sadc {

// Not built yet.
SadcStatus GetConversion(DeviceRecord*) { return 0; }
double Counts2Volts(std::int32_t, std::int16_t, std::int16_t) { return 0.0; }

} // namespace sadc
