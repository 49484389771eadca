#include "counters/counters.h"

#include "link/commands.h"

namespace sadc {

namespace {
// Channel-code bits that turn the next data frames into counter traffic:
// 0x84 | counter before a count, 0x87 before a control byte. ORed with the
// record's own channel code, not added.
constexpr std::int32_t CountSelect = 0x84;
constexpr std::int32_t ControlSelect = 0x87;

std::int32_t ChannelBits(const DeviceRecord* record) {
    return (record->Channel << 4) | record->Code;
}

// 8254 control word: counter in bits 7-6, low byte then high byte (11), the
// counting mode (2 rate generator for counter 0, 1 one-shot for the others),
// binary counting.
std::int32_t ControlByte(std::int32_t counter) {
    return counter * 64 + 0x30 + (counter == 0 ? 4 : 2);
}
} // namespace

SadcStatus WriteCntr(DeviceRecord* record, std::int32_t counter, std::int32_t value) {
    // Both parts round toward zero, so a negative value is sent as its
    // quotient and remainder by 256, each as its low byte.
    std::int32_t high = value / 256;
    std::int32_t low = value - 256 * high;
    SendFrame(CmdSetChan, ChannelBits(record) | CountSelect | counter);
    SendFrame(CmdCounterData, low);
    return static_cast<SadcStatus>(SendFrame(CmdCounterData, high));
}

SadcStatus LoadCounter(DeviceRecord* record, std::int32_t counter, std::int32_t value) {
    SendFrame(CmdSetChan, ChannelBits(record) | ControlSelect);
    SendFrame(CmdCounterData, ControlByte(counter));
    return sadc::WriteCntr(record, counter, value);
}

void PresetCounters(DeviceRecord* record) {
    LoadCounter(record, 0, record->CounterPreset);
    LoadCounter(record, 1, record->CounterPreset);
    LoadCounter(record, 2, 1);
}

} // namespace sadc
