#include "converter/scan_timing.h"

#include <cmath>

#include "interface/module_state.h"
#include "link/commands.h"
#include "link/port_io.h"

namespace sadc {

namespace {
double SettlingTime(std::int16_t filterSel) {
    return filterSel == 0 ? 4.5 : filterSel == 1 ? 0.56 : 0.036;
}

bool UsableRate(double rate) { return rate > 0.0 && std::isfinite(rate); }

// ScanTime as a whole number of scan-clock ticks: the interval the timer
// really gives, N ticks with the preset N - 1 split into three bytes.
double RoundToTicks(double scanTime, double rate) {
    double t = (scanTime + 0.00005) * rate - 1.0;
    // An endless interval has no tick count; splitting it would make it NaN.
    if (!std::isfinite(t)) return scanTime;
    double hi = std::trunc(t / 65536.0);
    double mid = std::trunc((t - 65536.0 * hi) / 256.0);
    double lo = std::trunc(t - 65536.0 * hi - 256.0 * mid);
    double n = 65536.0 * hi + 256.0 * mid + lo + 1.0;
    return n / rate;
}
} // namespace

std::int16_t CheckScanTime(DeviceRecord* record, double* maxTime, double* minTime) {
    const DeviceRecord& r = *record;
    double p = std::ldexp(1.0, r.SpeedIndex);
    double s = SettlingTime(r.FilterSel);
    // A speed index far outside 0..5 leaves no scan clock to divide by.
    double rate = UsableRate(p) ? (r.Version > 100 ? 4882.8125 / p : 3906.25 / p) : 0.0;
    double longest = r.Version > 100 ? 3386.0 * p : 4233.0 * p;
    double dataRate = r.DataRate;
    if (!UsableRate(rate) || !UsableRate(dataRate) || !UsableRate(p)) {
        // No limits can be formed without a conversion rate and a clock.
        if (UsableRate(rate)) record->ScanTime = RoundToTicks(r.ScanTime, rate);
        *maxTime = 0.0;
        *minTime = 0.0;
        return 0;
    }

    std::uint32_t avgPlus2 = r.AvgCount + 2u;
    double channel = (r.Version < 100 || r.CounterPreset == -1)
                         ? 0.82 * s + avgPlus2 / dataRate
                         : avgPlus2 / dataRate + 0.03;
    double shortest = 0.007 * p + r.NumChans * channel;
    double transfer = 0.0011 * p * (r.NumChans * r.ConvBytes + 2);
    if (r.ScanMode == 2) {
        shortest = 0.0042 * p + 2.0 * (s + 4.0 / dataRate) + shortest;
        transfer = 0.0011 * p * ((r.NumChans + 2) * r.ConvBytes);
    } else if (r.ScanMode == 0) {
        shortest = 0.0005 * (r.SpeedIndex + 1) + r.AvgCount / dataRate;
        transfer = 0.0011 * p * r.ConvBytes;
    }
    if (!(shortest >= transfer)) shortest = transfer;

    bool halved = false;
    // Averaging cannot be halved below one conversion.
    if (shortest > longest && record->AvgCount > 1) {
        record->AvgCount /= 2;
        sadc::RemoteAvg(record);
        halved = true;
    }

    *minTime = std::trunc((shortest + 0.00005) * rate) / rate;
    *maxTime = std::floor(longest * rate) / rate;
    record->ScanTime = RoundToTicks(r.ScanTime, rate);
    if (!(record->ScanTime <= *maxTime && record->ScanTime >= *minTime)) return 0;
    return halved ? 2 : 1;
}

SadcStatus RemoteAvg(DeviceRecord* record) {
    double dataRate = record->DataRate;
    Module.ReplyTimeout = UsableRate(dataRate) ? record->AvgCount / dataRate + 2.0 : 2.0;
    // The largest e with 2^e not above AvgCount; 0 for no averaging at all.
    std::int32_t e = 0;
    for (std::uint32_t a = record->AvgCount; a > 1; a >>= 1) ++e;
    return static_cast<SadcStatus>(SendFrame(CmdRemoteAvg, e));
}

std::int32_t FilterDelay(std::int16_t selection) {
    std::int32_t b = selection == 0 ? 4 : 0;
    std::int64_t end = ClockMs64() + static_cast<std::int64_t>((2 * b + 0.5) * 1000);
    // A plain wait on the clock: no message peek, no port access.
    for (;;) {
        std::int64_t now = ClockMs64();
        // The reading that ended the wait, as the 32-bit clock shows it.
        if (now >= end) return static_cast<std::int32_t>(static_cast<std::uint32_t>(now));
        DelaySeconds(static_cast<float>(end - now) / 1000.0f);
    }
}

} // namespace sadc
