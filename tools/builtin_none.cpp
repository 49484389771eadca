// Builds without the virtual instrument (Windows, which has no
// pseudo-terminals): sadc needs --port there.
#include <fmt/core.h>

#include "tools/builtin_instrument.h"

namespace sadc::cli {

bool BuiltinAvailable() { return false; }

std::string CheckBuiltinSignals(const std::vector<std::string>& signals) {
    return signals.empty() ? "" : "this build has no virtual instrument to take --sim-signal";
}

std::string StartBuiltinInstrument(const BuiltinSettings&, std::string&) {
    return "this build has no virtual instrument";
}

void StopBuiltinInstrument() {}

int RunSimProgram(const std::vector<std::string>&) {
    fmt::print(stderr, "sadc: this build has no virtual instrument (it needs pseudo-terminals); use a real port.\n");
    return 1;
}

} // namespace sadc::cli
