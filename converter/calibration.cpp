#include "converter/calibration.h"

#include "converter/ad_mode.h"
#include "interface/module_state.h"
#include "link/commands.h"
#include "link/port_io.h"

namespace sadc {

namespace {
// Channel codes of the system calibration: channel 7 for the offset,
// channel 6 for the full scale, each with code 0.
constexpr std::int32_t SysOffsetChannel = 0x70;
constexpr std::int32_t SysFullScaleChannel = 0x60;
constexpr float SysReplyLimit = 2.0f;

// The reply (echo and data bytes) goes to ReplyBuffer[1..4]: only the two
// word lengths fit.
bool WordLengthFits(const DeviceRecord* r) { return r->ConvBytes == 2 || r->ConvBytes == 3; }

SadcStatus Calibrate(DeviceRecord* record, std::int32_t command) {
    if (!WordLengthFits(record)) return 0;
    SendFrame(command, record->Channel * 16 + record->Code);
    float limit = static_cast<float>(Module.ReplyTimeout + 2.0);
    if (!ReadReply(record->ConvBytes + 1, limit, &Module.ReplyBuffer[1])) return 0;
    return Module.ReplyBuffer[1] == command ? 1 : 0;
}

// A system calibration step: only the arrival of the whole reply counts.
bool SysStep(const DeviceRecord* record, std::int32_t command, std::int32_t channel) {
    SendFrame(command, channel);
    return ReadReply(record->ConvBytes + 1, SysReplyLimit, &Module.ReplyBuffer[1]) != 0;
}
} // namespace

SadcStatus OffsetCal(DeviceRecord* record) { return Calibrate(record, CmdOffsetCal); }

SadcStatus FullScaleCal(DeviceRecord* record) { return Calibrate(record, CmdFullScaleCal); }

SadcStatus SysCal(DeviceRecord* record) {
    if (!WordLengthFits(record)) return 0;
    std::int16_t gain = record->Gain;
    if (gain != 1) {
        record->Gain = 1;
        if (!sadc::SendADMode(record)) return 0;
    }
    if (!SysStep(record, CmdOffsetCal, SysOffsetChannel)) return 0;
    if (!SysStep(record, CmdFullScaleCal, SysFullScaleChannel)) return 0;
    if (gain == 1) return 1;
    record->Gain = gain;
    if (!sadc::SendADMode(record)) return 0;
    if (!SysStep(record, CmdOffsetCal, SysOffsetChannel)) return 0;
    return 1;
}

} // namespace sadc
