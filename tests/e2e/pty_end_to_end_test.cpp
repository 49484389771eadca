// End to end in real time: the library on the POSIX platform layer, signing
// on through COM1 of a ports directory to the virtual instrument behind a
// pseudo-terminal served from a thread of this process.
//
// SADCLINK_E2E_TRACE=1 prints the runner's trace of every byte to stderr.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "interface/module_state.h"
#include "sadclink.h"
#include "sim/pty_runner.h"

namespace {

using namespace sadc;

// COM1 at 9600 baud: 1000 Hz (code 19), gain 1, 24-bit bipolar, averaging
// 2, scans of channels 2-5 every 0.2 s in mode 1.
DeviceRecord Record() {
    DeviceRecord r{};
    r.ComPort = 0;
    r.SpeedIndex = 0;
    r.DataRate = 1000.0f;
    r.Gain = 1;
    r.ConvBytes = 3;
    r.Bipolar = 1;
    r.AvgCount = 2;
    r.FilterSel = 2;
    r.ScanTime = 0.2;
    r.NumChans = 4;
    r.ScanMode = 1;
    const std::int16_t cfg[6] = {2, 4, 0, 0, 0, 0};
    for (int i = 0; i < 6; ++i) r.ScanConfig[i] = cfg[i];
    r.CounterPreset = 1000;
    r.InQueueSize = 4096;
    r.OutQueueSize = 4096;
    return r;
}

class OverPty : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/sadclink-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        Dir = tmpl;
        setenv("SADCLINK_PORTS", Dir.c_str(), 1);
        Rec = Record();
    }
    void TearDown() override {
        CloseDevice();
        sim::StopPty(Sim);
        unsetenv("SADCLINK_PORTS");
        rmdir(Dir.c_str());
    }
    void Start(const sim::Config& cfg) {
        Cfg = cfg;
        std::string err;
        const char* trace = std::getenv("SADCLINK_E2E_TRACE");
        Sim.Trace = trace && *trace && *trace != '0';
        Sim.TraceSink = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
        ASSERT_TRUE(sim::OpenPty(Sim, cfg, err)) << err;
        ASSERT_TRUE(sim::PlaceLink(Sim, sim::ComLinkPath(Dir, 1), err)) << err;
        ASSERT_TRUE(sim::StartPty(Sim, err)) << err;
    }
    void SetLine(bool gone) {
        sim::WithInstrument(Sim, [gone](sim::Instrument& in, std::int64_t now) {
            sim::Faults f = in.Cfg.Fault;
            f.LineGone = gone;
            sim::SetFaults(in, f, now);
        });
    }
    // One scan of channels 2-5 with its sequence number; every byte of it is
    // taken off the buffer.
    void ExpectScan(std::uint8_t sequence) {
        ASSERT_EQ(Module.ScanCount, 13); // 4 x 3 bytes and the further byte
        for (int c = 0; c < 4; ++c) {
            Gconv(&Rec, Buffer);
            EXPECT_NEAR(Rec.ScaledValue, Cfg.Signals[static_cast<std::size_t>(c + 2)].Offset, 0.01)
                << "channel " << c + 2;
        }
        EXPECT_EQ(Buffer[0], sequence);
        RemoveFromBuffer(1, Buffer);
        EXPECT_EQ(Module.ScanCount, 0);
    }

    std::string Dir;
    sim::Config Cfg;
    sim::PtySim Sim;
    DeviceRecord Rec{};
    std::int32_t Buffer[256] = {};
};

TEST_F(OverPty, SignOnAt9600ThenCommandsConversionsAScanAndTheChecksum) {
    sim::Config cfg;
    cfg.DigIn = 0x5A;
    cfg.Signals[3] = sim::Signal{1234.5, 0.0, 0.0};
    cfg.Signals[11] = sim::Signal{-2000.0, 0.0, 0.0};
    Start(cfg);
    ASSERT_EQ(SignOn(&Rec), 1);
    EXPECT_EQ(Rec.Version, 101);
    ASSERT_EQ(GetVer(&Rec), 1);
    EXPECT_EQ(Rec.Version, 101);
    ASSERT_EQ(GetDigIn(&Rec), 1);
    EXPECT_EQ(Rec.DigIn, 0x5A);

    struct {
        std::int16_t Channel;
        double Value;
    } const reads[] = {{3, 1234.5}, {11, -2000.0}};
    for (const auto& r : reads) {
        Rec.Channel = r.Channel;
        SetChanCode(&Rec);
        ASSERT_EQ(GetConversion(&Rec), 1) << r.Channel;
        EXPECT_NEAR(Rec.ScaledValue, r.Value, 0.01) << r.Channel;
    }
    EXPECT_EQ(GetCheckSum(), 1);

    Rec.Channel = 0;
    ASSERT_EQ(StartScanning(&Rec), 1);
    for (std::uint8_t s = 0; s < 4; ++s) {
        ASSERT_EQ(GetOneScan(&Rec, Buffer), 1) << "scan " << int(s) << ", ErrorCode " << Rec.ErrorCode;
        ExpectScan(s);
    }
    EXPECT_EQ(StopScanning(&Rec), 1);
    EXPECT_EQ(GetCheckSum(), 1);
    EXPECT_EQ(CloseDevice(), 1);
}

TEST_F(OverPty, SignOnAt300) {
    Start(sim::Config{});
    Rec.SpeedIndex = 5;
    ASSERT_EQ(SignOn(&Rec), 1);
    ASSERT_EQ(GetVer(&Rec), 1);
    EXPECT_EQ(Rec.Version, 101);
    EXPECT_EQ(GetCheckSum(), 1);
    EXPECT_EQ(CloseDevice(), 1);
}

TEST_F(OverPty, ASilentInstrumentMakesSignOnGiveUp) {
    sim::Config cfg;
    cfg.Fault.Silent = true;
    Start(cfg);
    EXPECT_EQ(SignOn(&Rec), 0); // ten wake-up tries of about half a second
    void* h = nullptr;
    EXPECT_EQ(GetComHandle(&h), SADC_INVALID_HANDLE);
}

TEST_F(OverPty, ALineThatGoesAwayMidScanFailsTheScanAndASignOnRecoversIt) {
    Start(sim::Config{});
    ASSERT_EQ(SignOn(&Rec), 1);
    ASSERT_EQ(StartScanning(&Rec), 1);
    ASSERT_EQ(GetOneScan(&Rec, Buffer), 1);
    ExpectScan(0);

    SetLine(true);
    Rec.ErrorCode = 0;
    // ScanTime + 2 s, then the library's own sign-on, which gives up.
    EXPECT_EQ(GetOneScan(&Rec, Buffer), 0);
    EXPECT_EQ(Rec.ErrorCode, 2);

    SetLine(false);
    ASSERT_EQ(SignOn(&Rec), 1);
    ASSERT_EQ(GetVer(&Rec), 1);
    EXPECT_EQ(GetCheckSum(), 1);
    EXPECT_EQ(CloseDevice(), 1);
}

} // namespace
