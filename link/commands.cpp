#include "link/commands.h"

#include "interface/module_state.h"
#include "link/port_io.h"

namespace sadc {

namespace {
// How long CloseDevice lets the stop frame leave before it closes the port.
constexpr std::uint32_t CloseDrainMs = 2000;

// The reply a command expects in ReplyBuffer[1] onward: echo, then one data
// byte. A reply that did not come whole within ReplyTimeout is a failure;
// bytes left in the buffer by an earlier reply never count.
bool EchoedReply(std::int32_t command) {
    std::uint8_t* reply = &Module.ReplyBuffer[1];
    if (!ReadReply(2, static_cast<float>(Module.ReplyTimeout), reply)) return false;
    return reply[0] == command;
}
} // namespace

std::int32_t SendFrame(std::int32_t first, std::int32_t second) {
    PollPort();
    PutByte(first);
    PutByte(second);
    return PutByte((first + second) & 0xFF);
}

std::int32_t DrainInput(std::uint8_t* dest) {
    std::int32_t drained = 0;
    while (drained < MaxDrainBytes && GetByte(dest)) ++drained;
    return drained;
}

SadcStatus GetVer(DeviceRecord* record) {
    SendFrame(CmdGetVer, 0);
    if (!EchoedReply(CmdGetVer)) return 0;
    record->Version = Module.ReplyBuffer[2];
    return 1;
}

SadcStatus GetDigIn(DeviceRecord* record) {
    // The instrument expects 0x4C as the argument of this command.
    SendFrame(CmdGetDigIn, 0x4C);
    if (!EchoedReply(CmdGetDigIn)) return 0;
    record->DigIn = Module.ReplyBuffer[2];
    return 1;
}

SadcStatus SetDigOut(std::int32_t value) {
    return static_cast<SadcStatus>(SendFrame(CmdSetDigOut, value & 0xFF));
}

SadcStatus SetChanCode(DeviceRecord* record) {
    // A sum, not an OR: a Code above 15 carries into the channel bits.
    std::int32_t code = (record->Channel * 16 + record->Code) & 0xFF;
    return static_cast<SadcStatus>(SendFrame(CmdSetChan, code));
}

SadcStatus SetFilter(std::int16_t value) {
    return static_cast<SadcStatus>(SendFrame(CmdSetFilter, value & 0xFF));
}

SadcStatus GetCheckSum() {
    // The argument 1 asks for the running sum of every byte sent since the
    // last check. Both reply bytes pass through GetByte, so RxChecksum already
    // holds the checksum byte itself when it is compared: the test holds when
    // twice the instrument's byte equals the sum including that byte.
    SendFrame(CmdGetCheckSum, 1);
    bool echoed = EchoedReply(CmdGetCheckSum);
    bool equal = echoed && ((2 * Module.ReplyBuffer[2]) & 0xFF) == Module.RxChecksum;
    Module.RxChecksum = 0; // each check covers the bytes since the previous one
    return equal ? 1 : 0;
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
    // Purging the output right after the writes would drop the stop frame
    // while it is still on its way (USB adapters, pseudo-terminals): let it
    // leave, then discard only what came in.
    Platform->DrainOutput(h, CloseDrainMs);
    Platform->Purge(h, PurgeRxClear);
    Platform->ClosePort(h);
    Module.PortTable[Module.CurrentPort] = InvalidHandle;
    return 1;
}

} // namespace sadc
