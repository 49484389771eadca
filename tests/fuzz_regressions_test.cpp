// Inputs the fuzzers found, kept as cases. Most of what they guard against
// (a division by zero, an overflow) shows only in the sanitizer build, which
// runs this suite with UBSan including float-divide-by-zero.
#include <gtest/gtest.h>

#include <cmath>

#include "interface/module_state.h"
#include "platform/virtual_platform.h"
#include "sadclink.h"

namespace {

class FuzzRegressions : public ::testing::Test {
protected:
    void SetUp() override { sadc::virt::Install(); }
    void TearDown() override { sadc::virt::Uninstall(); }
};

// A speed index far outside 0..5 made 2^SpeedIndex 0 (or infinite) and the
// scan clock rate a division by zero. No clock, no limits: the result is 0
// and ScanTime stays as it was.
TEST_F(FuzzRegressions, CheckScanTimeWithASpeedIndexThatLeavesNoScanClock) {
    for (std::int16_t speed : {std::int16_t(-1536), std::int16_t(-18762), std::int16_t(2000), std::int16_t(32767)}) {
        DeviceRecord r{};
        r.SpeedIndex = speed;
        r.Version = 101;
        r.DataRate = 100.0f;
        r.NumChans = 4;
        r.ConvBytes = 3;
        r.AvgCount = 8;
        r.ScanMode = 1;
        r.ScanTime = 1.0;
        double maxTime = -1, minTime = -1;
        EXPECT_EQ(CheckScanTime(&r, &maxTime, &minTime), 0) << speed;
        EXPECT_TRUE(std::isfinite(maxTime) && std::isfinite(minTime)) << speed;
        double scanTime = r.ScanTime; // packed: compared by value
        EXPECT_EQ(scanTime, 1.0) << speed;
    }
}

} // namespace
