#include "link/commands.h"

#include "interface/module_state.h"
#include "link/port_io.h"

namespace sadc {

std::int32_t SendFrame(std::int32_t first, std::int32_t second) {
    PollPort();
    PutByte(first);
    PutByte(second);
    return PutByte((first + second) & 0xFF);
}

// Not built yet: the single-frame commands fail without sending anything.
SadcStatus GetVer(DeviceRecord*) { return 0; }
SadcStatus GetDigIn(DeviceRecord*) { return 0; }
SadcStatus SetDigOut(std::int32_t) { return 0; }
SadcStatus SetChanCode(DeviceRecord*) { return 0; }
SadcStatus SetFilter(std::int16_t) { return 0; }
SadcStatus GetCheckSum() { return 0; }
SadcStatus GotoSleep() { return 0; }
SadcStatus CloseDevice() { return 0; }

} // namespace sadc
