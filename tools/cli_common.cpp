#include "tools/cli_common.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include <CLI/CLI.hpp>
#include <fmt/core.h>

#include "interface/diagnostics.h"
#include "tools/builtin_instrument.h"
#include "tools/os_tools.h"
#include "tools/progress.h"

namespace sadc::cli {
namespace {

constexpr int BaudTable[6] = {9600, 4800, 2400, 1200, 600, 300};

// "COM1".."COM16", any case; -1 otherwise.
int PortNumberOf(const std::string& name) {
    if (name.size() < 4 || name.size() > 5) return -1;
    for (int i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(name[static_cast<std::size_t>(i)])) != "COM"[i]) return -1;
    int n = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return -1;
        n = n * 10 + (name[i] - '0');
    }
    return (n >= 1 && n <= 16 && name[3] != '0') ? n : -1;
}

} // namespace

int SpeedIndexOf(int baud) {
    for (int i = 0; i < 6; ++i)
        if (BaudTable[i] == baud) return i;
    return -1;
}

void AddCommonOptions(CLI::App& app, CommonSettings& s) {
    const char* group = "Connection and converter";
    auto* port = app.add_option("--port", s.Port, "Serial port COM1..COM16 (on Linux COMn is /dev/ttyS(n-1), "
                                                  "or $SADCLINK_PORTS/COMn)")
                     ->check(CLI::Validator(
                         [](std::string& v) {
                             return PortNumberOf(v) > 0 ? std::string() : std::string("not COM1..COM16: ") + v;
                         },
                         "COMn"))
                     ->group(group);
    auto* device = app.add_option("--device", s.Device, "Serial device path, such as /dev/ttyUSB0 (not on Windows)")
                       ->group(group);
    port->excludes(device);
    app.add_option("--speed", s.Speed, "Line speed in baud")
        ->check(CLI::IsMember({9600, 4800, 2400, 1200, 600, 300}))
        ->capture_default_str()
        ->group(group);
    app.add_option("--rate", s.Rate, "Converter output rate in Hz (9.54 to 19531.25); the achieved rate is "
                                     "19531.25 / a whole filter code")
        ->check(CLI::Validator(
            [](std::string& v) {
                double r = std::strtod(v.c_str(), nullptr);
                return (r > 19531.25 / 2048 && r <= 19531.25) ? std::string()
                                                               : std::string("must lie above 9.537 and up to 19531.25 Hz");
            },
            "HZ"))
        ->capture_default_str()
        ->group(group);
    app.add_option("--gain", s.Gain, "Converter gain")
        ->check(CLI::IsMember({1, 2, 4, 8, 16, 32, 64, 128}))
        ->capture_default_str()
        ->group(group);
    app.add_flag("--bipolar", s.Bipolar, "Bipolar input range, -5000..+5000 (default unipolar 0..5000)")->group(group);
    app.add_option("--bits", s.Bits, "Conversion word length")
        ->check(CLI::IsMember({16, 24}))
        ->capture_default_str()
        ->group(group);
    app.add_option("--avg", s.Avg, "Conversions the instrument averages into one reading")
        ->check(CLI::Range(1u, 255u))
        ->capture_default_str()
        ->group(group);
    app.add_option("--filter", s.Filter, "Filter settling selection: 0 slow (4.5 s), 1 medium (0.56 s), 2 fast (0.036 s)")
        ->check(CLI::IsMember({0, 1, 2}))
        ->capture_default_str()
        ->group(group);
    app.add_option("--preset", s.Preset, "Count preset into counters 0 and 1 at sign-on (negative: the slower "
                                         "scan clock of older firmware)")
        ->capture_default_str()
        ->group(group);
    app.add_option("--sim-signal", s.SimSignals,
                   "Built-in instrument only: a channel's signal, as sadc-sim --signal takes it")
        ->group(group);
}

DeviceRecord MakeRecord(const CommonSettings& s) {
    DeviceRecord r{};
    int port = PortNumberOf(s.Port);
    r.ComPort = static_cast<std::int16_t>(port > 0 ? port - 1 : 0);
    r.ScanTime = 1.0;
    r.NumChans = 1;
    r.ScanMode = 1;
    r.Channel = 0;
    r.Code = 0;
    r.ConvBytes = static_cast<std::int16_t>(s.Bits == 16 ? 2 : 3);
    r.Bipolar = static_cast<std::int16_t>(s.Bipolar ? 1 : 0);
    r.FilterSel = static_cast<std::int16_t>(s.Filter);
    r.Gain = static_cast<std::int16_t>(s.Gain);
    r.DataRate = static_cast<float>(s.Rate);
    int speed = SpeedIndexOf(s.Speed);
    r.SpeedIndex = static_cast<std::int16_t>(speed < 0 ? 0 : speed);
    r.ModeBits = 0;
    r.CounterPreset = s.Preset;
    r.AvgCount = s.Avg;
    r.OutQueueSize = 1024;
    r.InQueueSize = 8192;
    return r;
}

std::string CommonUsageProblem(const CommonSettings& s) {
    if (!s.SimSignals.empty() && (!s.Port.empty() || !s.Device.empty()))
        return "--sim-signal is for the built-in virtual instrument, not for --port or --device";
    return CheckBuiltinSignals(s.SimSignals);
}

int UsageError(const std::string& reason) {
    ClearLiveLine();
    fmt::print(stderr, "sadc: {}.\nRun 'sadc --help' or 'sadc COMMAND --help' for the options.\n", reason);
    return ExitUsage;
}

