#include "connection/signon.h"

#include <cmath>
#include <cstdio>

#include "converter/ad_mode.h"
#include "counters/counters.h"
#include "interface/diagnostics.h"
#include "interface/module_state.h"
#include "link/commands.h"
#include "link/port_io.h"

namespace sadc {

namespace {

// The instrument answers the wake-up on the line speed it wakes with.
constexpr std::int32_t WakeBaud = 300;
constexpr int WakeTries = 10;
constexpr std::int64_t WakeTicksPerTry = 10; // about half a second
// The single byte that asks the instrument for a change of line speed.
constexpr std::int32_t SpeedRequest = 0x88;
constexpr float QuietSeconds = 0.1f;
constexpr float EchoSeconds = 1.0f;

// Scan clock: the rate a non-negative CounterPreset selects, and the slower
// one of a negative preset, both divided by 2^SpeedIndex.
constexpr float ScanClockHz = 4882.8125f;
constexpr float SlowScanClockHz = 3906.25f;

enum class Outcome { SignedOn, StartOver, GiveUp };

struct Session {
    DeviceRecord* Record;
    char Name[16]; // "COMn"
};

void CloseSlot() {
    PortHandle& slot = Module.PortTable[Module.CurrentPort];
    if (slot != InvalidHandle) Platform->ClosePort(slot);
    slot = InvalidHandle;
}

bool SetUpPort(const Session& s, std::int32_t baud) {
    PortHandle h = Platform->OpenPort(s.Name);
    Module.PortTable[Module.CurrentPort] = h;
    if (h == InvalidHandle) {
        NoteFailure("%s could not be opened", s.Name);
        return false;
    }
    char mode[40];
    std::snprintf(mode, sizeof mode, "%s:%ld,n,8,1", s.Name, static_cast<long>(baud));
    if (!Platform->ConfigureLine(h, mode, baud)) {
        NoteFailure("%s would not take the line settings %s", s.Name, mode);
        return false;
    }
    if (!Platform->SetQueueSizes(h, s.Record->InQueueSize, s.Record->OutQueueSize)) {
        NoteFailure("%s would not take the queue sizes %ld and %ld", s.Name,
                    static_cast<long>(s.Record->InQueueSize), static_cast<long>(s.Record->OutQueueSize));
        return false;
    }
    if (!Platform->SetReadTimeouts(h)) {
        NoteFailure("%s would not take the read time-outs", s.Name);
        return false;
    }
    PurgePort();
    return true;
}

// Sends the wake-up byte until the instrument answers SyncReply; anything
// else it sends meanwhile is ignored.
bool WakeUp() {
    std::uint8_t* got = &Module.ReplyBuffer[0];
    for (int attempt = 0; attempt < WakeTries; ++attempt) {
        PutByte(SyncByte);
        std::int64_t end = TicksAt(ClockMs64()) + WakeTicksPerTry;
        std::int64_t endMs = FirstMsOfTick(end);
        while (TicksAt(ClockMs64()) < end) {
            bool read = GetByte(got) != 0;
            if (read && *got == SyncReply) return true;
            Platform->PeekMessages();
            if (!read) WaitInputUntil(endMs);
        }
    }
    return false;
}

void HexBytes(char* out, std::size_t size, const std::uint8_t* bytes, int count) {
    std::size_t used = 0;
    for (int i = 0; i < count && used < size; ++i)
        used += static_cast<std::size_t>(std::snprintf(out + used, size - used, i ? " %02X" : "%02X", bytes[i]));
}

Outcome Attempt(const Session& s) {
    DeviceRecord* r = s.Record;
    std::uint8_t* one = &Module.ReplyBuffer[0];

    // A port left in the slot (an earlier sign-on's, or one attached by the
    // application) is closed without a word to the instrument.
    CloseSlot();
    if (!SetUpPort(s, WakeBaud)) return Outcome::GiveUp;

    if (!WakeUp()) {
        NoteFailure("no instrument answered the wake-up on %s", s.Name);
        return Outcome::GiveUp;
    }
    // Once awake the instrument must fall silent.
    WaitTicks(5);
    if (ReadReply(1, QuietSeconds, one)) {
        NoteFailure("the line did not fall quiet after the wake-up on %s (received %02X)", s.Name, *one);
        return Outcome::StartOver;
    }
    // The checksum covers everything the instrument sends from here on.
    Module.RxChecksum = 0;
    PutByte(SpeedRequest);
    if (ReadReply(1, QuietSeconds, one)) {
        NoteFailure("the instrument answered the speed request on %s out of turn (received %02X)", s.Name, *one);
        return Outcome::StartOver;
    }
    WaitTicks(2);
    PutByte(r->SpeedIndex & 0xFF);
    if (!ReadReply(1, EchoSeconds, one)) {
        NoteFailure("no speed echo came on %s", s.Name);
        return Outcome::GiveUp;
    }
    if (*one != r->SpeedIndex) {
        NoteFailure("the speed echo differed on %s (sent %02X, received %02X)", s.Name, r->SpeedIndex & 0xFF, *one);
        return Outcome::StartOver;
    }

    // Re-open at the agreed speed, even where that is the wake-up speed.
    CloseSlot();
    if (!SetUpPort(s, BaudTable[r->SpeedIndex])) return Outcome::GiveUp;
    WaitTicks(5);
    PutByte(SyncByte);

    ComputeADMode(r);
    SendFrame(r->ModeHigh, r->ModeMid);
    SendFrame(r->ModeLow, 0);
    SendFrame(static_cast<std::int32_t>(r->AvgCount & 0xFF), r->FilterSel);
    SendFrame(0, 0);
    std::uint8_t* echo = &Module.ReplyBuffer[1];
    std::uint8_t sent[3] = {static_cast<std::uint8_t>(r->ModeHigh), static_cast<std::uint8_t>(r->ModeMid),
                            static_cast<std::uint8_t>(r->ModeLow)};
    char sentHex[16], gotHex[16] = "nothing";
    HexBytes(sentHex, sizeof sentHex, sent, 3);
    if (!ReadReply(3, EchoSeconds, echo)) {
        NoteFailure("the mode echo did not come whole on %s (sent %s)", s.Name, sentHex);
        return Outcome::StartOver;
    }
    // Bits 5-7 of the first echo byte are the instrument's own.
    if ((echo[0] & 0x1F) != (r->ModeHigh & 0x1F) || echo[1] != r->ModeMid || echo[2] != r->ModeLow) {
        HexBytes(gotHex, sizeof gotHex, echo, 3);
        NoteFailure("the mode echo differed on %s (sent %s, received %s)", s.Name, sentHex, gotHex);
        return Outcome::StartOver;
    }

    std::uint8_t timer[3];
    ScanTimerBytes(r, timer);
    SendFrame(timer[0], timer[1]);
    SendFrame(timer[2], r->ScanConfig[0]);
    SendFrame(r->ScanConfig[1], r->ScanConfig[2]);
    SendFrame(r->ScanConfig[3], r->ScanConfig[4]);
    SendFrame(r->ScanConfig[5], 0);

    // Whatever the instrument says while it settles is dropped (it still
    // counts into the checksum).
    WaitTicks(4);
    DrainInput(one);
    Module.ScanCount = 0;

    if (!sadc::GetVer(r)) {
        NoteFailure("the instrument did not answer the version request on %s", s.Name);
        return Outcome::StartOver;
    }
    // Firmware after version 100 has the counters.
    if (r->Version > 100) PresetCounters(r);
    return Outcome::SignedOn;
}

} // namespace

void ScanTimerBytes(const DeviceRecord* record, std::uint8_t out[3]) {
    float f = std::ldexp(record->CounterPreset < 0 ? SlowScanClockHz : ScanClockHz, -record->SpeedIndex);
    double wide = (record->ScanTime + 0.00005) * static_cast<double>(f) - 1.0;
    // The largest single-precision values within the 32-bit range: beyond
    // them the count saturates instead of overflowing the conversions.
    constexpr double Highest = 2147483520.0, Lowest = -2147483648.0;
    if (std::isnan(wide)) wide = 0.0;
    if (wide > Highest) wide = Highest;
    if (wide < Lowest) wide = Lowest;
    // Single precision at every stored step; each part truncates toward zero.
    float c = static_cast<float>(wide);
    std::int32_t h = static_cast<std::int32_t>(c * 0x1p-16f);
    c = c - static_cast<float>(h) * 65536.0f;
    std::int32_t m = static_cast<std::int32_t>(c * 0x1p-8f);
    c = c - static_cast<float>(m) * 256.0f;
    std::int32_t l = static_cast<std::int32_t>(c);
    out[0] = static_cast<std::uint8_t>(l & 0xFF);
    out[1] = static_cast<std::uint8_t>(m & 0xFF);
    out[2] = static_cast<std::uint8_t>(h & 0xFF);
}

SadcStatus SignOn(DeviceRecord* record) {
    ClearFailure();
    // Out-of-range values would index the port or speed table: refused
    // before anything is opened or CurrentPort changes.
    if (record->ComPort < 0 || record->ComPort >= PortSlots) {
        NoteFailure("the port number %d lies outside 0..%d", record->ComPort, PortSlots - 1);
        return 0;
    }
    if (record->SpeedIndex < 0 || record->SpeedIndex >= SpeedCount) {
        NoteFailure("the speed index %d lies outside 0..%d", record->SpeedIndex, SpeedCount - 1);
        return 0;
    }
    Session s{record, {}};
    std::snprintf(s.Name, sizeof s.Name, "COM%d", record->ComPort + 1);

    for (int attempt = 1; attempt <= SignOnAttempts; ++attempt) {
        Module.CurrentPort = record->ComPort;
        Outcome o = Attempt(s);
        if (o == Outcome::SignedOn) return 1;
        // Either way out leaves the slot closed; a start over opens afresh
        // at the wake-up speed.
        CloseSlot();
        if (o == Outcome::GiveUp) return 0;
    }
    char last[256];
    std::snprintf(last, sizeof last, "%s", LastFailure());
    NoteFailure("the sign-on failed %d times; the last time %s", SignOnAttempts, last);
    return 0;
}

} // namespace sadc
