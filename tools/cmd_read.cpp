// read: single conversions on one or more channels, as a table or as CSV.
#include <chrono>
#include <cstdio>
#include <memory>

#include <fmt/core.h>

#include "tools/commands.h"
#include "tools/os_tools.h"
#include "tools/progress.h"

namespace sadc::cli {

std::string ConversionFailure(const DeviceRecord& r, int channel) {
    std::string step = fmt::format("reading channel {}", channel);
    if (r.ErrorCode == SADC_ERR_DATA_LATE)
        return Failed(step, "the data bytes of the conversion did not all arrive in time");
    return Failed(step, fmt::format("the instrument answered 0x{:02X} where the conversion echo 0x81 was expected",
                                    r.ErrorCode & 0xFF));
}

int RunRead(const ReadSettings& s) {
    std::vector<int> channels;
    std::string bad = ParseChannels(s.Channels, channels);
    if (bad.empty()) bad = CommonUsageProblem(s.Common);
    if (!bad.empty()) return UsageError(bad);
    bool csv = s.Csv || !s.Output.empty();

    std::FILE* out = stdout;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(nullptr, std::fclose);
    if (!s.Output.empty()) {
        file.reset(std::fopen(s.Output.c_str(), "w"));
        if (!file) return Report(Failed("opening the output file", "could not write " + s.Output));
        out = file.get();
    }

    Connection c;
    std::string failure = Connect(s.Common, c);
    int done = 0;
    if (failure.empty()) {
        DeviceRecord& r = c.Record;
        std::string header = csv ? "time" : fmt::format("{:>8}", "time_s");
        for (int ch : channels) header += csv ? fmt::format(",ch{}", ch) : fmt::format("  {:>10}", fmt::format("ch{}", ch));
        if (s.Counts)
            for (int ch : channels)
                header += csv ? fmt::format(",ch{}_counts", ch) : fmt::format("  {:>10}", fmt::format("ch{}_counts", ch));
        fmt::print(out, "{}\n", header);
        std::fflush(out);

        auto start = std::chrono::steady_clock::now();
        int selected = -1;
        for (int round = 0; round < s.Count && failure.empty() && !Interrupted(); ++round) {
            if (round > 0 && s.Interval > 0) {
                double due = round * s.Interval;
                double now = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                if (due > now) SleepSeconds(due - now);
                if (Interrupted()) break;
            }
            double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::vector<double> values;
            std::vector<std::int32_t> counts;
            for (int ch : channels) {
                if (ch != selected) {
                    r.Channel = static_cast<std::int16_t>(ch);
                    r.Code = static_cast<std::int16_t>(s.Code);
                    SetChanCode(&r);
                    selected = ch;
                    if (s.Settle)
                        RunWithProgress(fmt::format("letting the filter settle on channel {}", ch),
                                        s.Common.Filter == 0 ? 8.5 : 0.5,
                                        [&] { FilterDelay(static_cast<std::int16_t>(s.Common.Filter)); });
                }
                r.ErrorCode = 0;
                if (!GetConversion(&r)) {
                    failure = ConversionFailure(r, ch);
                    break;
                }
                values.push_back(r.ScaledValue);
                counts.push_back(r.Counts);
            }
            if (!failure.empty()) break;
            std::string row = csv ? fmt::format("{:.3f}", t) : fmt::format("{:>8.3f}", t);
            for (double v : values) row += csv ? "," + FormatValue(v) : fmt::format("  {:>10}", FormatValue(v));
            if (s.Counts)
                for (std::int32_t n : counts) row += csv ? fmt::format(",{}", n) : fmt::format("  {:>10}", n);
            fmt::print(out, "{}\n", row);
            std::fflush(out);
            ++done;
        }
    }
    bool interrupted = Interrupted() && failure.empty();
    Disconnect(c);
    if (!failure.empty()) return Report(failure);
    if (interrupted) fmt::print(stderr, "sadc: stopped by Ctrl-C after {} reading(s).\n", done);
    return ExitOk;
}

} // namespace sadc::cli
