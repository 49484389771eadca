#include "bench/signon_floor.h"

#include <algorithm>
#include <cmath>

namespace bench {

namespace {

constexpr int BaudTable[6] = {9600, 4800, 2400, 1200, 600, 300};

// Ten bit-times: start bit, eight data bits, stop bit.
double ByteMs(int baud) { return 10000.0 / baud; }

// A tick wait of n ends at the first whole millisecond whose tick count is
// n above the count at the millisecond it started in.
double AfterTicks(double x, int n) {
    std::int64_t now = static_cast<std::int64_t>(std::floor(x));
    std::int64_t target = TicksAtMs(now) + n;
    std::int64_t m = now;
    while (TicksAtMs(m) < target) ++m;
    return static_cast<double>(m);
}

// A reply wait that finds nothing ends when the clock reaches its reading at
// the start plus the span in whole milliseconds.
double AfterQuiet(double x, int ms) { return std::floor(x) + ms; }

} // namespace

std::int64_t TicksAtMs(std::int64_t ms) { return ms * 14 / 100 * 13 / 100; }

SignOnFloor SignOnFloorAt(double startMs, int speedIndex) {
    const double slow = ByteMs(300);
    const double fast = ByteMs(BaudTable[speedIndex]);
    double x = startMs;
    double waits = 0, line = 0;
    auto wait = [&](double until) {
        waits += until - x;
        x = until;
    };
    auto bytes = [&](double ms) {
        line += ms;
        x += ms;
    };

    bytes(2 * slow);            // wake-up byte out, 0x03 back
    wait(AfterTicks(x, 5));     // pause before the quiet check
    wait(AfterQuiet(x, 100));   // the line stays quiet
    wait(AfterQuiet(x, 100));   // 0x88 goes out; nothing comes back
    wait(AfterTicks(x, 2));
    bytes(2 * slow);            // speed request out, its echo back
    wait(AfterTicks(x, 5));     // pause after the re-open
    bytes(13 * fast + 3 * fast); // sync byte and four frames out, mode echo back
    // Timer and configuration frames go out behind it; nothing waits for them
    // except the version request, which queues behind them on the line.
    double lineFree = x + 15 * fast;
    wait(AfterTicks(x, 4));
    double sent = std::max(x, lineFree) + 3 * fast;
    line += sent - x;
    x = sent;
    bytes(2 * fast); // version reply
    // The counter presets are only written: the call returns at once.
    return {x - startMs, waits, line};
}

} // namespace bench
