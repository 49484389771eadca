#include "link/port_io.h"

#include <cmath>
#include <limits>

#include "interface/module_state.h"

namespace sadc {

namespace {
// Longest single sleep inside a wait, so that a wait still looks at the
// message queue a few times a second.
constexpr std::int64_t MaxSleepMs = 100;
// Longest span a deadline may have: what a signed 32-bit clock can hold.
constexpr double MaxSpanMs = 2147483647.0;
// Pause between write attempts on a port that takes nothing.
constexpr std::uint32_t WriteRetryMs = 1;

std::uint32_t SleepSpan(std::int64_t from, std::int64_t until) {
    std::int64_t span = until - from;
    if (span < 1) span = 1;
    if (span > MaxSleepMs) span = MaxSleepMs;
    return static_cast<std::uint32_t>(span);
}
} // namespace

std::int64_t ClockMs64() {
    std::uint32_t tick = Platform->TickCount();
    Module.ElapsedMs += static_cast<std::uint32_t>(tick - Module.LastTick);
    Module.LastTick = tick;
    return Module.ElapsedMs;
}

std::int32_t ClockMs() {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(ClockMs64()));
}

std::int64_t TicksAt(std::int64_t ms) {
    return ms * 14 / 100 * 13 / 100;
}

std::int64_t FirstMsOfTick(std::int64_t ticks) {
    if (ticks <= 0) return 0;
    // The least a with a * 13 / 100 >= ticks, then the least t with t * 14 / 100 >= a.
    std::int64_t a = (ticks * 100 + 12) / 13;
    return (a * 100 + 13) / 14;
}

std::int32_t BiosTicks() {
    return static_cast<std::int32_t>(TicksAt(ClockMs64()));
}

std::int64_t DeadlineAfter(double seconds) {
    std::int64_t now = ClockMs64();
    double span = seconds * 1000.0;
    if (!(span > 0.0)) span = 0.0; // NaN and negative spans end at once
    if (span > MaxSpanMs) span = MaxSpanMs;
    return static_cast<std::int64_t>(static_cast<double>(now) + span);
}

PortHandle CurrentHandle() {
    return Module.PortTable[Module.CurrentPort];
}

void WaitInputUntil(std::int64_t deadline) {
    std::int64_t now = ClockMs64();
    if (now >= deadline) return;
    Platform->WaitInput(CurrentHandle(), SleepSpan(now, deadline));
}

void WaitTicks(std::int32_t n) {
    std::int64_t target = TicksAt(ClockMs64()) + n;
    std::int64_t wake = FirstMsOfTick(target);
    for (;;) {
        std::int64_t now = ClockMs64();
        if (TicksAt(now) >= target) return;
        Platform->PeekMessages();
        Platform->Sleep(SleepSpan(now, wake));
    }
}

void DelaySeconds(float seconds) {
    std::int64_t deadline = DeadlineAfter(seconds);
    for (;;) {
        std::int64_t now = ClockMs64();
        if (now >= deadline) return;
        Platform->Sleep(SleepSpan(now, deadline));
    }
}

std::int32_t PutByte(std::int32_t value) {
    int written = 1, ok = 0;
    std::int64_t deadline = DeadlineAfter(3.0);
    for (;;) {
        if (ClockMs64() >= deadline) break;
        if (ok && written) break;
        int took = Platform->WriteByte(CurrentHandle(), static_cast<std::uint8_t>(value));
        ok = took;
        written = took;
        // A port that takes nothing is retried until the deadline, resting
        // between attempts instead of spinning.
        if (!(ok && written)) Platform->Sleep(WriteRetryMs);
    }
    return (ok && written) ? 1 : 0;
}

std::int32_t GetByte(std::uint8_t* dest) {
    std::uint8_t b = 0;
    if (Platform->ReadByte(CurrentHandle(), &b) == 0) return 0;
    *dest = b;
    Module.RxChecksum = static_cast<std::int16_t>((Module.RxChecksum + b) % 256);
    return 1;
}

std::int32_t ReadReply(std::int32_t count, float seconds, std::uint8_t* dest) {
    std::int32_t received = 0;
    std::int64_t deadline = DeadlineAfter(seconds);
    while (ClockMs64() < deadline) {
        bool got = GetByte(dest + received) != 0;
        if (got) ++received;
        if (received >= count) return 1;
        Platform->PeekMessages();
        if (!got) WaitInputUntil(deadline);
    }
    return 0;
}

std::int32_t PurgePort() {
    Platform->Purge(CurrentHandle(), PurgeTxClear | PurgeRxClear);
    return 1;
}

void PollPort() {
    Module.CommStatus = CommStatusBlock{};
    Platform->QueryStatus(CurrentHandle(), &Module.CommStatus);
}

} // namespace sadc
