// Offset, full-scale and system calibration, byte for byte on the virtual clock.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "converter/calibration.h"
#include "interface/module_state.h"
#include "sadclink.h"
#include "scripted_instrument.h"

namespace {

using namespace sadc::test;
using sadc::Module;
namespace virt = sadc::virt;

class Calibration : public VirtualLink {
protected:
    void SetUp() override {
        VirtualLink::SetUp();
        Attach();
        Module.ReplyTimeout = 1.0;
        Rec.Channel = 1;
        Rec.Code = 2;
        Rec.ConvBytes = 3;
        // 10 Hz gives filter code 1953 (ModeLow 0xA1, ModeMid 0x87 for a
        // bipolar 24-bit word), which a second computation keeps.
        Rec.DataRate = 10.0f;
        Rec.Bipolar = 1;
        Rec.AvgCount = 100;
    }
    void Play(std::vector<Exchange> script) {
        Instrument.Script = std::move(script);
        Instrument.Step = Instrument.Pos = 0;
    }
    DeviceRecord Rec{};
};

TEST_F(Calibration, OffsetAndFullScaleEchoTheirCommand) {
    struct {
        const char* Name;
        SadcStatus(SADC_CALL* Run)(DeviceRecord*);
        std::int16_t Code, ConvBytes;
        double ReplyTimeout;
        Bytes Frame, Reply;
        SadcStatus Status;
        std::int64_t Ms;
    } const cases[] = {
        {"offset", ::OffsetCal, 2, 3, 1.0, {0x82, 0x12, 0x94}, {0x82, 1, 2, 3}, 1, 0},
        {"full scale", ::FullScaleCal, 2, 3, 1.0, {0x83, 0x12, 0x95}, {0x83, 1, 2, 3}, 1, 0},
        {"two-byte word: three reply bytes", ::OffsetCal, 2, 2, 1.0, {0x82, 0x12, 0x94}, {0x82, 1, 2}, 1, 0},
        {"Code carries into the channel", ::OffsetCal, 17, 3, 1.0, {0x82, 0x21, 0xA3}, {0x82, 1, 2, 3}, 1, 0},
        {"wrong echo", ::OffsetCal, 2, 3, 1.0, {0x82, 0x12, 0x94}, {0x83, 1, 2, 3}, 0, 0},
        {"full scale, offset echo", ::FullScaleCal, 2, 3, 1.0, {0x83, 0x12, 0x95}, {0x82, 1, 2, 3}, 0, 0},
        {"short: ReplyTimeout + 2 s", ::OffsetCal, 2, 3, 1.0, {0x82, 0x12, 0x94}, {0x82, 1, 2}, 0, 3000},
        {"short, limit never set: 2 s", ::FullScaleCal, 2, 3, 0.0, {0x83, 0x12, 0x95}, {}, 0, 2000},
        {"short at 100 averages of 10 Hz", ::OffsetCal, 2, 3, 11.99936, {0x82, 0x12, 0x94}, {0x82}, 0, 13999},
    };
    for (const auto& c : cases) {
        Rec.Code = c.Code;
        Rec.ConvBytes = c.ConvBytes;
        Module.ReplyTimeout = c.ReplyTimeout;
        Port->FromHost.clear();
        Port->ToHost.clear();
        Play({Exchange{c.Frame, c.Reply, 5, 1}});
        std::int64_t t0 = virt::Now();
        EXPECT_EQ(c.Run(&Rec), c.Status) << c.Name;
        EXPECT_TRUE(WireIs(*Port, c.Frame)) << c.Name;
        EXPECT_TRUE(Instrument.Check()) << c.Name;
        if (c.Ms > 0) {
            EXPECT_EQ(virt::Now() - t0, c.Ms) << c.Name;
        }
    }
}

TEST_F(Calibration, AWordLengthThatDoesNotFitSendsNothing) {
    for (int bytes : {0, 1, 4, 5, -1}) {
        Rec.ConvBytes = static_cast<std::int16_t>(bytes);
        Rec.Gain = 8;
        EXPECT_EQ(::OffsetCal(&Rec), 0) << bytes;
        EXPECT_EQ(::FullScaleCal(&Rec), 0) << bytes;
        EXPECT_EQ(::SysCal(&Rec), 0) << bytes;
        EXPECT_EQ(Rec.Gain, 8) << bytes;
    }
    EXPECT_TRUE(WireIs(*Port, {}));
    EXPECT_EQ(virt::Now(), 0);
}

// The system calibration's pieces, as the instrument sees them.
Exchange ModeCommand(bool echo = true) { return Exchange{{0x84, 0x00, 0x84}, echo ? Bytes{0x84} : Bytes{}, 2, 0}; }
Exchange ModeFrames(std::uint8_t high, bool echo = true) {
    Bytes frames = {high, 0x87, static_cast<std::uint8_t>(high + 0x87), 0xA1, 0x00, 0xA1};
    return Exchange{frames, echo ? Bytes{high, 0x87, 0xA1} : Bytes{}, 2, 1};
}
Exchange SysOffset(std::size_t replyBytes = 4) {
    Bytes r = {0x82, 0x11, 0x22, 0x33};
    r.resize(replyBytes);
    return Exchange{{0x82, 0x70, 0xF2}, r, 10, 1};
}
Exchange SysFullScale(std::size_t replyBytes = 4) {
    Bytes r = {0x83, 0x44, 0x55, 0x66};
    r.resize(replyBytes);
    return Exchange{{0x83, 0x60, 0xE3}, r, 10, 1};
}

Bytes WireOf(const std::vector<Exchange>& script) {
    Bytes w;
    for (const Exchange& e : script) w.insert(w.end(), e.Expect.begin(), e.Expect.end());
    return w;
}

TEST_F(Calibration, SysCalSwitchesToGainOneAndBack) {
    struct {
        const char* Name;
        std::int16_t Gain;
        std::vector<Exchange> Script;
    } const cases[] = {
        {"gain 1: the two calibrations alone", 1, {SysOffset(), SysFullScale()}},
        {"gain 8", 8,
         {ModeCommand(), ModeFrames(0x00), SysOffset(), SysFullScale(), ModeCommand(), ModeFrames(0x0C), SysOffset()}},
        {"gain 3 runs at the exponent of 4", 3,
         {ModeCommand(), ModeFrames(0x00), SysOffset(), SysFullScale(), ModeCommand(), ModeFrames(0x08), SysOffset()}},
    };
    for (const auto& c : cases) {
        Rec.Gain = c.Gain;
        Module.ReplyTimeout = 1.0;
        Port->FromHost.clear();
        Play(c.Script);
        EXPECT_EQ(::SysCal(&Rec), 1) << c.Name;
        EXPECT_TRUE(Instrument.Check()) << c.Name;
        EXPECT_TRUE(WireIs(*Port, WireOf(c.Script))) << c.Name;
        EXPECT_EQ(Rec.Gain, c.Gain) << c.Name;
    }
}

TEST_F(Calibration, SysCalLooksAtNoReplyByte) {
    Rec.Gain = 1;
    Exchange offset = SysOffset();
    offset.Reply = {0x00, 0x00, 0x00, 0x00};
    Exchange full = SysFullScale();
    full.Reply = {0x82, 0xFF, 0xFF, 0xFF};
    Play({offset, full});
    EXPECT_EQ(::SysCal(&Rec), 1);
    EXPECT_TRUE(Instrument.Check());
}

TEST_F(Calibration, SysCalStopsAtTheFirstFailedStep) {
    struct {
        const char* Name;
        std::vector<Exchange> Script; // the last exchange fails
        std::int16_t GainAfter;
        std::int64_t LastWaitMs; // from the last byte written to the end of the call
    } const cases[] = {
        {"no echo of the first mode command", {ModeCommand(false)}, 1, 1000},
        {"no mode echo", {ModeCommand(), ModeFrames(0x00, false)}, 1, 11999},
        {"offset reply short", {ModeCommand(), ModeFrames(0x00), SysOffset(3)}, 1, 2000},
        {"full-scale reply short", {ModeCommand(), ModeFrames(0x00), SysOffset(), SysFullScale(0)}, 1, 2000},
        {"restoring the gain fails",
         {ModeCommand(), ModeFrames(0x00), SysOffset(), SysFullScale(), ModeCommand(false)}, 8, 11999},
        {"last offset reply short",
         {ModeCommand(), ModeFrames(0x00), SysOffset(), SysFullScale(), ModeCommand(), ModeFrames(0x0C), SysOffset(1)},
         8, 2000},
    };
    for (const auto& c : cases) {
        Rec.Gain = 8;
        Rec.DataRate = 10.0f;
        Module.ReplyTimeout = 1.0;
        Port->FromHost.clear();
        Port->ToHost.clear();
        Play(c.Script);
        EXPECT_EQ(::SysCal(&Rec), 0) << c.Name;
        EXPECT_TRUE(Instrument.Check()) << c.Name;
        EXPECT_TRUE(WireIs(*Port, WireOf(c.Script))) << c.Name;
        EXPECT_EQ(Rec.Gain, c.GainAfter) << c.Name;
        // The calibration waits are 2 s whatever ReplyTimeout holds (about
        // 12 s once a mode has been loaded).
        EXPECT_EQ(virt::Now() - Port->FromHost.back().TimeMs, c.LastWaitMs) << c.Name;
    }
}

} // namespace
