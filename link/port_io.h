// Clocks, waits, single-byte transfer and time-limited reply reads on the
// port in PortTable[CurrentPort].
//
// Every wait tests its deadline exactly where the protocol says, but between
// polls it sleeps in the platform's wait primitive (until input arrives or the
// deadline comes), so a wait costs almost no CPU and a byte is still taken
// within about a millisecond of its arrival.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace sadc {

// Milliseconds since load, signed 32-bit (wraps after about 24.8 days).
std::int32_t ClockMs();
// The same clock without the wrap; every deadline is taken on this one.
std::int64_t ClockMs64();
// Ticks of the nominal 18.2 Hz clock: ClockMs * 14 / 100 * 13 / 100.
std::int32_t BiosTicks();
// BiosTicks' rule on any elapsed time, in 64 bits so it never overflows.
std::int64_t TicksAt(std::int64_t ms);
// The first millisecond at which TicksAt reaches ticks.
std::int64_t FirstMsOfTick(std::int64_t ticks);
// ClockMs64 now plus seconds, truncated toward zero; a NaN or negative span
// gives now, and a span is never longer than 2^31 - 1 ms.
std::int64_t DeadlineAfter(double seconds);

void WaitTicks(std::int32_t n);
void DelaySeconds(float seconds);
std::int32_t PutByte(std::int32_t value);
std::int32_t GetByte(std::uint8_t* dest);
std::int32_t ReadReply(std::int32_t count, float seconds, std::uint8_t* dest);
std::int32_t PurgePort();
void PollPort();

// The handle every port operation uses.
PortHandle CurrentHandle();
// Sleeps in the platform's wait primitive until input arrives on the current
// port or the deadline (a ClockMs64 value) comes, at most 100 ms at a time.
void WaitInputUntil(std::int64_t deadline);

} // namespace sadc
