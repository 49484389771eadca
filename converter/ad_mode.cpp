#include "converter/ad_mode.h"

#include <cstdint>

#include "interface/module_state.h"
#include "link/commands.h"
#include "link/port_io.h"

namespace sadc {

namespace {
// The converter's modulator rate: the output rate is this over the 11-bit code.
constexpr double ModulatorRate = 19531.25;
constexpr std::int32_t SlowestCode = 2047;

// The filter code for a requested rate, always 1..2047: a rate above the
// fastest gets code 1; one below the slowest, or no usable rate at all
// (zero, negative, not a number), gets the slowest code.
std::int32_t FilterCodeFor(float dataRate) {
    if (!(dataRate > 0.0f)) return SlowestCode;
    double q = ModulatorRate / static_cast<double>(dataRate);
    if (!(q < 2048.0)) return SlowestCode;
    if (q < 1.0) return 1;
    return static_cast<std::int32_t>(q);
}
} // namespace

void ComputeFilterCode(DeviceRecord* record) {
    std::int32_t code = FilterCodeFor(record->DataRate);
    record->ModeLow = static_cast<std::int16_t>(code & 0xFF);
    record->ModeMid = static_cast<std::int16_t>((code & 0x700) >> 8);
    std::int32_t c = (record->ModeMid & 7) * 256 + record->ModeLow;
    // The achieved rate replaces the requested one, in single precision.
    record->DataRate = static_cast<float>(ModulatorRate / c);
    // Time for AvgCount conversions at that rate, plus 2 s.
    Module.ReplyTimeout =
        static_cast<double>(record->AvgCount) / static_cast<double>(record->DataRate) + 2.0;
}

void ComputeADMode(DeviceRecord* record) {
    ComputeFilterCode(record);
    // The least n with Gain <= 2^n; 0 for gains of 1 or less.
    std::int32_t n = 0;
    float g = static_cast<float>(record->Gain);
    while (g > 1.0f) {
        g *= 0.5f;
        ++n;
    }
    // ModeBits is added, not masked: a value above 3 carries into the gain.
    record->ModeHigh = static_cast<std::int16_t>(4 * n + record->ModeBits);
    if (record->ConvBytes == 3) record->ModeMid = static_cast<std::int16_t>(record->ModeMid | 0x80);
    if (record->Bipolar == 0) record->ModeMid = static_cast<std::int16_t>(record->ModeMid | 0x10);
}

SadcStatus CheckADModeEcho(const DeviceRecord* record) {
    std::uint8_t* echo = &Module.ReplyBuffer[1];
    if (!ReadReply(3, static_cast<float>(Module.ReplyTimeout), echo)) return 0;
    // Bits 5-7 of the first byte are the instrument's own.
    bool same = (echo[0] & 0x1F) == (record->ModeHigh & 0x1F) &&
                echo[1] == (record->ModeMid & 0xFF) && echo[2] == (record->ModeLow & 0xFF);
    return same ? 1 : 0;
}

SadcStatus SendADMode(DeviceRecord* record) {
    SendFrame(CmdSendADMode, 0);
    // The first wait uses the limit left by the last computation; the echo
    // must have arrived in this call.
    if (!ReadReply(1, static_cast<float>(Module.ReplyTimeout), &Module.ReplyBuffer[0])) return 0;
    if (Module.ReplyBuffer[0] != CmdSendADMode) return 0;
    ComputeADMode(record);
    SendFrame(record->ModeHigh, record->ModeMid);
    SendFrame(record->ModeLow, 0);
    return CheckADModeEcho(record);
}

} // namespace sadc
