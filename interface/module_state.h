// The state the library keeps between calls: one set per process.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace sadc {

inline constexpr int PortSlots = 16;

struct ModuleState {
    PortHandle PortTable[PortSlots]; // a slot holds InvalidHandle when closed
    std::int32_t CurrentPort;        // the slot every port operation uses
    double ReplyTimeout;             // seconds; 0 until a sign-on or RemoteAvg
    std::uint8_t ReplyBuffer[5];     // echo and reply bytes; never cleared
#if defined(SADCLINK_FUZZ_GUARDS)
    std::uint8_t ReplyGuard[11];     // the fuzzer poisons these to catch a reply overrun
#endif
    std::int16_t RxChecksum;         // sum mod 256 of every received byte
    std::int32_t ScanCount;          // valid elements in the caller's scan buffer
    CommStatusBlock CommStatus;      // the driver's last queue report

    // Millisecond clock: the tick count read at load, and a 64-bit extension
    // of the elapsed time so that no wait is upset by the 32-bit wrap.
    std::uint32_t ClockStart;
    std::uint32_t LastTick;
    std::int64_t ElapsedMs;
};

extern ModuleState Module;

// Puts the module state at its load values and takes the clock start value
// from the platform in force. Runs once when the library is loaded; tests run
// it again after installing the virtual platform.
void ModuleLoad();

} // namespace sadc
