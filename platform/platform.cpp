#include "platform/platform.h"

namespace sadc {

// Constant-initialised, so it is in force before any static constructor runs.
const PlatformOps* Platform = &NativePlatform;

} // namespace sadc
