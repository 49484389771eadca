// The converter mode bytes, the achieved rate, the reply time limit and the
// mode download with its echo.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "converter/ad_mode.h"
#include "interface/module_state.h"
#include "scripted_instrument.h"

namespace {

using namespace sadc;
using namespace sadc::test;

DeviceRecord ModeRecord(float rate, std::int16_t gain = 1, std::int16_t convBytes = 3, std::int16_t bipolar = 1,
                        std::uint32_t avg = 100, std::int16_t modeBits = 0) {
    DeviceRecord r{};
    r.DataRate = rate;
    r.Gain = gain;
    r.ConvBytes = convBytes;
    r.Bipolar = bipolar;
    r.AvgCount = avg;
    r.ModeBits = modeBits;
    return r;
}

class ADMode : public VirtualLink {};

TEST_F(ADMode, ComputesTheModeBytesRateAndTimeLimit) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        const char* Name;
        DeviceRecord In;
        std::int16_t Low, Mid, High;
        float Rate;        // exact single-precision result
        double Timeout;    // to 1e-5 s
    } const cases[] = {
        {"10 Hz, 24-bit, bipolar", ModeRecord(10.0f), 0xA1, 0x87, 0x00, 10.000639915466309f, 11.99936},
        {"10 Hz, 16-bit, unipolar", ModeRecord(10.0f, 1, 2, 0), 0xA1, 0x17, 0x00, 10.000639915466309f, 11.99936},
        {"fastest rate", ModeRecord(19531.25f, 1, 2, 1, 0), 0x01, 0x00, 0x00, 19531.25f, 2.0},
        {"AvgCount 0", ModeRecord(1000.0f, 1, 2, 1, 0), 0x13, 0x00, 0x00, 1027.9605712890625f, 2.0},
        {"slowest code's rate", ModeRecord(19531.25f / 2047, 1, 2, 1, 0), 0xFF, 0x07, 0x00, 9.5414018630981445f, 2.0},
        // Codes that do not fit 11 bits, and rates that have no code, get the
        // nearest code the converter has: never 0, never wrapped.
        {"5 Hz takes the slowest code", ModeRecord(5.0f, 1, 2, 1, 0), 0xFF, 0x07, 0x00, 9.5414018630981445f, 2.0},
        {"exactly 2048", ModeRecord(9.5367431640625f, 1, 2, 1, 0), 0xFF, 0x07, 0x00, 9.5414018630981445f, 2.0},
        {"above the converter's clock", ModeRecord(20000.0f, 1, 2, 1, 0), 0x01, 0x00, 0x00, 19531.25f, 2.0},
        {"infinite", ModeRecord(inf, 1, 2, 1, 0), 0x01, 0x00, 0x00, 19531.25f, 2.0},
        {"zero", ModeRecord(0.0f, 1, 2, 1, 0), 0xFF, 0x07, 0x00, 9.5414018630981445f, 2.0},
        {"negative", ModeRecord(-10.0f, 1, 2, 1, 0), 0xFF, 0x07, 0x00, 9.5414018630981445f, 2.0},
        {"not a number", ModeRecord(nan, 1, 2, 1, 100), 0xFF, 0x07, 0x00, 9.5414018630981445f, 12.48064},
        {"tiny", ModeRecord(1e-30f, 1, 2, 1, 0), 0xFF, 0x07, 0x00, 9.5414018630981445f, 2.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        DeviceRecord r = c.In;
        ComputeADMode(&r);
        EXPECT_EQ(r.ModeLow, c.Low);
        EXPECT_EQ(r.ModeMid, c.Mid);
        EXPECT_EQ(r.ModeHigh, c.High);
        EXPECT_EQ(r.DataRate, c.Rate);
        EXPECT_NEAR(Module.ReplyTimeout, c.Timeout, 1e-5);
        EXPECT_TRUE(std::isfinite(Module.ReplyTimeout));
    }
}

