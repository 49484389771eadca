#include "connection/signon.h"

namespace sadc {

// Not built yet.
SadcStatus SignOn(DeviceRecord*) { return 0; }

} // namespace sadc
