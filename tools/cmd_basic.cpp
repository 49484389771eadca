// info, dio, counter, cal and sleep: one sign-on, a few commands, sign-off.
#include <cmath>
#include <cstdio>

#include <fmt/core.h>

#include "tools/commands.h"
#include "tools/os_tools.h"
#include "tools/progress.h"

namespace sadc::cli {
namespace {

std::string Bits8(int v) {
    std::string s;
    for (int b = 7; b >= 0; --b) s += ((v >> b) & 1) ? '1' : '0';
    return s;
}

// Signs on, runs the job, and signs off whatever happened.
template <typename Job>
int WithInstrument(const CommonSettings& s, Job job) {
    std::string bad = CommonUsageProblem(s);
    if (!bad.empty()) return UsageError(bad);
    Connection c;
    std::string failure = Connect(s, c);
    if (failure.empty()) failure = job(c);
    Disconnect(c);
    if (!failure.empty()) return Report(failure);
    return ExitOk;
}

std::string ReadInputs(Connection& c) {
    if (!GetDigIn(&c.Record))
        return Failed("reading the digital inputs", "the instrument on " + c.Name + " did not answer the command");
    return "";
}

} // namespace

int RunInfo(const CommonSettings& s) {
    return WithInstrument(s, [&](Connection& c) -> std::string {
        DeviceRecord& r = c.Record;
        std::string inputs = ReadInputs(c);
        if (!inputs.empty()) return inputs;
        // Covers every byte received since the sign-on began.
        bool agrees = GetCheckSum() != 0;
        int code = (r.ModeMid & 7) * 256 + (r.ModeLow & 0xFF);
        fmt::print("port          {}{}\n", c.Name, c.Builtin ? " (built-in virtual instrument)" : "");
        fmt::print("line speed    {} baud\n", s.Speed);
        fmt::print("firmware      version {}\n", r.Version);
        fmt::print("output rate   {:.4f} Hz (filter code {}, asked {:g} Hz)\n", static_cast<double>(r.DataRate),
                   code, s.Rate);
        fmt::print("mode bytes    high 0x{:02X}  mid 0x{:02X}  low 0x{:02X}\n", r.ModeHigh & 0xFF,
                   r.ModeMid & 0xFF, r.ModeLow & 0xFF);
        fmt::print("range         {}, {} bits, gain {}, averaging {}\n",
                   r.Bipolar ? "bipolar -5000..+5000" : "unipolar 0..5000", r.ConvBytes == 2 ? 16 : 24, s.Gain,
                   r.AvgCount);
        fmt::print("digital in    0x{:02X}  {}\n", r.DigIn & 0xFF, Bits8(r.DigIn));
        fmt::print("checksum      {}\n", agrees ? "agrees" : "does not agree");
        std::fflush(stdout);
        if (!agrees)
            return Failed("checking the running checksum",
                          "the instrument's sum differs from the bytes received, or it did not answer");
        return "";
    });
}

int RunDio(const DioSettings& s) {
    int out = -1;
    if (!s.Set.empty() && !ParseByte(s.Set, out))
        return UsageError("--set takes a byte 0..255 (decimal, 0x.. or 0b..), not " + s.Set);
    return WithInstrument(s.Common, [&](Connection& c) -> std::string {
        if (out >= 0) {
            SetDigOut(out);
            fmt::print("outputs set   0x{:02X}  {}\n", out, Bits8(out));
        }
        std::string inputs = ReadInputs(c);
        if (!inputs.empty()) return inputs;
        fmt::print("digital in    0x{:02X}  {}\n", c.Record.DigIn & 0xFF, Bits8(c.Record.DigIn));
        return "";
    });
}

int RunCounter(const CounterSettings& s) {
    return WithInstrument(s.Common, [&](Connection& c) -> std::string {
        std::string step = fmt::format("loading counter {}", s.Counter);
        if (!WriteCntr(&c.Record, s.Counter, s.Value))
            return Failed(step, "the count could not be written to " + c.Name);
        // The count has no reply; one that has shows the instrument is still
        // there and has taken the bytes before it.
        if (!GetVer(&c.Record)) return Failed(step, "the instrument on " + c.Name + " did not answer after the count");
        fmt::print("counter {} loaded with {}\n", s.Counter, s.Value);
        return "";
    });
}

int RunCal(const CalSettings& s) {
    return WithInstrument(s.Common, [&](Connection& c) -> std::string {
        DeviceRecord& r = c.Record;
        r.Channel = static_cast<std::int16_t>(s.Channel);
        r.Code = static_cast<std::int16_t>(s.Code);
        SadcStatus ok = 0;
        std::string what;
        // The instrument answers when it has done; the library bounds the wait.
        if (s.Kind == "offset") {
            what = fmt::format("the offset calibration on channel {}", s.Channel);
            RunWithProgress("calibrating the offset", 0.0, [&] { ok = OffsetCal(&r); });
        } else if (s.Kind == "fullscale") {
            what = fmt::format("the full-scale calibration on channel {}", s.Channel);
            RunWithProgress("calibrating the full scale", 0.0, [&] { ok = FullScaleCal(&r); });
        } else {
            what = "the system calibration";
            RunWithProgress("running the system calibration", 0.0, [&] { ok = SysCal(&r); });
        }
        if (!ok)
            return Failed(what, "the instrument on " + c.Name + " did not answer it completely in time");
        // The filter settles again after a calibration before readings count.
        RunWithProgress("letting the filter settle", s.Common.Filter == 0 ? 8.5 : 0.5,
                        [&] { FilterDelay(static_cast<std::int16_t>(s.Common.Filter)); });
        fmt::print("{} done\n", what);
        return "";
    });
}

int RunSleep(const CommonSettings& s) {
    return WithInstrument(s, [&](Connection& c) -> std::string {
        SadcStatus ok = GotoSleep();
        // Closing with CloseDevice would send the stop command and the wake-up
        // byte; take the port back from the library and close it quietly.
        SadcHandle h = SADC_INVALID_HANDLE;
        GetComHandle(&h);
        SetComHandle(SADC_INVALID_HANDLE);
        CloseNativeHandle(h);
        c.Open = false;
        if (!ok) return Failed("sending the instrument to sleep", "the instrument on " + c.Name + " did not confirm it");
        fmt::print("the instrument on {} is asleep; the next sign-on wakes it\n", c.Name);
        return "";
    });
}

} // namespace sadc::cli
