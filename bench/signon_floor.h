// The shortest time a successful sign-on can take: only the protocol's own
// waits and the time the bytes need on the line, with an instrument that
// answers the instant a byte's stop bit has arrived and a library that takes
// each byte the instant it is there.
#pragma once

#include <cstdint>

namespace bench {

struct SignOnFloor {
    double TotalMs;   // from the call to the return
    double WaitsMs;   // of which tick waits and quiet checks
    double LineMs;    // of which bytes on the line that nothing overlaps
};

// startMs: when SignOn is called, on the library's millisecond clock but with
// its fraction (the clock's reading is the whole part). The tick waits end on
// the clock's tick boundaries, so the floor depends on where the call starts.
// speedIndex picks the second line speed (0 = 9600 ... 5 = 300 baud).
SignOnFloor SignOnFloorAt(double startMs, int speedIndex);

// The tick rule of the instrument's nominal 18.2 Hz clock.
std::int64_t TicksAtMs(std::int64_t ms);

} // namespace bench
