#include "counters/counters.h"

#include "link/commands.h"

namespace sadc {

namespace {
// Channel code bits that address the counters: 0x84 | counter before a
// count, 0x87 before a control byte. ORed, not added.
std::int32_t CounterChannelCode(const DeviceRecord* record, std::int32_t bits) {
    return (record->Channel << 4) | record->Code | bits;
}

// 8254 control word: counter select, low byte then high byte, mode 2 for
// counter 0 (rate generator) and mode 1 for the others, binary counting.
std::int32_t ControlByte(std::int32_t counter) {
    return counter * 64 + 0x30 + (counter == 0 ? 4 : 2);
}
} // namespace

SadcStatus WriteCntr(DeviceRecord* record, std::int32_t counter, std::int32_t value) {
    std::int32_t high = value / 256;
    std::int32_t low = value - 256 * high;
    SendFrame(CmdSetChan, CounterChannelCode(record, 0x84 | counter));
    SendFrame(CmdCounterData, low);
    return static_cast<SadcStatus>(SendFrame(CmdCounterData, high));
}

SadcStatus LoadCounter(DeviceRecord* record, std::int32_t counter, std::int32_t value) {
    SendFrame(CmdSetChan, CounterChannelCode(record, 0x87));
    SendFrame(CmdCounterData, ControlByte(counter));
    return sadc::WriteCntr(record, counter, value);
}

void PresetCounters(DeviceRecord* record) {
    LoadCounter(record, 0, record->CounterPreset);
    LoadCounter(record, 1, record->CounterPreset);
    LoadCounter(record, 2, 1);
}

} // namespace sadc