TEST_F(ADMode, ZeroAverageGivesExactlyTwoSeconds) {
    DeviceRecord r = ModeRecord(10.0f, 1, 3, 1, 0);
    ComputeADMode(&r);
    EXPECT_EQ(Module.ReplyTimeout, 2.0);
}

TEST_F(ADMode, GainExponentTakesTheNextPowerOfTwo) {
    struct Case {
        std::int16_t Gain, ModeBits, High;
    } const cases[] = {
        {0, 0, 0x00},   {1, 0, 0x00},   {-4, 0, 0x00}, {2, 0, 0x04},    {3, 0, 0x08},
        {4, 0, 0x08},   {8, 3, 0x0F},   {128, 0, 0x1C}, {128, 2, 0x1E},
        {256, 1, 0x21}, // carries into bit 5, which the echo ignores
        {1, 4, 0x04},   // ModeBits above 3 carry into the gain bits
        {32767, 0, 60},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Gain);
        DeviceRecord r = ModeRecord(10.0f, c.Gain, 3, 1, 0, c.ModeBits);
        ComputeADMode(&r);
        EXPECT_EQ(r.ModeHigh, c.High);
    }
}

TEST_F(ADMode, FilterCodeAloneReplacesTheFlagBits) {
    DeviceRecord r = ModeRecord(10.0f, 1, 3, 0);
    ComputeADMode(&r);
    EXPECT_EQ(r.ModeMid, 0x97);
    ComputeFilterCode(&r);
    EXPECT_EQ(r.ModeMid, 0x07);
    EXPECT_EQ(r.ModeLow, 0xA1);
}

// The stored rate is the start of the next computation: where the single-
// precision rate lies above 19531.25 / code, the code drops by one.
TEST_F(ADMode, ComputingTwiceCanMoveTheRateOneCodeStep) {
    struct Case {
        float Requested;
        float First, Second;
    } const cases[] = {
        {1000.0f, 1027.9605712890625f, 1085.0694580078125f},
        {976.5625f, 976.5625f, 976.5625f},                     // code 20, exact
        {10.0f, 10.000639915466309f, 10.000639915466309f},     // code 1953, below
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Requested);
        DeviceRecord r = ModeRecord(c.Requested);
        ComputeADMode(&r);
        EXPECT_EQ(r.DataRate, c.First);
        DeviceRecord again = r;
        ComputeADMode(&again);
        EXPECT_EQ(again.DataRate, c.Second);
        // Nothing accumulates in the other bytes.
        EXPECT_EQ(again.ModeHigh, r.ModeHigh);
        EXPECT_EQ(again.ModeMid & 0xF8, r.ModeMid & 0xF8);
    }
    DeviceRecord r = ModeRecord(1000.0f);
    ComputeADMode(&r);
    ComputeADMode(&r);
    EXPECT_EQ(r.ModeLow, 18);
}

class SendADModeTest : public VirtualLink {
protected:
    void SetUp() override {
        VirtualLink::SetUp();
        Attach();
    }
    // 10 Hz, 24-bit, bipolar, gain 8, ModeBits 1: mode bytes 0D 87 A1.
    DeviceRecord Record = ModeRecord(10.0f, 8, 3, 1, 0, 1);
    static constexpr std::uint8_t High = 0x0D, Mid = 0x87, Low = 0xA1;
    const Bytes Frames = {High, Mid, (High + Mid) & 0xFF, Low, 0x00, Low};
};

TEST_F(SendADModeTest, LoadsTheModeAndChecksTheEcho) {
    Module.ReplyTimeout = 5.0;
    Instrument.Expect({0x84, 0x00, 0x84}).Reply({0x84}, 20);
    Instrument.Expect(Frames).Reply({High, Mid, Low}, 30, 5);
    EXPECT_EQ(sadc::SendADMode(&Record), 1);
    EXPECT_TRUE(Instrument.Check());
    EXPECT_TRUE(WireIs(*Port, {0x84, 0x00, 0x84, 0x0D, 0x87, 0x94, 0xA1, 0x00, 0xA1}));
    EXPECT_EQ(Record.DataRate, 10.000639915466309f);
    EXPECT_EQ(Module.ReplyTimeout, 2.0);
}

