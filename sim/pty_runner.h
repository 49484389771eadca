// The virtual instrument behind a pseudo-terminal, in real time (POSIX).
//
// The library (or any serial program) opens the pseudo-terminal's slave
// side as its port; the runner serves the instrument on the master side,
// feeding it the host's bytes as they come and writing its bytes when their
// time on the line has come. The host's line speed is read from the slave's
// settings; a closed slave counts as a closed port, so the instrument's bytes
// are lost while the host re-opens the port, as on a real line.
//
//   sim::PtySim s;
//   std::string err;
//   if (!sim::OpenPty(s, cfg, err) || !sim::PlaceLink(s, sim::ComLinkPath(dir, 1), err) ||
//       !sim::StartPty(s, err)) ...
//   // SADCLINK_PORTS=dir: the library's COM1 is the instrument
//   sim::StopPty(s);
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/instrument.h"

namespace sadc::sim {

struct PtySim {
    int Master = -1;
    std::string SlavePath;        // e.g. /dev/pts/3
    std::vector<std::string> Links; // links placed, removed again by StopPty

    // Timestamped lines of every byte both ways and of what the instrument
    // does; to stdout when Trace is set and no sink is given.
    bool Trace = false;
    std::function<void(const std::string&)> TraceSink;

    // Guarded by Lock while the runner serves.
    std::mutex Lock;
    Instrument Inst;
    std::int32_t HostBaud = 0;    // as last seen on the slave (0: closed)

    std::thread Thread;
    std::atomic<bool> StopFlag{false};
    std::int64_t StartNs = 0;     // the runner's clock origin (steady clock)
};

// Creates the pseudo-terminal (raw, 300 baud) and powers up the instrument.
bool OpenPty(PtySim& s, const Config& cfg, std::string& error);
// Serves until StopFlag is set. Blocks; StartPty runs it in a thread.
void ServePty(PtySim& s);
bool StartPty(PtySim& s, std::string& error);
// Stops the thread (if any), removes the links and closes the master.
void StopPty(PtySim& s);

// A symbolic link at path to the slave, replacing an older link there (but
// never a file that is not a link).
bool PlaceLink(PtySim& s, const std::string& path, std::string& error);
// dir/COMn, the name the library looks up in SADCLINK_PORTS.
std::string ComLinkPath(const std::string& dir, int n);
// prefix/dosdevices/comn, through which Wine maps COMn.
std::string WineLinkPath(const std::string& prefix, int n);

// Milliseconds on the runner's clock.
std::int64_t PtyNowMs(const PtySim& s);
// Runs fn on the instrument under the lock, with the runner's time, e.g. to
// change faults: SetFaults(inst, f, nowMs).
void WithInstrument(PtySim& s, const std::function<void(Instrument&, std::int64_t nowMs)>& fn);

} // namespace sadc::sim
