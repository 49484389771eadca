// A sign-on that succeeds at its first attempt, byte for byte and step by
// step, against the well-behaved instrument.
#include <gtest/gtest.h>

#include "interface/module_state.h"
#include "link/port_io.h"
#include "scripted_instrument.h"
#include "sadclink.h"
#include "signon_fixture.h"

namespace {

using namespace sadc;
using namespace sadc::test;

class SignOnExchange : public ::testing::Test {
protected:
    void SetUp() override {
        virt::Install();
        Port = &virt::AddPort("COM3", &Instrument);
        Rec.ComPort = 2;
        Rec.SpeedIndex = 0;
        Rec.InQueueSize = 4096;
        Rec.OutQueueSize = 1024;
        Rec.DataRate = 10.0f;
        Rec.Gain = 1;
        Rec.ConvBytes = 3;
        Rec.Bipolar = 1;
        Rec.AvgCount = 100;
        Rec.FilterSel = 2;
        Rec.ScanTime = 1.0;
        Rec.CounterPreset = 1000;
        for (int i = 0; i < 6; ++i) Rec.ScanConfig[i] = static_cast<std::int16_t>(i + 1);
    }
    void TearDown() override { virt::Uninstall(); }

    FakeInstrument Instrument;
    virt::Port* Port = nullptr;
    DeviceRecord Rec{};
};

TEST_F(SignOnExchange, FirstAttemptSucceedsWithEveryByteInPlace) {
    ASSERT_EQ(::SignOn(&Rec), 1);
    Bytes expected = {
        0x00,                                     // wake-up, answered at once
        0x88,                                     // speed request
        0x00,                                     // SpeedIndex 0
        0x00,                                     // sync at the new speed
        0x00, 0x87, 0x87, 0xA1, 0x00, 0xA1,       // mode bytes
        0x64, 0x02, 0x66, 0x00, 0x00, 0x00,       // averaging, settling selection, padding
        0x12, 0x13, 0x25, 0x00, 0x01, 0x01,       // scan timer 4882 - 1 ... and ScanConfig
        0x02, 0x03, 0x05, 0x04, 0x05, 0x09, 0x06, 0x00, 0x06,
        0x86, 0x00, 0x86,                         // version
        // counter preset for a version above 100
        0x01, 0x87, 0x88, 0x07, 0x34, 0x3B, 0x01, 0x84, 0x85, 0x07, 0xE8, 0xEF, 0x07, 0x03, 0x0A,
        0x01, 0x87, 0x88, 0x07, 0x72, 0x79, 0x01, 0x85, 0x86, 0x07, 0xE8, 0xEF, 0x07, 0x03, 0x0A,
        0x01, 0x87, 0x88, 0x07, 0xB2, 0xB9, 0x01, 0x86, 0x87, 0x07, 0x01, 0x08, 0x07, 0x00, 0x07,
    };
    EXPECT_TRUE(WireIs(*Port, expected));
    EXPECT_EQ(Rec.Version, 101);
    EXPECT_EQ(Rec.ModeLow, 0xA1);
    EXPECT_EQ(Rec.ModeMid, 0x87);
    EXPECT_FLOAT_EQ(Rec.DataRate, 19531.25f / 1953.0f);
    EXPECT_EQ(Module.CurrentPort, 2);
    EXPECT_NE(Module.PortTable[2], InvalidHandle);
    EXPECT_TRUE(Port->Open);
    EXPECT_EQ(Port->Baud, 9600);
    EXPECT_EQ(Port->LastMode, "COM3:9600,n,8,1");
    EXPECT_EQ(Module.ScanCount, 0);
    EXPECT_NEAR(Module.ReplyTimeout, 11.99936, 1e-5);
    // The running checksum covers what came since the speed request.
    EXPECT_EQ(::GetCheckSum(), 1);
}

TEST_F(SignOnExchange, PortIsSetUpTwiceInOrder) {
    ASSERT_EQ(::SignOn(&Rec), 1);
    std::vector<std::pair<virt::EventKind, std::int32_t>> seen;
    for (const virt::Event& e : Port->Events)
        if (e.Kind != virt::EventKind::Write) seen.emplace_back(e.Kind, e.Kind == virt::EventKind::Configure ? e.Value : 0);
    using K = virt::EventKind;
    std::vector<std::pair<K, std::int32_t>> expected = {
        {K::Open, 0}, {K::Configure, 300}, {K::QueueSizes, 0}, {K::Timeouts, 0}, {K::Purge, 0},
        {K::Close, 0},
        {K::Open, 0}, {K::Configure, 9600}, {K::QueueSizes, 0}, {K::Timeouts, 0}, {K::Purge, 0},
    };
    EXPECT_EQ(seen, expected);
}

TEST_F(SignOnExchange, TakesTheProtocolsOwnWaitsAndNoMore) {
    ASSERT_EQ(::SignOn(&Rec), 1);
    // 5 ticks + 0.1 s quiet + 0.1 s after 0x88 + 2 ticks + 5 ticks + 4 ticks
    // and the reply bytes' line times: about 1.2 s at 300 baud for the
    // handshake, well under two seconds in all.
    EXPECT_GT(virt::Now(), 900);
    EXPECT_LT(virt::Now(), 2000);
}

} // namespace
