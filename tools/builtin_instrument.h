// The virtual instrument that sadc starts when no port is named, and the
// `sadc sim` program. Both run the same instrument as sadc-sim.
#pragma once

#include <string>
#include <vector>

namespace sadc::cli {

struct BuiltinSettings {
    // Signal settings per channel, in the form sadc-sim takes for --signal.
    std::vector<std::string> Signals;
};

// What is wrong with the signal settings, or "".
std::string CheckBuiltinSignals(const std::vector<std::string>& signals);

// False when this build has no virtual instrument (Windows has no
// pseudo-terminals).
bool BuiltinAvailable();

// Starts the virtual instrument behind a pseudo-terminal in this process and
// stores the terminal's path. Returns "" or the reason it failed.
std::string StartBuiltinInstrument(const BuiltinSettings& settings, std::string& path);
void StopBuiltinInstrument();

// `sadc sim ARGS`: the same as `sadc-sim ARGS`. Returns the exit status.
int RunSimProgram(const std::vector<std::string>& args);

} // namespace sadc::cli
