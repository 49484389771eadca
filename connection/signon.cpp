#include "connection/signon.h"

#include <cstdio>

#include "converter/ad_mode.h"
#include "counters/counters.h"
#include "interface/diagnostics.h"
#include "interface/module_state.h"
#include "link/commands.h"
#include "link/port_io.h"

namespace sadc {

namespace {

constexpr int Attempts = 4;
constexpr int WakeUpTries = 10;
constexpr std::int64_t WakeUpTicks = 10; // about half a second per try
constexpr std::int32_t SpeedRequest = 0x88;

enum class Step { Done, GiveUp, StartOver };

struct PortName {
    char Text[16];
};

PortName NameOf(const DeviceRecord* record) {
    PortName n{};
    std::snprintf(n.Text, sizeof n.Text, "COM%d", record->ComPort + 1);
    return n;
}

void CloseSlot() {
    PortHandle h = CurrentHandle();
    if (h != InvalidHandle) Platform->ClosePort(h);
    Module.PortTable[Module.CurrentPort] = InvalidHandle;
}

// Opens and sets up the port at a line speed; false means give up.
bool SetUpPort(const DeviceRecord* record, std::int32_t baud) {
    PortName name = NameOf(record);
    PortHandle h = Platform->OpenPort(name.Text);
    Module.PortTable[Module.CurrentPort] = h;
    if (h == InvalidHandle) {
        NoteFailure("could not open %s", name.Text);
        return false;
    }
    char mode[48];
    std::snprintf(mode, sizeof mode, "%s:%ld,n,8,1", name.Text, static_cast<long>(baud));
    if (!Platform->ConfigureLine(h, mode, baud)) {
        NoteFailure("could not set %s to %ld baud, no parity, 8 data bits, 1 stop bit", name.Text,
                    static_cast<long>(baud));
        return false;
    }
    if (!Platform->SetQueueSizes(h, record->InQueueSize, record->OutQueueSize)) {
        NoteFailure("the driver of %s refused queue sizes of %ld and %ld bytes", name.Text,
                    static_cast<long>(record->InQueueSize), static_cast<long>(record->OutQueueSize));
        return false;
    }
    if (!Platform->SetReadTimeouts(h)) {
        NoteFailure("could not set the read time-outs of %s", name.Text);
        return false;
    }
    PurgePort();
    return true;
}

// Sends the wake-up byte up to ten times and waits about half a second after
// each for the instrument's answer; other bytes are ignored.
bool WakeUp() {
    for (int t = 0; t < WakeUpTries; ++t) {
        PutByte(SyncByte);
        std::int64_t end = TicksAt(ClockMs64()) + WakeUpTicks;
        std::int64_t endMs = FirstMsOfTick(end);
        for (;;) {
            bool got = GetByte(&Module.ReplyBuffer[0]) != 0;
            if (got && Module.ReplyBuffer[0] == SyncReply) return true;
            Platform->PeekMessages();
            if (TicksAt(ClockMs64()) >= end) break;
            if (!got) WaitInputUntil(endMs);
        }
    }
    return false;
}

// True when a byte arrives within the limit: the line was not quiet.
bool ByteArrives(float seconds) { return ReadReply(1, seconds, &Module.ReplyBuffer[0]) != 0; }

Step Attempt(DeviceRecord* record) {
    PortName name = NameOf(record);
    std::int32_t speed = record->SpeedIndex;

    if (!SetUpPort(record, BaudTable[5])) return Step::GiveUp;
    if (!WakeUp()) {
        NoteFailure("no instrument answered the wake-up on %s", name.Text);
        return Step::GiveUp;
    }
    WaitTicks(5);
    if (ByteArrives(0.1f)) {
        NoteFailure("the line on %s did not fall quiet after the wake-up", name.Text);
        return Step::StartOver;
    }
    Module.RxChecksum = 0;
    PutByte(SpeedRequest);
    if (ByteArrives(0.1f)) {
        NoteFailure("the instrument on %s answered the speed request byte", name.Text);
        return Step::StartOver;
    }
    WaitTicks(2);
    PutByte(speed);
    if (!ByteArrives(1.0f)) {
        NoteFailure("no speed echo from the instrument on %s", name.Text);
        return Step::GiveUp;
    }
    if (Module.ReplyBuffer[0] != speed) {
        NoteFailure("the speed echo on %s was %02X, not %02X", name.Text, Module.ReplyBuffer[0],
                    static_cast<unsigned>(speed));
        return Step::StartOver;
    }

    CloseSlot();
    if (!SetUpPort(record, BaudTable[speed])) return Step::GiveUp;
    WaitTicks(5);
    PutByte(SyncByte);

    ComputeADMode(record);
    SendFrame(record->ModeHigh, record->ModeMid);
    SendFrame(record->ModeLow, 0);
    SendFrame(static_cast<std::int32_t>(record->AvgCount & 0xFF), record->FilterSel);
    SendFrame(0, 0);
    std::uint8_t* echo = &Module.ReplyBuffer[1];
    if (!ReadReply(3, 1.0f, echo)) {
        NoteFailure("no mode echo from the instrument on %s", name.Text);
        return Step::StartOver;
    }
    if ((echo[0] & 0x1F) != (record->ModeHigh & 0x1F) || echo[1] != (record->ModeMid & 0xFF) ||
        echo[2] != (record->ModeLow & 0xFF)) {
        NoteFailure("the mode echo differed on %s (sent %02X %02X %02X, received %02X %02X %02X)",
                    name.Text, record->ModeHigh & 0xFF, record->ModeMid & 0xFF,
                    record->ModeLow & 0xFF, echo[0], echo[1], echo[2]);
        return Step::StartOver;
    }

    std::uint8_t timer[3];
    ScanTimerBytes(record, timer);
    const std::int16_t* cfg = record->ScanConfig;
    SendFrame(timer[0], timer[1]);
    SendFrame(timer[2], cfg[0]);
    SendFrame(cfg[1], cfg[2]);
    SendFrame(cfg[3], cfg[4]);
    SendFrame(cfg[5], 0);

    // Whatever the instrument sends while it settles is discarded (it still
    // counts into the running checksum).
    WaitTicks(4);
    DrainInput(&Module.ReplyBuffer[0]);
    Module.ScanCount = 0;

    if (!sadc::GetVer(record)) {
        NoteFailure("no version reply from the instrument on %s", name.Text);
        return Step::StartOver;
    }
    if (record->Version > 100) PresetCounters(record);
    return Step::Done;
}

// Single-precision truncation that saturates instead of overflowing.
std::int32_t Trunc32(float x) {
    if (!(x == x)) return 0;
    if (x >= 2147483648.0f) return 2147483647;
    if (x <= -2147483648.0f) return -2147483647 - 1;
    return static_cast<std::int32_t>(x);
}

} // namespace

void ScanTimerBytes(const DeviceRecord* record, std::uint8_t bytes[3]) {
    float f = (record->CounterPreset < 0 ? 3906.25f : 4882.8125f) /
              static_cast<float>(1 << record->SpeedIndex);
    double wide = (record->ScanTime + 0.00005) * static_cast<double>(f) - 1.0;
    // A count past what a 32-bit integer holds saturates; not a number is 0.
    if (!(wide == wide)) wide = 0.0;
    if (wide > 2147483520.0) wide = 2147483520.0;
    if (wide < -2147483520.0) wide = -2147483520.0;
    float c = static_cast<float>(wide);
    float h = c * (1.0f / 65536.0f);
    std::int32_t H = Trunc32(h);
    c = c - static_cast<float>(H) * 65536.0f;
    float m = c * (1.0f / 256.0f);
    std::int32_t M = Trunc32(m);
    c = c - static_cast<float>(M) * 256.0f;
    std::int32_t L = Trunc32(c);
    bytes[0] = static_cast<std::uint8_t>(L);
    bytes[1] = static_cast<std::uint8_t>(M);
    bytes[2] = static_cast<std::uint8_t>(H);
}

SadcStatus SignOn(DeviceRecord* record) {
    ClearFailure();
    // Out-of-range values would index the port table or the speed table.
    if (record->ComPort < 0 || record->ComPort >= PortSlots || record->SpeedIndex < 0 ||
        record->SpeedIndex > 5) {
        NoteFailure("port number %d or speed index %d out of range (0..15, 0..5)",
                    record->ComPort, record->SpeedIndex);
        return 0;
    }
    for (int a = 0; a < Attempts; ++a) {
        Module.CurrentPort = record->ComPort;
        // A handle left in the slot (an earlier sign-on's or an attached one)
        // is closed without a word to the instrument.
        CloseSlot();
        Step s = Attempt(record);
        if (s == Step::Done) {
            ClearFailure();
            return 1;
        }
        CloseSlot();
        if (s == Step::GiveUp) return 0;
    }
    return 0;
}

} // namespace sadc
