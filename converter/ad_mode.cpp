#include "converter/ad_mode.h"

#include <cstdint>

#include "interface/module_state.h"
#include "link/commands.h"
#include "link/port_io.h"

namespace sadc {

namespace {
// The converter's output rate is this clock divided by the 11-bit filter code.
constexpr double ConverterClockHz = 19531.25;
constexpr std::int32_t SlowestCode = 2047;
constexpr std::int32_t FastestCode = 1;

// The filter code for a requested rate. The converter has no code 0 and none
// above 11 bits: a rate faster than the converter gets the fastest code, one
// too slow for 11 bits (or no rate at all: zero, negative, not a number) the
// slowest, instead of a code that wraps or divides by zero.
std::int32_t FilterCodeFor(float rate) {
    if (!(rate > 0.0f)) return SlowestCode;
    double q = ConverterClockHz / static_cast<double>(rate);
    if (q < 1.0) return FastestCode;
    if (q >= SlowestCode + 1.0) return SlowestCode;
    return static_cast<std::int32_t>(q);
}
} // namespace

void ComputeFilterCode(DeviceRecord* record) {
    std::int32_t code = FilterCodeFor(record->DataRate);
    record->ModeLow = static_cast<std::int16_t>(code & 0xFF);
    // Replaces the whole byte: flags of an earlier computation do not survive.
    record->ModeMid = static_cast<std::int16_t>((code & 0x700) >> 8);
    std::int32_t c = (record->ModeMid & 7) * 256 + record->ModeLow;
    // The achieved rate replaces the requested one, in single precision, and
    // the reply time limit follows from that stored value.
    record->DataRate = static_cast<float>(ConverterClockHz / c);
    Module.ReplyTimeout = static_cast<double>(record->AvgCount) / static_cast<double>(record->DataRate) + 2.0;
}

void ComputeADMode(DeviceRecord* record) {
    ComputeFilterCode(record);
    // The least n with Gain <= 2^n; a gain that is not a power of two takes
    // the next higher one.
    std::int32_t n = 0;
    float g = static_cast<float>(record->Gain);
    while (g > 1.0f) {
        g *= 0.5f;
        ++n;
    }
    // Added, not masked: ModeBits above 3 carry into the gain bits.
    record->ModeHigh = static_cast<std::int16_t>(4 * n + record->ModeBits);
    std::int32_t mid = record->ModeMid;
    if (record->ConvBytes == 3) mid |= 0x80; // 24-bit conversion word
    if (record->Bipolar == 0) mid |= 0x10;   // unipolar coding
    record->ModeMid = static_cast<std::int16_t>(mid);
}

SadcStatus CheckADModeEcho(const DeviceRecord* record) {
    std::uint8_t* echo = &Module.ReplyBuffer[1];
    if (!ReadReply(3, static_cast<float>(Module.ReplyTimeout), echo)) return 0;
    // The instrument may set bits 5-7 of its first byte.
    bool same = (echo[0] & 0x1F) == (record->ModeHigh & 0x1F) && echo[1] == record->ModeMid &&
                echo[2] == record->ModeLow;
    return same ? 1 : 0;
}

SadcStatus SendADMode(DeviceRecord* record) {
    SendFrame(CmdSendADMode, 0);
    // The first echo comes within the limit of the mode in force; nothing is
    // computed or changed unless it arrived.
    std::uint8_t* echo = &Module.ReplyBuffer[0];
    if (!ReadReply(1, static_cast<float>(Module.ReplyTimeout), echo)) return 0;
    if (*echo != CmdSendADMode) return 0;
    ComputeADMode(record);
    SendFrame(record->ModeHigh, record->ModeMid);
    SendFrame(record->ModeLow, 0);
    return CheckADModeEcho(record);
}

} // namespace sadc
