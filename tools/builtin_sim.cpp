// The built-in virtual instrument: the same instrument as sadc-sim, served
// behind a pseudo-terminal by a thread of this process while sadc talks to it
// through the library like to any serial port.
#include <cerrno>
#include <cstdlib>
#include <memory>

#include <fmt/core.h>

#include "sim/pty_runner.h"
#include "tools/builtin_instrument.h"
#include "tools/os_tools.h"

namespace sadc::cli {
namespace {

std::unique_ptr<sim::PtySim> Running;

bool ParseNumber(const std::string& s, double& v) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    v = std::strtod(s.c_str(), &end);
    return errno == 0 && end == s.c_str() + s.size() && v == v;
}

// "K=V" (a constant) or "K=sine:A:F[:O]", as sadc-sim --signal takes them.
std::string ParseSignal(const std::string& text, sim::Config& cfg) {
    std::string bad = "not a signal (K=V or K=sine:A:F[:O]): " + text;
    std::size_t eq = text.find('=');
    double k = -1;
    if (eq == std::string::npos || !ParseNumber(text.substr(0, eq), k) || k < 0 || k >= sim::Channels ||
        k != static_cast<double>(static_cast<int>(k)))
        return bad;
    std::string v = text.substr(eq + 1);
    sim::Signal sig;
    if (v.rfind("sine:", 0) == 0) {
        std::string rest = v.substr(5);
        double parts[3] = {0, 0, 0};
        int n = 0;
        while (n < 3) {
            std::size_t c = rest.find(':');
            if (!ParseNumber(rest.substr(0, c), parts[n])) return bad;
            ++n;
            if (c == std::string::npos) break;
            rest = rest.substr(c + 1);
            if (n == 3) return bad;
        }
        if (n < 2 || parts[1] < 0) return bad;
        sig.Amplitude = parts[0];
        sig.FrequencyHz = parts[1];
        sig.Offset = parts[2];
    } else if (!ParseNumber(v, sig.Offset)) {
        return bad;
    }
    cfg.Signals[static_cast<std::size_t>(k)] = sig;
    return "";
}

} // namespace

bool BuiltinAvailable() { return true; }

std::string CheckBuiltinSignals(const std::vector<std::string>& signals) {
    sim::Config cfg;
    for (const std::string& s : signals) {
        std::string bad = ParseSignal(s, cfg);
        if (!bad.empty()) return bad;
    }
    return "";
}

std::string StartBuiltinInstrument(const BuiltinSettings& settings, std::string& path) {
    StopBuiltinInstrument();
    sim::Config cfg;
    for (const std::string& s : settings.Signals) {
        std::string bad = ParseSignal(s, cfg);
        if (!bad.empty()) return bad;
    }
    Running = std::make_unique<sim::PtySim>();
    std::string error;
    if (!sim::OpenPty(*Running, cfg, error) || !sim::StartPty(*Running, error)) {
        Running.reset();
        return error;
    }
    path = Running->SlavePath;
    return "";
}

void StopBuiltinInstrument() {
    if (!Running) return;
    sim::StopPty(*Running);
    Running.reset();
}

int RunSimProgram(const std::vector<std::string>& args) {
    // One program serves the instrument: sadc-sim, beside sadc when
    // installed, in ../sim in the build tree, or on PATH.
    std::string dir = ExecutableDir();
    std::vector<std::string> argv{"sadc-sim"};
    argv.insert(argv.end(), args.begin(), args.end());
    for (const std::string& candidate : {dir + "/sadc-sim", dir + "/../sim/sadc-sim", std::string("sadc-sim")}) {
        argv[0] = candidate;
        ExecProgram(argv);
    }
    fmt::print(stderr, "sadc: starting the virtual instrument failed: sadc-sim is neither beside sadc nor on PATH.\n");
    return 1;
}

} // namespace sadc::cli
