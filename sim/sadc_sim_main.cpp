// sadc-sim: the virtual instrument behind a pseudo-terminal, for developing
// and testing applications without the hardware.
//
//   sadc-sim --link-dir /tmp/ports --com 1 --trace
//   SADCLINK_PORTS=/tmp/ports ./my-application      # its COM1 is the instrument
//
// The first line printed is the pseudo-terminal's device path.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "sim/pty_runner.h"

namespace {

using namespace sadc;

std::atomic<bool> Quit{false};
std::atomic<int> ToggleLine{0};

void OnQuit(int) { Quit = true; }
void OnToggle(int) { ++ToggleLine; }

const char* const Usage =
    "usage: sadc-sim [options]\n"
    "Runs the virtual instrument behind a pseudo-terminal until interrupted.\n"
    "\n"
    "Where the application finds it:\n"
    "  --com N                port number N of the links below, 1..256 (default 1)\n"
    "  --link-dir DIR         link DIR/COMn to the device (run the application with\n"
    "                         SADCLINK_PORTS=DIR)\n"
    "  --wine-prefix DIR      link DIR/dosdevices/comn to the device (Wine's COMn)\n"
    "The instrument:\n"
    "  --version V            version byte, 0..255 (default 101)\n"
    "  --digin B              digital inputs, 0..255 (default 0)\n"
    "  --signal K=V           channel K (0..15) reads the constant V (5000 full scale)\n"
    "  --signal K=sine:A:F[:O] channel K reads O + A sin(2 pi F t)\n"
    "Faults:\n"
    "  --silent               never answers\n"
    "  --drop P               each byte to the host is lost with probability P\n"
    "  --noise P              a noise byte precedes a byte with probability P\n"
    "  --drop-from-host P     each byte from the host is lost with probability P\n"
    "  --wrong-echo           echoes come back with bit 6 flipped\n"
    "  --late MS              every reply starts MS milliseconds late\n"
    "  --line-gone            start with the line cut; SIGUSR1 cuts or restores it\n"
    "  --seed N               seed of the fault generator (default 1)\n"
    "Output:\n"
    "  --trace                every byte both ways with its time, and what the\n"
    "                         instrument does\n"
    "  --for SECONDS          stop after this long\n";

bool ParseLong(const char* s, long lo, long hi, long& v) {
    char* end = nullptr;
    errno = 0;
    long x = std::strtol(s, &end, 10);
    if (errno || end == s || *end || x < lo || x > hi) return false;
    v = x;
    return true;
}

bool ParseDouble(const char* s, double& v) {
    char* end = nullptr;
    errno = 0;
    double x = std::strtod(s, &end);
    if (errno || end == s || *end || !(x == x)) return false;
    v = x;
    return true;
}

bool ParseProbability(const char* s, double& v) { return ParseDouble(s, v) && v >= 0.0 && v <= 1.0; }

// "K=V" or "K=sine:A:F[:O]".
bool ParseSignal(const char* arg, sim::Config& cfg) {
    std::string a = arg;
    std::size_t eq = a.find('=');
    if (eq == std::string::npos) return false;
    long k;
    if (!ParseLong(a.substr(0, eq).c_str(), 0, sim::Channels - 1, k)) return false;
    std::string v = a.substr(eq + 1);
    sim::Signal sig;
    if (v.rfind("sine:", 0) == 0) {
        std::string rest = v.substr(5);
        double parts[3] = {0, 0, 0};
        int n = 0;
        while (n < 3) {
            std::size_t c = rest.find(':');
            if (!ParseDouble(rest.substr(0, c).c_str(), parts[n])) return false;
            ++n;
            if (c == std::string::npos) break;
            rest = rest.substr(c + 1);
        }
        if (n < 2 || parts[1] < 0.0) return false;
        sig.Amplitude = parts[0];
        sig.FrequencyHz = parts[1];
        sig.Offset = parts[2];
    } else if (!ParseDouble(v.c_str(), sig.Offset)) {
        return false;
    }
    cfg.Signals[static_cast<std::size_t>(k)] = sig;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    sim::Config cfg;
    long com = 1;
    std::string linkDir, winePrefix;
    bool trace = false;
    double forSeconds = -1.0;
    for (int i = 1; i < argc; ++i) {
        std::string o = argv[i];
        const char* val = i + 1 < argc ? argv[i + 1] : nullptr;
        long n = 0;
        bool ok = true, used = true;
        if (o == "-h" || o == "--help") {
            std::fputs(Usage, stdout);
            return 0;
        } else if (o == "--silent") {
            cfg.Fault.Silent = true, used = false;
        } else if (o == "--wrong-echo") {
            cfg.Fault.WrongEcho = true, used = false;
        } else if (o == "--line-gone") {
            cfg.Fault.LineGone = true, used = false;
        } else if (o == "--trace") {
            trace = true, used = false;
        } else if (o != "--com" && o != "--link-dir" && o != "--wine-prefix" && o != "--version" &&
                   o != "--digin" && o != "--signal" && o != "--drop" && o != "--noise" &&
                   o != "--drop-from-host" && o != "--late" && o != "--seed" && o != "--for") {
            std::fprintf(stderr, "sadc-sim: unknown option %s\n%s", o.c_str(), Usage);
            return 2;
        } else if (!val) {
            ok = false;
        } else if (o == "--com") {
            ok = ParseLong(val, 1, 256, com);
        } else if (o == "--link-dir") {
            linkDir = val;
        } else if (o == "--wine-prefix") {
            winePrefix = val;
        } else if (o == "--version") {
            ok = ParseLong(val, 0, 255, n), cfg.Version = static_cast<std::uint8_t>(n);
        } else if (o == "--digin") {
            ok = ParseLong(val, 0, 255, n), cfg.DigIn = static_cast<std::uint8_t>(n);
        } else if (o == "--signal") {
            ok = ParseSignal(val, cfg);
        } else if (o == "--drop") {
            ok = ParseProbability(val, cfg.Fault.DropProbability);
        } else if (o == "--noise") {
            ok = ParseProbability(val, cfg.Fault.NoiseProbability);
        } else if (o == "--drop-from-host") {
            ok = ParseProbability(val, cfg.Fault.DropFromHostProbability);
        } else if (o == "--late") {
            ok = ParseLong(val, 0, 3600000, n), cfg.Fault.LateMs = static_cast<std::int32_t>(n);
        } else if (o == "--seed") {
            ok = ParseLong(val, 0, 2147483647L, n), cfg.Fault.Seed = static_cast<std::uint64_t>(n);
        } else {
            ok = ParseDouble(val, forSeconds) && forSeconds >= 0.0; // --for
        }
        if (!ok) {
            std::fprintf(stderr, "sadc-sim: bad or missing value for %s\n", o.c_str());
            return 2;
        }
        if (used) ++i;
    }

    static sim::PtySim s;
    s.Trace = trace;
    std::string err;
    if (!sim::OpenPty(s, cfg, err)) {
        std::fprintf(stderr, "sadc-sim: %s\n", err.c_str());
        return 1;
    }
    std::printf("%s\n", s.SlavePath.c_str());
    int n = static_cast<int>(com);
    if (!linkDir.empty()) {
        std::string p = sim::ComLinkPath(linkDir, n);
        if (!sim::PlaceLink(s, p, err)) {
            std::fprintf(stderr, "sadc-sim: %s\n", err.c_str());
            sim::StopPty(s);
            return 1;
        }
        std::printf("%s -> %s  (SADCLINK_PORTS=%s, COM%d)\n", p.c_str(), s.SlavePath.c_str(), linkDir.c_str(), n);
    }
    if (!winePrefix.empty()) {
        std::string p = sim::WineLinkPath(winePrefix, n);
        if (!sim::PlaceLink(s, p, err)) {
            std::fprintf(stderr, "sadc-sim: %s\n", err.c_str());
            sim::StopPty(s);
            return 1;
        }
        std::printf("%s -> %s  (Wine COM%d)\n", p.c_str(), s.SlavePath.c_str(), n);
    }
    std::fflush(stdout);

    std::signal(SIGINT, OnQuit);
    std::signal(SIGTERM, OnQuit);
    std::signal(SIGHUP, OnQuit);
    std::signal(SIGUSR1, OnToggle);
    if (!sim::StartPty(s, err)) {
        std::fprintf(stderr, "sadc-sim: %s\n", err.c_str());
        sim::StopPty(s);
        return 1;
    }
    std::fprintf(stderr, "sadc-sim: serving; Ctrl-C stops, SIGUSR1 cuts or restores the line\n");
    auto start = std::chrono::steady_clock::now();
    int toggles = 0;
    while (!Quit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (int t = ToggleLine.load(); toggles < t; ++toggles) {
            sim::WithInstrument(s, [](sim::Instrument& inst, std::int64_t now) {
                sim::Faults f = inst.Cfg.Fault;
                f.LineGone = !f.LineGone;
                sim::SetFaults(inst, f, now);
                std::fprintf(stderr, "sadc-sim: line %s\n", f.LineGone ? "cut" : "restored");
            });
        }
        if (forSeconds >= 0.0 &&
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >= forSeconds)
            break;
    }
    sim::StopPty(s);
    return 0;
}
