// The soak: scanning at the shortest interval the set-up allows, at 9600
// baud, for a given time. Every scan is checked against the signals the
// instrument was given and against its sequence number (a gap is a lost
// scan); every hundred scans the stream is stopped and GetCheckSum must pass.
#include <cstdint>
#include <cstdio>

#include "interface/module_state.h"
#include "rig.h"

namespace {

using namespace sadc;

constexpr int BatchScans = 100;
std::int32_t ScanBuf[4096];

std::uint32_t Expected(faults::Rig& rig, int channel) {
    std::uint32_t c = 0;
    sim::WithInstrument(rig.Sim, [&](sim::Instrument& inst, std::int64_t) {
        c = sim::CountFor(inst.Reg, inst.Cfg.Signals[static_cast<std::size_t>(channel)].Offset);
    });
    return c;
}

std::uint32_t Word(int at) {
    return static_cast<std::uint32_t>(ScanBuf[at] + 256 * ScanBuf[at + 1] + 65536 * ScanBuf[at + 2]);
}

} // namespace

int Soak(double seconds) {
    faults::Rig rig;
    std::string err;
    if (!faults::OpenRig(rig, err)) {
        std::fprintf(stderr, "soak: %s\n", err.c_str());
        return 1;
    }
    DeviceRecord r = faults::StandardRecord();
    double longest = 0, shortest = 0;
    bool ready = SignOn(&r) == 1;
    // The shortest interval, rounded to the scan clock, then loaded into the
    // instrument's timer by a new sign-on.
    r.ScanTime = 0.001;
    CheckScanTime(&r, &longest, &shortest);
    r.ScanTime = shortest;
    ready = ready && CheckScanTime(&r, &longest, &shortest) == 1 && SignOn(&r) == 1;
    if (!ready) {
        std::fprintf(stderr, "soak: no sound connection to begin with\n");
        faults::CloseRig(rig);
        return 1;
    }
    const std::uint32_t want[2] = {Expected(rig, 0), Expected(rig, 1)};

    std::uint64_t scans = 0, bytes = 0, lost = 0, corrupted = 0, failedCalls = 0;
    std::uint64_t checks = 0, checksPassed = 0;
    double start = faults::NowMs();
    while (faults::NowMs() - start < seconds * 1000.0) {
        if (StartScanning(&r) != 1) {
            ++failedCalls;
            if (SignOn(&r) != 1) break;
            continue;
        }
        int previous = -1;
        for (int k = 0; k < BatchScans && faults::NowMs() - start < seconds * 1000.0; ++k) {
            if (GetOneScan(&r, ScanBuf) != 1) {
                // The library has signed on again after a time-out; the
                // stream needs a new start.
                std::fprintf(stderr, "soak: GetOneScan failed, ErrorCode %d\n", r.ErrorCode);
                ++failedCalls;
                break;
            }
            ++scans;
            bytes += 8;
            if (Module.ScanCount != 7 || Word(0) != want[0] || Word(3) != want[1]) ++corrupted;
            int seq = ScanBuf[6];
            if (previous >= 0 && seq != ((previous + 1) & 0xFF)) lost += static_cast<std::uint64_t>((seq - previous - 1) & 0xFF);
            previous = seq;
            RemoveFromBuffer(Module.ScanCount, ScanBuf);
        }
        if (StopScanning(&r) != 1) ++failedCalls;
        ++checks;
        if (GetCheckSum() == 1) ++checksPassed;
    }
    double took = (faults::NowMs() - start) / 1000.0;
    faults::CloseRig(rig);

    bool ok = scans > 0 && lost == 0 && corrupted == 0 && failedCalls == 0 && checksPassed == checks;
    std::printf("soak: %llu scans (%llu bytes) in %.0f s, every %.4f s at 9600 baud; lost %llu, corrupted %llu, "
                "failed calls %llu; GetCheckSum passed %llu of %llu\n",
                static_cast<unsigned long long>(scans), static_cast<unsigned long long>(bytes), took, r.ScanTime,
                static_cast<unsigned long long>(lost), static_cast<unsigned long long>(corrupted),
                static_cast<unsigned long long>(failedCalls), static_cast<unsigned long long>(checksPassed),
                static_cast<unsigned long long>(checks));
    std::printf("soak: %d passed, %d failed\n", ok ? 1 : 0, ok ? 0 : 1);
    return ok ? 0 : 1;
}