std::string Failed(const std::string& step, const std::string& reason) {
    return step + " failed: " + reason;
}

const std::string& Interruption() {
    static const std::string text = "interrupted";
    return text;
}

int Report(const std::string& sentence) {
    ClearLiveLine();
    if (sentence == Interruption()) {
        fmt::print(stderr, "sadc: interrupted.\n");
        return ExitInterrupted;
    }
    std::string s = sentence;
    if (!s.empty() && s.back() != '.') s += '.';
    fmt::print(stderr, "sadc: {}\n", s);
    return ExitFailed;
}

std::string InUserTerms(const Connection& c, const std::string& note) {
    if (c.Name == c.LibName || c.LibName.empty()) return note;
    std::string out;
    std::size_t i = 0;
    while (i < note.size()) {
        std::size_t at = note.find(c.LibName, i);
        if (at == std::string::npos) {
            out += note.substr(i);
            break;
        }
        std::size_t end = at + c.LibName.size();
        bool whole = end >= note.size() || !std::isdigit(static_cast<unsigned char>(note[end]));
        out += note.substr(i, at - i);
        out += whole ? c.Name : c.LibName;
        i = end;
    }
    return out;
}

std::string Connect(const CommonSettings& s, Connection& c, const std::function<void(DeviceRecord&)>& setUp) {
    c.Record = MakeRecord(s);
    c.LibName = fmt::format("COM{}", c.Record.ComPort + 1);
    if (!s.Device.empty()) {
        std::string problem = DeviceProblem(s.Device);
        if (!problem.empty()) return Failed("opening the port", problem);
        std::string reason = LinkAsCom1(s.Device);
        if (!reason.empty()) return Failed("opening the port", reason);
        c.Record.ComPort = 0;
        c.LibName = "COM1";
        c.Name = s.Device;
    } else if (!s.Port.empty()) {
        c.Name = c.LibName;
        std::string path = PortPath(c.Record.ComPort + 1);
        std::string problem = path.empty() ? std::string() : DeviceProblem(path);
        if (!problem.empty()) return Failed("opening the port", fmt::format("{} is {} here, and {}", c.Name, path, problem));
    } else {
        if (!BuiltinAvailable())
            return Failed("starting the built-in virtual instrument",
                          "this build has none (Windows has no pseudo-terminals); name a port with --port COMn");
        std::string path;
        BuiltinSettings b;
        b.Signals = s.SimSignals;
        std::string reason = StartBuiltinInstrument(b, path);
        if (!reason.empty()) return Failed("starting the built-in virtual instrument", reason);
        reason = LinkAsCom1(path);
        if (!reason.empty()) return Failed("starting the built-in virtual instrument", reason);
        c.Builtin = true;
        c.Record.ComPort = 0;
        c.LibName = "COM1";
        c.Name = path;
        fmt::print(stderr, "sadc: no --port or --device given: using the built-in virtual instrument on {}\n", path);
    }
    if (setUp) setUp(c.Record);
    SadcStatus ok = 0;
    RunWithProgress(fmt::format("signing on to {} at {} baud", c.Name, s.Speed), 0.0,
                    [&] { ok = SignOn(&c.Record); });
    c.Open = ok != 0;
    if (Interrupted()) return Interruption();
    if (!ok) {
        std::string note = LastFailure();
        if (note.empty()) note = "the instrument on " + c.Name + " did not complete the sign-on";
        return Failed("signing on", InUserTerms(c, note));
    }
    return "";
}

void Disconnect(Connection& c) {
    if (c.Open) CloseDevice();
    c.Open = false;
    if (c.Builtin) StopBuiltinInstrument();
    c.Builtin = false;
    RemovePortLink();
}

std::string ParseChannels(const std::string& text, std::vector<int>& channels) {
    channels.clear();
    std::size_t i = 0;
    auto number = [&](int& v) {
        std::size_t start = i;
        v = 0;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && i - start < 3)
            v = v * 10 + (text[i++] - '0');
        return i > start;
    };
    while (i < text.size()) {
        int a = 0, b = 0;
        if (!number(a)) return "not a channel list: " + text;
        b = a;
        if (i < text.size() && text[i] == '-') {
            ++i;
            if (!number(b)) return "not a channel list: " + text;
        }
        if (a > 15 || b > 15) return "channels are 0..15: " + text;
        if (b < a) return "a range runs upwards: " + text;
        for (int ch = a; ch <= b; ++ch) channels.push_back(ch);
        if (i < text.size()) {
            if (text[i] != ',') return "not a channel list: " + text;
            ++i;
        }
    }
    if (channels.empty()) return "no channels given";
    return "";
}

bool ParseByte(const std::string& text, int& value) {
    if (text.empty()) return false;
    int base = 10;
    std::size_t i = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) base = 16, i = 2;
    else if (text.size() > 2 && text[0] == '0' && (text[1] == 'b' || text[1] == 'B')) base = 2, i = 2;
    long v = 0;
    for (; i < text.size(); ++i) {
        int d = -1;
        char ch = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
        if (ch >= '0' && ch <= '9') d = ch - '0';
        else if (ch >= 'a' && ch <= 'f') d = ch - 'a' + 10;
        if (d < 0 || d >= base) return false;
        v = v * base + d;
        if (v > 255) return false;
    }
    value = static_cast<int>(v);
    return true;
}

std::string FormatValue(double v) { return fmt::format("{:.4f}", v); }

} // namespace sadc::cli
