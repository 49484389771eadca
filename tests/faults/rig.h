// The virtual instrument behind a pseudo-terminal, reachable as the library's
// COM1, and a record set up for it: the rig of the fault table and the soak.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "sadclink.h"
#include "sim/pty_runner.h"

namespace sadc::faults {

struct Rig {
    sim::PtySim Sim;
    std::string Dir;
};

inline bool OpenRig(Rig& rig, std::string& error) {
    char tmpl[] = "/tmp/sadclink-faults-XXXXXX";
    if (!mkdtemp(tmpl)) {
        error = "no temporary directory";
        return false;
    }
    rig.Dir = tmpl;
    sim::Config cfg;
    if (!sim::OpenPty(rig.Sim, cfg, error) || !sim::PlaceLink(rig.Sim, sim::ComLinkPath(rig.Dir, 1), error) ||
        !sim::StartPty(rig.Sim, error))
        return false;
    setenv("SADCLINK_PORTS", rig.Dir.c_str(), 1);
    return true;
}

inline void CloseRig(Rig& rig) {
    CloseDevice();
    sim::StopPty(rig.Sim);
    rmdir(rig.Dir.c_str());
}

inline void SetFaults(Rig& rig, const sim::Faults& f) {
    sim::WithInstrument(rig.Sim, [&](sim::Instrument& inst, std::int64_t now) { sim::SetFaults(inst, f, now); });
}

// 9600 baud, scan mode 1 over channels 0 and 1, 24-bit unipolar words, no
// averaging, at about 1 kHz: the fastest scans this set-up allows.
inline DeviceRecord StandardRecord() {
    DeviceRecord r{};
    r.ComPort = 0;
    r.SpeedIndex = 0;
    r.InQueueSize = 4096;
    r.OutQueueSize = 4096;
    r.DataRate = 1000.0f;
    r.Gain = 1;
    r.ModeBits = 0;
    r.ConvBytes = 3;
    r.Bipolar = 0;
    r.AvgCount = 1;
    r.FilterSel = 2;
    r.CounterPreset = 0;
    r.NumChans = 2;
    r.ScanMode = 1;
    r.ScanTime = 0.1;
    r.ScanConfig[0] = 0; // first channel
    r.ScanConfig[1] = 2; // conversions a scan
    r.ScanConfig[2] = 0; // further byte: the scan's sequence number
    return r;
}

inline double NowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

} // namespace sadc::faults
