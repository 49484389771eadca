// What every sadc subcommand shares: the connection options, the record
// they fill, signing on and off, and how a failure is told.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sadclink.h"

namespace CLI {
class App;
}

namespace sadc::cli {

// Exit statuses.
inline constexpr int ExitOk = 0;
inline constexpr int ExitFailed = 1;     // a step with the instrument failed
inline constexpr int ExitUsage = 2;      // the command line was wrong
inline constexpr int ExitInterrupted = 130;

struct CommonSettings {
    std::string Port;   // "COM3"
    std::string Device; // "/dev/ttyUSB0"
    int Speed = 9600;   // baud
    double Rate = 100.0; // requested converter output rate, Hz
    int Gain = 1;
    bool Bipolar = false;
    int Bits = 24;
    unsigned Avg = 1;
    int Filter = 2;
    std::int32_t Preset = 0; // CounterPreset
    std::vector<std::string> SimSignals; // for the built-in instrument
};

// Adds --port, --device, --speed, --rate, --gain, --bipolar, --bits, --avg,
// --filter, --preset and --sim-signal to a subcommand.
void AddCommonOptions(CLI::App& app, CommonSettings& s);

// Speed index of a baud rate (0 for 9600 ... 5 for 300), -1 if none.
int SpeedIndexOf(int baud);

// A record holding the settings, ready for SignOn.
DeviceRecord MakeRecord(const CommonSettings& s);

struct Connection {
    DeviceRecord Record{};
    std::string Name;     // the port as the user knows it: "COM3", "/dev/ttyUSB0"
    std::string LibName;  // the library's name for it: "COM1"
    bool Builtin = false;
    bool Open = false;
};

// Prepares the port (a device link or the built-in instrument), lets setUp
// complete the record, then signs on with a progress line. Returns "" or the
// failure sentence.
std::string Connect(const CommonSettings& s, Connection& c,
                    const std::function<void(DeviceRecord&)>& setUp = {});

// Stops and closes the port (CloseDevice), and the built-in instrument.
void Disconnect(Connection& c);

// A library note with the library's port name replaced by the user's.
std::string InUserTerms(const Connection& c, const std::string& note);

// What is wrong with the common options that the parser cannot see, or "".
std::string CommonUsageProblem(const CommonSettings& s);

// Prints "sadc: REASON." and the hint to --help; returns ExitUsage.
int UsageError(const std::string& reason);

// "STEP failed: REASON".
std::string Failed(const std::string& step, const std::string& reason);

// Prints "sadc: SENTENCE." on stderr and returns ExitFailed (or
// ExitInterrupted when the sentence is Interruption()).
int Report(const std::string& sentence);
const std::string& Interruption();

// "0,2,5" and "0-3" into channel numbers 0..15; "" or the reason.
std::string ParseChannels(const std::string& text, std::vector<int>& channels);

// A byte value given as decimal, 0x hex or 0b binary; false if none.
bool ParseByte(const std::string& text, int& value);

// The instrument's 0..5000 (or -5000..5000) unit, fixed to 4 decimals.
std::string FormatValue(double v);

} // namespace sadc::cli
