// The scan-interval check, the averaging exponent and the filter settling
// wait, on the virtual clock.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "converter/scan_timing.h"
#include "interface/module_state.h"
#include "link/port_io.h"
#include "sadclink.h"
#include "scripted_instrument.h"

namespace {

using namespace sadc::test;
using sadc::Module;
namespace virt = sadc::virt;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

class ScanTiming : public VirtualLink {
protected:
    void SetUp() override {
        VirtualLink::SetUp();
        Attach();
        Instrument.AllowExtra();
    }
};

// The set-up every example starts from: 4 channels of 3 bytes in scan mode 1
// at 100 conversions a second, 8 averaged, firmware 101, 9600 baud.
DeviceRecord BaseRecord() {
    DeviceRecord r{};
    r.SpeedIndex = 0;
    r.FilterSel = 2;
    r.NumChans = 4;
    r.ConvBytes = 3;
    r.AvgCount = 8;
    r.DataRate = 100.0f;
    r.ScanMode = 1;
    r.ScanTime = 1.0;
    r.Version = 101;
    r.CounterPreset = 0;
    return r;
}

TEST_F(ScanTiming, CheckScanTimeExamples) {
    struct Case {
        const char* Name;
        void (*Change)(DeviceRecord&);
        double ScanTime, MinTime, MaxTime; // after the call
        std::int16_t Result;
        std::uint32_t AvgCount; // after the call
        Bytes Wire;             // the averaging frame when it halves
        double ReplyTimeout;    // after the call (0.5 stands for "unchanged")
    };
    const double NewMax = 3385.9999744, OldMax = 4232.999936;
    const Case cases[] = {
        {"newer firmware", [](DeviceRecord&) {}, 1.0000384, 0.5269504, NewMax, 1, 8, {}, 0.5},
        {"scan mode 7 acts as 1", [](DeviceRecord& r) { r.ScanMode = 7; }, 1.0000384, 0.5269504, NewMax, 1, 8, {}, 0.5},
        {"version 99: settling channel time, slower clock", [](DeviceRecord& r) { r.Version = 99; },
         0.999936, 0.525056, OldMax, 1, 8, {}, 0.5},
        {"version 100: newer channel time, slower clock", [](DeviceRecord& r) { r.Version = 100; },
         0.999936, 0.526848, OldMax, 1, 8, {}, 0.5},
        {"preset -1 selects the settling channel time",
         [](DeviceRecord& r) { r.FilterSel = 0; r.CounterPreset = -1; },
         1.0000384, 15.1668736, NewMax, 0, 8, {}, 0.5},
        {"preset -2 does not", [](DeviceRecord& r) { r.FilterSel = 0; r.CounterPreset = -2; },
         1.0000384, 0.5269504, NewMax, 1, 8, {}, 0.5},
        {"too short", [](DeviceRecord& r) { r.ScanTime = 0.5; }, 0.4999168, 0.5269504, NewMax, 0, 8, {}, 0.5},
        {"too long", [](DeviceRecord& r) { r.ScanTime = 4000.0; }, 4000.0, 0.5269504, NewMax, 0, 8, {}, 0.5},
        {"scan mode 0, no interval: one tick", [](DeviceRecord& r) { r.ScanMode = 0; r.ScanTime = 0.0; },
         0.0002048, 0.0804864, NewMax, 0, 8, {}, 0.5},
        {"scan mode 2 at 2400 baud",
         [](DeviceRecord& r) { r.ScanMode = 2; r.SpeedIndex = 2; r.FilterSel = 1; r.ScanTime = 3.0; },
         2.9999104, 1.7645568, 13543.9998976, 1, 8, {}, 0.5},
        {"transfer time above the computed minimum",
         [](DeviceRecord& r) { r.SpeedIndex = 5; r.AvgCount = 1; r.DataRate = 1000.0f; },
         0.9961472, 0.49152, 108351.9991808, 1, 1, {}, 0.5},
        {"limits crossed: averaging halved, minimum kept",
         [](DeviceRecord& r) { r.NumChans = 1000; r.FilterSel = 0; r.CounterPreset = -1; },
         1.0000384, 3790.0068864, NewMax, 0, 4, {0x04, 0x02, 0x06}, 2.04},
        {"halving rounds down", [](DeviceRecord& r) { r.NumChans = 1000; r.FilterSel = 0; r.CounterPreset = -1; r.AvgCount = 5; },
         1.0000384, 3760.0069632, NewMax, 0, 2, {0x04, 0x01, 0x05}, 2.02},
        // A minimum just past the longest interval rounds to the same tick.
        {"halved and in range: result 2",
         [](DeviceRecord& r) {
             r.ScanMode = 0; r.SpeedIndex = 5; r.AvgCount = 5; r.DataRate = 0x1.83198ep-15f;
             r.ScanTime = 108352.0;
         },
         108351.9991808, 108351.9991808, 108351.9991808, 2, 2, {0x04, 0x01, 0x05}, 43342.79997779965},
        // One conversion cannot be halved: nothing is sent, the result
        // follows from the limits.
        {"limits crossed with no averaging left",
         [](DeviceRecord& r) { r.NumChans = 1000; r.FilterSel = 0; r.CounterPreset = -1; r.AvgCount = 1; },
         1.0000384, 3720.0068608, NewMax, 0, 1, {}, 0.5},
        // No conversion rate to work from: the interval is still rounded,
        // the limits are 0, and the interval is not accepted.
        {"no data rate", [](DeviceRecord& r) { r.DataRate = 0.0f; }, 1.0000384, 0.0, 0.0, 0, 8, {}, 0.5},
        {"negative data rate", [](DeviceRecord& r) { r.DataRate = -100.0f; }, 1.0000384, 0.0, 0.0, 0, 8, {}, 0.5},
        {"data rate not a number", [](DeviceRecord& r) { r.DataRate = static_cast<float>(NaN); },
         1.0000384, 0.0, 0.0, 0, 8, {}, 0.5},
        {"infinite data rate", [](DeviceRecord& r) { r.DataRate = static_cast<float>(Inf); },
         1.0000384, 0.0, 0.0, 0, 8, {}, 0.5},
        {"no data rate, crossed limits: nothing halved",
         [](DeviceRecord& r) { r.DataRate = 0.0f; r.NumChans = 1000; r.FilterSel = 0; r.CounterPreset = -1; },
         1.0000384, 0.0, 0.0, 0, 8, {}, 0.5},
        // A speed index with no scan clock at all: nothing can be rounded.
        {"speed index far above the table", [](DeviceRecord& r) { r.SpeedIndex = 2000; }, 1.0, 0.0, 0.0, 0, 8, {}, 0.5},
        {"speed index far below the table", [](DeviceRecord& r) { r.SpeedIndex = -2000; }, 1.0, 0.0, 0.0, 0, 8, {}, 0.5},
        {"interval not a number", [](DeviceRecord& r) { r.ScanTime = NaN; }, NaN, 0.5269504, NewMax, 0, 8, {}, 0.5},
        {"infinite interval", [](DeviceRecord& r) { r.ScanTime = Inf; }, Inf, 0.5269504, NewMax, 0, 8, {}, 0.5},
        {"negative interval", [](DeviceRecord& r) { r.ScanTime = -1.0; }, -0.9998336, 0.5269504, NewMax, 0, 8, {}, 0.5},
    };
    for (const Case& c : cases) {
        DeviceRecord r = BaseRecord();
        c.Change(r);
        Module.ReplyTimeout = 0.5;
        Port->FromHost.clear();
        double maxTime = -7.0, minTime = -7.0;
        std::int16_t result = ::CheckScanTime(&r, &maxTime, &minTime);
        EXPECT_EQ(result, c.Result) << c.Name;
        if (std::isnan(c.ScanTime)) {
            EXPECT_TRUE(std::isnan(r.ScanTime)) << c.Name;
        } else if (std::isinf(c.ScanTime)) {
            EXPECT_EQ(+r.ScanTime, c.ScanTime) << c.Name;
        } else {
            EXPECT_NEAR(r.ScanTime, c.ScanTime, 1e-9) << c.Name;
        }
        EXPECT_NEAR(minTime, c.MinTime, 1e-9) << c.Name;
        EXPECT_NEAR(maxTime, c.MaxTime, 1e-9) << c.Name;
        EXPECT_EQ(+r.AvgCount, c.AvgCount) << c.Name;
        EXPECT_TRUE(WireIs(*Port, c.Wire)) << c.Name;
        EXPECT_NEAR(Module.ReplyTimeout, c.ReplyTimeout, 1e-9) << c.Name;

        // A rounded interval is a whole number of ticks: checking it again
        // leaves it as it is.
        if (std::isfinite(r.ScanTime) && r.ScanTime >= 0.0) {
            double again = r.ScanTime;
            ::CheckScanTime(&r, &maxTime, &minTime);
            EXPECT_EQ(+r.ScanTime, again) << c.Name;
        }
    }
    EXPECT_EQ(virt::Now(), 0);
}

TEST_F(ScanTiming, RemoteAvgSendsTheAveragingExponent) {
    struct {
        std::uint32_t AvgCount;
        std::uint8_t Exponent;
    } const cases[] = {
        {0, 0}, // no averaging at all: the exponent of one conversion
        {1, 0}, {2, 1}, {3, 1}, {7, 2}, {8, 3}, {1000, 9}, {4096, 12}, {0x80000000u, 31}, {0xFFFFFFFFu, 31},
    };
    for (const auto& c : cases) {
        DeviceRecord r = BaseRecord();
        r.AvgCount = c.AvgCount;
        Port->FromHost.clear();
        EXPECT_EQ(::RemoteAvg(&r), 1) << c.AvgCount;
        EXPECT_TRUE(WireIs(*Port, {0x04, c.Exponent, static_cast<std::uint8_t>(0x04 + c.Exponent)})) << c.AvgCount;
        EXPECT_EQ(+r.AvgCount, c.AvgCount);
    }
    EXPECT_EQ(virt::Now(), 0);
}

TEST_F(ScanTiming, RemoteAvgSetsTheReplyLimit) {
    struct {
        const char* Name;
        std::uint32_t AvgCount;
        float DataRate;
        std::int16_t SpeedIndex;
        double ReplyTimeout;
    } const cases[] = {
        {"8 at 100 Hz, 300 baud", 8, 100.0f, 5, 2.08},
        {"100 at 10 Hz", 100, 10.0f, 0, 12.0},
        {"no averaging", 0, 100.0f, 0, 2.0},
        {"no data rate", 8, 0.0f, 0, 2.0},
        {"negative data rate", 8, -5.0f, 0, 2.0},
        {"data rate not a number", 8, std::numeric_limits<float>::quiet_NaN(), 0, 2.0},
        {"infinite data rate", 8, std::numeric_limits<float>::infinity(), 0, 2.0},
    };
    for (const auto& c : cases) {
        DeviceRecord r = BaseRecord();
        r.AvgCount = c.AvgCount;
        r.DataRate = c.DataRate;
        r.SpeedIndex = c.SpeedIndex;
        Module.ReplyTimeout = 0.0;
        ::RemoteAvg(&r);
        EXPECT_NEAR(Module.ReplyTimeout, c.ReplyTimeout, 1e-12) << c.Name;
    }
}

TEST_F(ScanTiming, RemoteAvgReportsAFrameThatDidNotGoOut) {
    DeviceRecord r = BaseRecord();
    Port->WriteStuck = true;
    EXPECT_EQ(::RemoteAvg(&r), 0);
    EXPECT_EQ(virt::Now(), 9000); // three bytes of 3000 ms retries
    EXPECT_NEAR(Module.ReplyTimeout, 2.08, 1e-12);
}

TEST_F(ScanTiming, FilterDelayWaitsOnTheClockAlone) {
    struct {
        std::int16_t Selection;
        std::int64_t Ms;
    } const cases[] = {{0, 8500}, {1, 500}, {2, 500}, {-1, 500}, {32767, 500}};
    for (const auto& c : cases) {
        virt::Counters before = virt::Count();
        std::int32_t start = sadc::ClockMs();
        std::int32_t ended = ::FilterDelay(c.Selection);
        EXPECT_EQ(ended - start, c.Ms) << c.Selection;
        EXPECT_EQ(ended, sadc::ClockMs()) << c.Selection;
        const virt::Counters& after = virt::Count();
        EXPECT_EQ(after.Peeks, before.Peeks) << c.Selection;
        EXPECT_EQ(after.Reads, before.Reads) << c.Selection;
        EXPECT_EQ(after.Writes, before.Writes) << c.Selection;
        EXPECT_EQ(after.Waits, before.Waits) << c.Selection;
        // It sleeps: a handful of sleeps, not a poll per millisecond.
        EXPECT_LE(after.Sleeps - before.Sleeps, c.Ms / 100 + 2) << c.Selection;
    }
    EXPECT_TRUE(WireIs(*Port, {}));
}

TEST_F(ScanTiming, FilterDelayReturnsTheWrappingClock) {
    // ClockMs counts from load; the tick count may wrap meanwhile.
    virt::Uninstall();
    virt::Install(0xFFFFFF00u);
    virt::AddPort("COM2", &Instrument);
    EXPECT_EQ(::FilterDelay(1), 500);
    EXPECT_EQ(::FilterDelay(0), 9000);
}

} // namespace
