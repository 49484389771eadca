// scan: continuous scanning in mode 0, 1 or 2 into CSV, with the scan
// interval checked first, a live line, a clean stop on Ctrl-C, and a plot.
#include <cmath>
#include <cstdio>
#include <memory>

#include <fmt/core.h>

#include "tools/commands.h"
#include "tools/os_tools.h"
#include "tools/progress.h"

namespace sadc::cli {
namespace {

// The instrument's six set-up bytes: the first channel of a scan (channels
// follow in order), the conversions per scan, what the further byte after the
// conversions carries (bit 0 set: the digital inputs; clear: the scan's
// sequence number, counting the scan clock's ticks), a spare, and the
// channels of the two further conversions of mode 2.
constexpr int ConfigFirstChannel = 0;
constexpr int ConfigCount = 1;
constexpr int ConfigFurther = 2;
constexpr int ConfigExtraA = 4;
constexpr int ConfigExtraB = 5;

double SettlingTime(int filterSel) { return filterSel == 0 ? 4.5 : filterSel == 1 ? 0.56 : 0.036; }

std::int32_t BytesPerScan(const DeviceRecord& r) {
    if (r.ScanMode == 0) return r.ConvBytes;
    if (r.ScanMode == 2) return (r.NumChans + 2) * r.ConvBytes + 2;
    return r.NumChans * r.ConvBytes + 2;
}

// Conversions a scan holds once its lead byte is gone.
int ConversionsPerScan(const DeviceRecord& r) {
    if (r.ScanMode == 0) return 1;
    return r.ScanMode == 2 ? r.NumChans + 2 : r.NumChans;
}

std::string ScanFailure(const DeviceRecord& r, long index, const std::string& name) {
    std::string step = fmt::format("receiving scan {}", index + 1);
    switch (r.ErrorCode) {
    case SADC_ERR_DATA_LATE:
        return Failed(step, "the scan did not begin with the lead byte 0xF0, so the stream is out of step");
    case SADC_ERR_SCAN_TIMEOUT:
    case SADC_ERR_SCAN_TIMEOUT_10:
        return Failed(step, fmt::format("it did not arrive from {} within {:.3f} s (the library has signed on again)",
                                        name, r.ScanTime + 2.0));
    case SADC_ERR_OVERFLOW:
        return Failed(step, "the serial driver's input queue is nearly full; the scans come faster than they are read");
    default:
        return Failed(step, fmt::format("the library gave error code {}", r.ErrorCode));
    }
}

// The scan clock rate that CheckScanTime uses and the one sign-on loads the
// timer with; they differ for older firmware unless the preset is negative.
double CheckClock(const DeviceRecord& r) {
    return (r.Version > 100 ? 4882.8125 : 3906.25) / std::ldexp(1.0, r.SpeedIndex);
}
double TimerClock(const DeviceRecord& r) {
    return (r.CounterPreset < 0 ? 3906.25 : 4882.8125) / std::ldexp(1.0, r.SpeedIndex);
}

} // namespace

int RunScan(const ScanSettings& s) {
    std::vector<int> channels;
    std::string list = s.Channels.empty() ? (s.Mode == 0 ? "0" : "0-3") : s.Channels;
    std::string bad = ParseChannels(list, channels);
    if (bad.empty()) bad = CommonUsageProblem(s.Common);
    if (!bad.empty()) return UsageError(bad);
    if (s.Mode == 0 && channels.size() != 1)
        return UsageError("scan mode 0 converts one channel; give one with --channels");
    if (s.Mode != 0 && s.Config.empty())
        for (std::size_t i = 1; i < channels.size(); ++i)
            if (channels[i] != (channels[i - 1] + 1) % 16 || channels.size() > 16)
                return UsageError("a scan holds channels in order from the first (after 15 comes 0); give a run "
                                  "such as 2-5 or 14,15,0");
    std::vector<int> extra;
    if (s.Mode == 2) {
        bad = ParseChannels(s.Extra, extra);
        if (!bad.empty() || extra.size() != 2)
            return UsageError("--extra takes two channels, such as 14,15");
    }
    if (s.Duration < 0 || (s.Duration > 0 && s.Scans > 0))
        return UsageError("give either --duration or --scans");
    if (!s.Config.empty() && s.Config.size() != 6)
        return UsageError("--config takes six bytes");
    if (!s.Plot.empty()) {
        std::string ext = s.Plot.size() > 4 ? s.Plot.substr(s.Plot.size() - 4) : "";
        if (ext != ".svg" && ext != ".png")
            return UsageError("--plot writes a .svg or a .png file, not " + s.Plot);
    }

    // A plot needs the CSV in a file: without --output, standard output gets
    // the CSV and a temporary file a copy.
    std::string csvPath = s.Output;
    bool temporaryCsv = false;
    if (csvPath.empty() && !s.Plot.empty()) {
        csvPath = TemporaryFile(".csv");
        temporaryCsv = true;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(nullptr, std::fclose);
    if (!csvPath.empty()) {
        file.reset(std::fopen(csvPath.c_str(), "w"));
        if (!file) return Report(Failed("opening the output file", "could not write " + csvPath));
    }
    std::vector<std::FILE*> sinks;
    if (s.Output.empty()) sinks.push_back(stdout);
    if (file) sinks.push_back(file.get());
    // Each line is flushed, so the CSV is complete up to the last scan
    // whatever ends the program.
    auto writeLine = [&](const std::string& line) {
        for (std::FILE* f : sinks) {
            fmt::print(f, "{}\n", line);
            std::fflush(f);
        }
    };

    Connection c;
    CommonSettings common = s.Common;
    // The scan timer and the set-up bytes are loaded at sign-on, so the
    // record carries the scan before it.
    std::string failure = Connect(common, c, [&](DeviceRecord& rec) {
        rec.ScanMode = static_cast<std::int16_t>(s.Mode);
        rec.NumChans = static_cast<std::int16_t>(s.Mode == 0 ? 1 : static_cast<int>(channels.size()));
        rec.Channel = static_cast<std::int16_t>(channels[0]);
        rec.Code = static_cast<std::int16_t>(s.Code);
        rec.ScanTime = s.Interval;
        if (!s.Config.empty()) {
            for (std::size_t i = 0; i < 6; ++i) rec.ScanConfig[i] = static_cast<std::int16_t>(s.Config[i]);
        } else {
            rec.ScanConfig[ConfigFirstChannel] = static_cast<std::int16_t>(channels[0]);
            rec.ScanConfig[ConfigCount] = static_cast<std::int16_t>(channels.size());
            rec.ScanConfig[ConfigFurther] = static_cast<std::int16_t>(s.DigInByte ? 1 : 0);
            if (s.Mode == 2) {
                rec.ScanConfig[ConfigExtraA] = static_cast<std::int16_t>(extra[0]);
                rec.ScanConfig[ConfigExtraB] = static_cast<std::int16_t>(extra[1]);
            }
        }
    });
    // Scan times follow the sequence number where the further byte carries
    // it, so scans the instrument had to skip leave their gap in the time.
    bool sequenced = s.Mode != 0 && s.Config.empty() && !s.DigInByte;
    bool digInColumn = s.Mode != 0 && s.Config.empty() && s.DigInByte;
    DeviceRecord& r = c.Record;
    long written = 0;
    long skipped = 0; // scans the instrument could not send in time
    bool scanning = false;
    bool timedOut = false;

    if (failure.empty()) {
        double maxTime = 0, minTime = 0;
        std::int16_t fits = CheckScanTime(&r, &maxTime, &minTime);
        if (fits == 0) {
            failure = Failed("checking the scan interval",
                             fmt::format("{:g} s does not fit this set-up, whose scans need between {:.6f} s and "
                                         "{:.4f} s",
                                         s.Interval, minTime, maxTime));
        } else {
            if (fits == 2)
                fmt::print(stderr, "sadc: averaging halved to {} so that a scan fits the interval.\n", r.AvgCount);
            if (CheckClock(r) != TimerClock(r))
                fmt::print(stderr,
                           "sadc: firmware version {} counts its scan clock at {:g} Hz; give --preset -1 so that the "
                           "scan timer is loaded for it.\n",
                           r.Version, CheckClock(r));
        }
    }

    long total = s.Scans;
    if (failure.empty() && s.Duration > 0)
        // The scans that fill the duration at the interval the clock gives.
        total = std::max(1L, std::lround(s.Duration / r.ScanTime));

    if (failure.empty() && !Interrupted()) {
        SadcStatus ok = 0;
        double expected = s.Mode == 0 ? SettlingTime(s.Common.Filter) * 2 + 0.5 + 2.5 : 0.0;
        RunWithProgress(s.Mode == 0 ? "starting the scan (the filter settles first)" : "starting the scan", expected,
                        [&] { ok = StartScanning(&r); });
        if (!ok) {
            failure = Failed("starting the scan", "the instrument on " + c.Name + " did not echo the start command");
            scanning = true; // it may have started all the same: stop it
        } else {
            scanning = true;
        }
    }

    std::vector<std::string> names;
    if (failure.empty()) {
        for (int ch : channels) names.push_back(fmt::format("ch{}", ch));
        if (s.Mode == 2) {
            names.push_back(fmt::format("extra_ch{}", extra[0]));
            names.push_back(fmt::format("extra_ch{}", extra[1]));
        }
        std::string header = "time";
        for (const std::string& n : names) header += "," + n;
        if (s.Counts)
            for (const std::string& n : names) header += "," + n + "_counts";
        if (digInColumn) header += ",digin";
        writeLine(header);
    }

    if (failure.empty()) {
        std::vector<std::int32_t> buffer(static_cast<std::size_t>(BytesPerScan(r)) * 2 + 64, 0);
        int conversions = ConversionsPerScan(r);
        bool live = StderrIsTerminal() && !s.Quiet;
        std::vector<double> values(static_cast<std::size_t>(conversions));
        std::vector<std::int32_t> counts(static_cast<std::size_t>(conversions));
        long tick = 0;
        long received = 0;
        int lastSequence = 0;
        // Each row waits for the next scan: a byte lost on the line makes a
        // scan take the next one's lead byte as its last, and only the scan
        // after shows it. Such a row is dropped, not written.
        std::string held;
        int heldFurther = -1;
        while ((total <= 0 || received < total) && !Interrupted()) {
            r.ErrorCode = 0;
            if (!GetOneScan(&r, buffer.data())) {
                failure = ScanFailure(r, received, c.Name);
                timedOut = r.ErrorCode == SADC_ERR_SCAN_TIMEOUT || r.ErrorCode == SADC_ERR_SCAN_TIMEOUT_10;
                // In step, the scan before ends with its sequence number; one
                // that ends with a lead byte took it from this scan.
                if (r.ErrorCode == SADC_ERR_DATA_LATE && (!sequenced || heldFurther == 0xF0) && !held.empty()) {
                    held.clear();
                    failure += "; the scan before it was dropped, as it may hold bytes of both";
                }
                RemoveFromBuffer(static_cast<std::int32_t>(buffer.size()), buffer.data());
                break;
            }
            for (int i = 0; i < conversions; ++i) {
                Gconv(&r, buffer.data());
                values[static_cast<std::size_t>(i)] = r.ScaledValue;
                counts[static_cast<std::size_t>(i)] = r.Counts;
            }
            int further = s.Mode != 0 ? buffer[0] & 0xFF : 0;
            // Whatever is left goes, so the next scan's lead byte lands at
            // the head of the buffer.
            RemoveFromBuffer(static_cast<std::int32_t>(buffer.size()), buffer.data());

            if (sequenced) {
                long step = received == 0 ? 0 : ((further - lastSequence) & 0xFF);
                if (received > 0 && step == 0) step = 256; // a whole turn of the 8-bit count
                if (step > 1) skipped += step - 1;
                tick += step;
                lastSequence = further;
            } else {
                tick = received;
            }
            ++received;
            double t = static_cast<double>(tick) * r.ScanTime;
            std::string row = fmt::format("{:.6f}", t);
            for (double v : values) row += "," + FormatValue(v);
            if (s.Counts)
                for (std::int32_t n : counts) row += fmt::format(",{}", n);
            if (digInColumn) row += fmt::format(",{}", further);
            if (!held.empty()) {
                writeLine(held);
                ++written;
            }
            held = row;
            heldFurther = further;

            if (live) {
                std::string line = total > 0 ? fmt::format("scan {}/{} {} {:.1f} s", received, total,
                                                           Bar(static_cast<double>(received), static_cast<double>(total), 10), t)
                                             : fmt::format("scan {} {:.1f} s", received, t);
                for (std::size_t i = 0; i < values.size(); ++i)
                    line += fmt::format("  {} {:.3f}", names[i], values[i]);
                ShowLiveLine(line);
            }
        }
        if (!held.empty()) {
            writeLine(held);
            ++written;
        }
        ClearLiveLine();
    }

    bool interrupted = Interrupted();
    if (scanning && !timedOut && c.Open) {
        SadcStatus ok = 0;
        // The library waits 1.5 reply time limits for the tail of the stream.
        double wait = 1.5 * (static_cast<double>(r.AvgCount) / static_cast<double>(r.DataRate) + 2.0);
        RunWithProgress("stopping the scan", wait, [&] { ok = StopScanning(&r); });
        if (!ok && failure.empty())
            failure = Failed("stopping the scan", "the instrument on " + c.Name + " did not end its stream with 0x8A");
    }
    Disconnect(c);
    if (file) {
        std::fflush(file.get());
        if (std::ferror(file.get()) && failure.empty()) failure = Failed("writing the CSV file", "could not write " + csvPath);
        file.reset();
    }

    if (failure.empty() && !s.Plot.empty() && written > 0) {
        std::string title = s.Mode == 0 ? fmt::format("scan mode 0, channel {}", channels[0])
                                        : fmt::format("scan mode {}, {} channels", s.Mode, channels.size());
        failure = MakePlot(csvPath, s.Plot, title);
    }
    if (temporaryCsv) std::remove(csvPath.c_str());

    if (interrupted && failure.empty()) fmt::print(stderr, "sadc: stopped by Ctrl-C after {} scan(s).\n", written);
    if (!failure.empty()) return Report(failure);
    if (skipped > 0)
        fmt::print(stderr, "sadc: the instrument skipped {} scan(s) it could not send in time; the time column shows "
                           "the gaps.\n", skipped);
    if (!s.Output.empty()) fmt::print(stderr, "sadc: {} scan(s) written to {}\n", written, s.Output);
    if (!s.Plot.empty() && written > 0) fmt::print(stderr, "sadc: plot written to {}\n", s.Plot);
    return ExitOk;
}

} // namespace sadc::cli
