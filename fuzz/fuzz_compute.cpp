// The library's pure computations on arbitrary records: the converter mode
// and achieved rate, the averaging exponent, the scan-interval check and the
// scaling rule. Undefined behaviour (including a division by zero and an
// out-of-range float-to-integer conversion) aborts through the sanitizers;
// the results are checked against their ranges, and against their exact
// values where the record lies within the instrument's valid ranges.
//
// Input: [96 record bytes] [int32 counts] [int16 convBytes] [int16 bipolar].
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "acquisition/conversion.h"
#include "converter/ad_mode.h"
#include "converter/scan_timing.h"
#include "interface/module_state.h"
#include "platform/virtual_platform.h"
#include "sadclink.h"
#include "../tests/call_bounds.h"

namespace {

using namespace sadc;

[[noreturn]] void Fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz_compute: %s: %s\n", what, detail.c_str());
    std::abort();
}

bool ValidRate(float rate) { return rate > 19531.25f / 2048.0f && rate <= 19531.25f; }

std::string Num(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

void FilterCode(const DeviceRecord& in) {
    DeviceRecord r = in;
    Module.ReplyTimeout = 0;
    ComputeFilterCode(&r);
    if (!std::isfinite(r.DataRate)) Fail("ComputeFilterCode", "DataRate " + Num(r.DataRate));
    if (!std::isfinite(Module.ReplyTimeout) || Module.ReplyTimeout < 2.0)
        Fail("ComputeFilterCode", "ReplyTimeout " + Num(Module.ReplyTimeout));
    if (r.ModeLow < 0 || r.ModeLow > 255 || r.ModeMid < 0 || r.ModeMid > 7)
        Fail("ComputeFilterCode", "mode bytes " + std::to_string(r.ModeLow) + " " + std::to_string(r.ModeMid));
    if (ValidRate(in.DataRate)) {
        auto code = static_cast<std::int32_t>(19531.25 / static_cast<double>(in.DataRate)) & 0x7FF;
        if (r.ModeLow != (code & 0xFF) || r.ModeMid != (code >> 8))
            Fail("ComputeFilterCode", "filter code for " + Num(in.DataRate));
        if (r.DataRate != static_cast<float>(19531.25 / code))
            Fail("ComputeFilterCode", "achieved rate " + Num(r.DataRate));
        if (Module.ReplyTimeout != static_cast<double>(in.AvgCount) / static_cast<double>(r.DataRate) + 2.0)
            Fail("ComputeFilterCode", "ReplyTimeout " + Num(Module.ReplyTimeout));
    }
}

void ADMode(const DeviceRecord& in) {
    DeviceRecord r = in;
    ComputeADMode(&r);
    if (!std::isfinite(r.DataRate)) Fail("ComputeADMode", "DataRate " + Num(r.DataRate));
    if (!std::isfinite(Module.ReplyTimeout) || Module.ReplyTimeout < 2.0)
        Fail("ComputeADMode", "ReplyTimeout " + Num(Module.ReplyTimeout));
    if (r.ModeLow < 0 || r.ModeLow > 255 || r.ModeMid < 0 || r.ModeMid > 255)
        Fail("ComputeADMode", "mode bytes out of range");
    bool validMode = in.Gain >= 1 && in.Gain <= 128 && in.ModeBits >= 0 && in.ModeBits <= 3;
    if (validMode && (r.ModeHigh < 0 || r.ModeHigh > 255)) Fail("ComputeADMode", "ModeHigh out of range");
    if (validMode) {
        int n = 0;
        while ((1 << n) < in.Gain) ++n;
        if (r.ModeHigh != 4 * n + in.ModeBits) Fail("ComputeADMode", "ModeHigh for gain " + std::to_string(in.Gain));
    }
}

void Averaging(const DeviceRecord& in) {
    // An attached port with nothing behind it records the frame.
    DeviceRecord r = in;
    virt::Port& port = *virt::FindPort("COM2");
    port.FromHost.clear();
    Module.PortTable[Module.CurrentPort] = virt::OpenHandle("COM2");
    std::int64_t start = virt::Now();
    SadcStatus s = ::RemoteAvg(&r);
    if (s != 1) Fail("RemoteAvg", "status " + std::to_string(s));
    if (static_cast<double>(virt::Now() - start) > bounds::FrameMs) Fail("RemoteAvg", "outlasted a frame");
    if (std::memcmp(&r, &in, sizeof r) != 0) Fail("RemoteAvg", "wrote the record");
    if (port.FromHost.size() != 3 || port.FromHost[0].Value != 0x04)
        Fail("RemoteAvg", "frame " + virt::Hex(virt::Values(port.FromHost)));
    if (in.AvgCount >= 1) {
        int e = 0;
        while (e < 31 && (std::uint64_t(2) << e) <= in.AvgCount) ++e;
        if (port.FromHost[1].Value != e) Fail("RemoteAvg", "exponent for " + std::to_string(in.AvgCount));
    }
    if (ValidRate(in.DataRate) && (!std::isfinite(Module.ReplyTimeout) || Module.ReplyTimeout < 2.0))
        Fail("RemoteAvg", "ReplyTimeout " + Num(Module.ReplyTimeout));
    Module.PortTable[Module.CurrentPort] = InvalidHandle;
}

void ScanTime(const DeviceRecord& in) {
    DeviceRecord r = in;
    Module.PortTable[Module.CurrentPort] = InvalidHandle; // the frame goes nowhere
    double maxTime = std::nan("1"), minTime = std::nan("2");
    std::int64_t start = virt::Now();
    std::int16_t s = ::CheckScanTime(&r, &maxTime, &minTime);
    if (static_cast<double>(virt::Now() - start) > bounds::FrameMs) Fail("CheckScanTime", "outlasted a frame");
    if (s < 0 || s > 2) Fail("CheckScanTime", "result " + std::to_string(s));
    if (r.AvgCount != in.AvgCount && r.AvgCount != in.AvgCount / 2) Fail("CheckScanTime", "AvgCount");
    if (s == 2 && r.AvgCount != in.AvgCount / 2) Fail("CheckScanTime", "result 2 without halving");
    if (s != 0 && !(minTime <= r.ScanTime && r.ScanTime <= maxTime))
        Fail("CheckScanTime", "accepted " + Num(r.ScanTime) + " outside " + Num(minTime) + ".." + Num(maxTime));
    DeviceRecord rest = r;
    rest.ScanTime = in.ScanTime;
    rest.AvgCount = in.AvgCount;
    if (std::memcmp(&rest, &in, sizeof r) != 0) Fail("CheckScanTime", "wrote a field other than ScanTime, AvgCount");
    // Within the instrument's ranges the limits are real times (the shortest
    // may exceed the longest: a set-up too slow for the scan timer).
    bool valid = ValidRate(in.DataRate) && in.SpeedIndex >= 0 && in.SpeedIndex <= 5 && in.NumChans >= 1 &&
                 (in.ConvBytes == 2 || in.ConvBytes == 3) && in.AvgCount >= 1;
    if (valid && !(std::isfinite(maxTime) && std::isfinite(minTime) && minTime >= 0 && maxTime >= 0))
        Fail("CheckScanTime", "limits " + Num(minTime) + ".." + Num(maxTime));
    if (valid && in.ScanTime >= 0 && in.ScanTime < 1e6 && !(std::isfinite(r.ScanTime) && r.ScanTime > 0))
        Fail("CheckScanTime", "ScanTime rounded to " + Num(r.ScanTime));
    // Rounding is idempotent: a second call finds a whole number of ticks.
    if (valid && s != 0) {
        DeviceRecord again = r;
        double mx, mn;
        ::CheckScanTime(&again, &mx, &mn);
        if (again.ScanTime != r.ScanTime) Fail("CheckScanTime", "second rounding moved " + Num(r.ScanTime));
    }
}

void Scaling(std::int32_t counts, std::int16_t convBytes, std::int16_t bipolar) {
    double v = ::Counts2Volts(counts, convBytes, bipolar);
    if (!std::isfinite(v)) Fail("Counts2Volts", "not finite");
    bool valid = (convBytes == 2 && counts >= 0 && counts <= 0xFFFF) ||
                 (convBytes == 3 && counts >= 0 && counts <= 0xFFFFFF);
    double lo = bipolar ? -5000.0 : 0.0;
    if (valid && (v < lo || v >= 5000.0))
        Fail("Counts2Volts", std::to_string(counts) + " gives " + Num(v));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < sizeof(DeviceRecord)) return 0;
    DeviceRecord r;
    std::memcpy(&r, data, sizeof r);
    std::uint8_t extra[8] = {};
    std::memcpy(extra, data + sizeof r, std::min<std::size_t>(8, size - sizeof r));
    std::int32_t counts;
    std::int16_t convBytes, bipolar;
    std::memcpy(&counts, extra, 4);
    std::memcpy(&convBytes, extra + 4, 2);
    std::memcpy(&bipolar, extra + 6, 2);

    virt::Install();
    virt::AddPort("COM2");
    FilterCode(r);
    ADMode(r);
    Averaging(r);
    ScanTime(r);
    Scaling(counts, convBytes, bipolar);
    virt::Uninstall();
    return 0;
}
