#include "link/commands.h"

#include "interface/module_state.h"
#include "link/port_io.h"
#include "platform/platform.h"

namespace sadc {

namespace {
// How long CloseDevice lets its stop frame leave the port before closing.
constexpr std::uint32_t CloseDrainMs = 2000;

float ReplyLimit() { return static_cast<float>(Module.ReplyTimeout); }

// Sends a frame and reads a two-byte echoed reply into ReplyBuffer[1..2].
// Returns 1 only when both bytes arrived during this call and the first is
// the echo: a reply that never came is a failure, not stale bytes.
std::int32_t EchoedReply(std::int32_t command, std::int32_t argument) {
    SendFrame(command, argument);
    std::int32_t complete = ReadReply(2, ReplyLimit(), &Module.ReplyBuffer[1]);
    return complete && Module.ReplyBuffer[1] == command;
}
} // namespace

std::int32_t DrainInput(std::uint8_t* dest) {
    std::int32_t drained = 0;
    while (drained < MaxDrainBytes && GetByte(dest)) ++drained;
    return drained;
}

std::int32_t SendFrame(std::int32_t first, std::int32_t second) {
    PollPort();
    PutByte(first);
    PutByte(second);
    // The check byte is the sum of the two low bytes (formed on the low bytes
    // so that no argument can overflow the sum).
    return PutByte(((first & 0xFF) + (second & 0xFF)) & 0xFF);
}

SadcStatus GetVer(DeviceRecord* record) {
    if (!EchoedReply(CmdGetVer, 0)) return 0;
    record->Version = Module.ReplyBuffer[2];
    return 1;
}

SadcStatus GetDigIn(DeviceRecord* record) {
    if (!EchoedReply(CmdGetDigIn, 0x4C)) return 0;
    record->DigIn = Module.ReplyBuffer[2];
    return 1;
}

SadcStatus SetDigOut(std::int32_t value) {
    return static_cast<SadcStatus>(SendFrame(CmdSetDigOut, value & 0xFF));
}

SadcStatus SetChanCode(DeviceRecord* record) {
    std::int32_t code = record->Channel * 16 + record->Code;
    return static_cast<SadcStatus>(SendFrame(CmdSetChan, code & 0xFF));
}

SadcStatus SetFilter(std::int16_t value) {
    return static_cast<SadcStatus>(SendFrame(CmdSetFilter, value & 0xFF));
}

SadcStatus GetCheckSum() {
    SendFrame(CmdGetCheckSum, 1);
    // Both reply bytes pass through GetByte, so RxChecksum already holds the
    // checksum byte itself: the test holds when the instrument's byte equals
    // the sum of everything received since the last reset.
    std::int32_t complete = ReadReply(2, ReplyLimit(), &Module.ReplyBuffer[1]);
    bool ok = complete && Module.ReplyBuffer[1] == CmdGetCheckSum &&
              ((2 * Module.ReplyBuffer[2]) & 0xFF) == Module.RxChecksum;
    Module.RxChecksum = 0;
    return ok ? 1 : 0;
}

SadcStatus GotoSleep() {
    SendFrame(CmdSleep, 0);
    DelaySeconds(0.5f);
    // The instrument answers 0x80, not the command code, as it goes to sleep.
    if (DrainInput(&Module.ReplyBuffer[0]) == 0) return 0;
    return Module.ReplyBuffer[0] == 0x80 ? 1 : 0;
}

SadcStatus CloseDevice() {
    PortHandle h = CurrentHandle();
    if (h == InvalidHandle) return 1;
    SendFrame(CmdStop, 0);
    PutByte(SyncByte);
    // Let the stop frame leave before the port goes: purging the output now
    // would throw it away. Only the input is discarded.
    Platform->DrainOutput(h, CloseDrainMs);
    Platform->Purge(h, PurgeRxClear);
    Platform->ClosePort(h);
    Module.PortTable[Module.CurrentPort] = InvalidHandle;
    return 1;
}

} // namespace sadc