TEST_F(SendADModeTest, JudgesTheModeEcho) {
    struct Case {
        const char* Name;
        Bytes Echo;
        std::int64_t GapMs;
        SadcStatus Result;
    } const cases[] = {
        {"bits 5-7 of the first byte are ignored", {High | 0xE0, Mid, Low}, 0, 1},
        {"first byte differs in bit 4", {High | 0x10, Mid, Low}, 0, 0},
        {"middle byte differs", {High, Mid ^ 0x01, Low}, 0, 0},
        {"low byte differs", {High, Mid, Low ^ 0x80}, 0, 0},
        {"two bytes only", {High, Mid}, 0, 0},
        {"nothing", {}, 0, 0},
        // The echo waits within the new limit, 2 s for AvgCount 0, not the
        // 5 s in force on entry.
        {"third byte after the new limit", {High, Mid, Low}, 1001, 0},
        {"third byte just within it", {High, Mid, Low}, 999, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ScriptedInstrument peer;
        peer.Expect({0x84, 0x00, 0x84}).Reply({0x84});
        peer.Expect(Frames);
        if (!c.Echo.empty()) peer.Reply(c.Echo, 0, c.GapMs);
        Port->Instrument = &peer;
        Port->ToHost.clear();
        Module.ReplyTimeout = 5.0;
        DeviceRecord r = Record;
        EXPECT_EQ(sadc::SendADMode(&r), c.Result);
        EXPECT_TRUE(peer.Check());
        // The record and the limit keep the new values whatever the echo.
        EXPECT_EQ(r.ModeHigh, High);
        EXPECT_EQ(r.ModeMid, Mid);
        EXPECT_EQ(r.ModeLow, Low);
        EXPECT_EQ(r.DataRate, 10.000639915466309f);
        EXPECT_EQ(Module.ReplyTimeout, 2.0);
    }
    Port->Instrument = &Instrument;
}

TEST_F(SendADModeTest, WithoutTheFirstEchoNothingIsComputedOrSent) {
    struct Case {
        const char* Name;
        Bytes Reply;
        std::int64_t DelayMs;
    } const cases[] = {
        {"silence, though the buffer holds 0x84", {}, 0},
        {"wrong echo", {0x85}, 0},
        {"echo after the limit in force", {0x84}, 1501},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ScriptedInstrument peer;
        peer.Expect({0x84, 0x00, 0x84});
        if (!c.Reply.empty()) peer.Reply(c.Reply, c.DelayMs);
        Port->Instrument = &peer;
        Port->FromHost.clear();
        Port->ToHost.clear();
        Module.ReplyTimeout = 1.5;
        Module.ReplyBuffer[0] = 0x84;
        DeviceRecord r = Record;
        EXPECT_EQ(sadc::SendADMode(&r), 0);
        EXPECT_TRUE(peer.Check()); // and no mode frames followed
        EXPECT_TRUE(WireIs(*Port, {0x84, 0x00, 0x84}));
        EXPECT_EQ(r.DataRate, 10.0f);
        EXPECT_EQ(r.ModeHigh, 0);
        EXPECT_EQ(Module.ReplyTimeout, 1.5);
    }
    Port->Instrument = &Instrument;
}

TEST_F(SendADModeTest, StraightAfterLoadFailsAtOnce) {
    Instrument.Expect({0x84, 0x00, 0x84}).Reply({0x84});
    EXPECT_EQ(sadc::SendADMode(&Record), 0);
    EXPECT_EQ(virt::Now(), 0);
    EXPECT_TRUE(Instrument.Check());
    EXPECT_EQ(Module.ReplyTimeout, 0.0);
}

} // namespace
