// The virtual instrument on its own: the host's byte sequences fed straight
// into the core, every reply byte and its time checked.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "platform/virtual_platform.h"
#include "sim/instrument.h"

namespace {

using namespace sadc;
using Bytes = std::vector<std::uint8_t>;

// The host's end of the line: writes at its own speed, collects what arrives.
struct HostLine {
    sim::Instrument In;
    std::int64_t T = 0;
    std::vector<sim::OutByte> Got;

    explicit HostLine(const sim::Config& cfg = sim::Config{}) {
        sim::PowerUp(In, cfg);
        sim::SetHostBaud(In, 300, 0);
    }
    void Baud(std::int32_t b) { sim::SetHostBaud(In, b, T); }
    void Write(const Bytes& b) {
        for (std::uint8_t v : b) sim::Feed(In, v, T);
    }
    // Moves time on by ms and returns what arrived meanwhile.
    Bytes Wait(std::int64_t ms) {
        T += ms;
        std::size_t from = Got.size();
        sim::TakeOutput(In, T, Got);
        Bytes v;
        for (std::size_t i = from; i < Got.size(); ++i) v.push_back(Got[i].Value);
        return v;
    }
    Bytes Ask(const Bytes& b, std::int64_t ms = 1000) {
        Write(b);
        return Wait(ms);
    }
    // As the host's reply read: returns as soon as n bytes are in, or at the
    // time limit with what came.
    Bytes Read(const Bytes& b, std::size_t n, std::int64_t limitMs) {
        Write(b);
        Bytes got;
        for (std::int64_t i = 0; i < limitMs && got.size() < n; ++i) {
            Bytes more = Wait(1);
            got.insert(got.end(), more.begin(), more.end());
        }
        return got;
    }
};

Bytes Frame(std::uint8_t a, std::uint8_t b) { return {a, b, static_cast<std::uint8_t>(a + b)}; }

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes v;
    for (const Bytes& p : parts) v.insert(v.end(), p.begin(), p.end());
    return v;
}

std::string Hex(const Bytes& b) { return virt::Hex(b); }

struct SignOnSetup {
    std::uint8_t SpeedIndex = 0;
    std::uint8_t ModeHigh = 0x00, ModeMid = 0x87, ModeLow = 0xA1; // gain 1, 24-bit bipolar, 10 Hz
    std::uint8_t Avg = 1, Filter = 2;
    std::uint32_t Preset = 4882; // 1 s at 9600 baud
    Bytes Config = {0, 4, 0, 0, 0, 0};
};

// The sign-on exchange as the host makes it; checks every reply.
void SignOn(HostLine& h, const SignOnSetup& s = SignOnSetup{}) {
    h.Baud(300);
    ASSERT_EQ(Hex(h.Ask({0x00}, 500)), "03");
    ASSERT_EQ(Hex(h.Wait(100)), "");          // quiet
    ASSERT_EQ(Hex(h.Ask({0x88}, 100)), "");   // no reply to 0x88
    ASSERT_EQ(Hex(h.Read({s.SpeedIndex}, 1, 1000)), Hex({s.SpeedIndex}));
    h.Baud(0);
    h.Baud(sim::LineSpeeds[s.SpeedIndex]);
    h.Wait(250);
    std::uint8_t L = static_cast<std::uint8_t>(s.Preset), M = static_cast<std::uint8_t>(s.Preset >> 8),
                 H = static_cast<std::uint8_t>(s.Preset >> 16);
    Bytes mode = Cat({{0x00}, Frame(s.ModeHigh, s.ModeMid), Frame(s.ModeLow, 0), Frame(s.Avg, s.Filter),
                      Frame(0, 0)});
    ASSERT_EQ(Hex(h.Read(mode, 3, 1000)), Hex({s.ModeHigh, s.ModeMid, s.ModeLow}));
    const Bytes& c = s.Config;
    Bytes timer = Cat({Frame(L, M), Frame(H, c[0]), Frame(c[1], c[2]), Frame(c[3], c[4]), Frame(c[5], 0)});
    ASSERT_EQ(Hex(h.Ask(timer, 220)), "");
}

TEST(SimSignOn, WholeExchangeSetsSpeedRegistersAndTimer) {
    HostLine h;
    SignOnSetup s;
    s.ModeHigh = 0x0C; // gain 8
    s.Avg = 8;
    s.Config = {3, 4, 1, 0, 7, 9};
    SignOn(h, s);
    EXPECT_EQ(h.In.Baud, 9600);
    EXPECT_EQ(h.In.SpeedIndex, 0);
    EXPECT_EQ(h.In.State, sim::Phase::Command);
    EXPECT_EQ(h.In.Reg.ModeHigh, 0x0C);
    EXPECT_EQ(sim::GainOf(h.In.Reg), 8);
    EXPECT_EQ(h.In.Reg.AvgCount, 8u);
    EXPECT_EQ(h.In.Reg.FilterSel, 2);
    EXPECT_EQ(h.In.Reg.TimerPreset, 4882u);
    EXPECT_EQ(h.In.Reg.ScanConfig, (std::array<std::uint8_t, 6>{3, 4, 1, 0, 7, 9}));
    // N + 1 = 4883 ticks of 4882.8125 Hz.
    EXPECT_EQ(sim::ScanIntervalUs(h.In), 1000038);
    EXPECT_EQ(Hex(h.Ask(Frame(0x86, 0))), "86 65");
}

TEST(SimSignOn, RepliesTakeTenBitTimesEachWay) {
    HostLine h;
    h.Write({0x00});
    h.Wait(66);
    EXPECT_TRUE(h.Got.empty()); // 33.3 ms in, 0.2 ms to react, 33.3 ms out
    h.Wait(1);
    ASSERT_EQ(h.Got.size(), 1u);
    EXPECT_EQ(h.Got[0].TimeMs, 67);
    EXPECT_EQ(h.Got[0].Value, 0x03);
}

TEST(SimSignOn, StaysAt300ForSpeedIndex5AndOtherBytesBeforeWakeUpAreIgnored) {
    HostLine h;
    SignOnSetup s;
    s.SpeedIndex = 5;
    SignOn(h, s);
    EXPECT_EQ(h.In.Baud, 300);
    EXPECT_EQ(Hex(h.Ask(Frame(0x86, 0))), "86 65");
}

TEST(SimSignOn, SpeedIndexOutOfRangeIsRefusedWithoutEcho) {
    HostLine h;
    h.Ask({0x00});
    h.Ask({0x88});
    EXPECT_EQ(Hex(h.Ask({0x06}, 1000)), "");
    EXPECT_EQ(h.In.Baud, 300);
}

TEST(SimSignOn, ASecondSignOnAt300ReachesAnInstrumentRunningFaster) {
    HostLine h;
    SignOn(h);
    h.Ask(Frame(0x89, 0), 200); // scanning at 9600
    h.Baud(0);
    h.Baud(300);
    // The first wake-up reaches a 9600-baud receiver as a break: it drops
    // back to 300 baud and idle; the host's next try is answered.
    EXPECT_EQ(Hex(h.Ask({0x00}, 550)), "");
    EXPECT_EQ(h.In.Baud, 300);
    EXPECT_EQ(h.In.ScanMode, -1);
    EXPECT_EQ(h.In.Stat.Breaks, 1u);
    EXPECT_EQ(Hex(h.Ask({0x00}, 550)), "03");
    SignOn(h);
    EXPECT_EQ(Hex(h.Ask(Frame(0x86, 0))), "86 65");
}

TEST(SimSignOn, BytesAtADifferentSpeedGarbleOrVanish) {
    HostLine h;
    SignOn(h); // instrument at 9600
    // A host faster than the instrument: the instrument misses its bytes.
    sim::PowerUp(h.In, sim::Config{}, h.T); // back at 300
    h.Baud(9600);
    EXPECT_EQ(Hex(h.Ask({0x00}, 500)), "");
    EXPECT_EQ(h.In.State, sim::Phase::Command);
    // An instrument slower than the host: the host reads each byte as 0x00.
    h.Baud(300);
    h.Write({0x00});
    h.Wait(40); // the wake-up is in, the reply under way at 300
    h.Baud(9600);
    EXPECT_EQ(Hex(h.Wait(100)), "00");
}

TEST(SimSignOn, AStalledDownloadIsAbandonedSoTheNextWakeUpIsHeard) {
    HostLine h;
    SignOnSetup s;
    s.SpeedIndex = 5; // same speed before and after: no break to help
    h.Ask({0x00});
    h.Ask({0x88});
    h.Ask({5});
    h.Write({0x00});
    h.Write(Frame(0x00, 0x87)); // the host gives up here and starts over
    h.Wait(600);
    EXPECT_EQ(Hex(h.Ask({0x00}, 500)), "03");
    SignOn(h, s);
}

TEST(SimSignOn, ABadCheckByteInTheModeDownloadGetsNoEcho) {
    HostLine h;
    h.Ask({0x00});
    h.Ask({0x88});
    h.Ask({0});
    h.Baud(9600);
    h.Wait(250);
    Bytes mode = Cat({{0x00}, Frame(0, 0x87), {0xA1, 0, 0xA2}, Frame(1, 2), Frame(0, 0)});
    EXPECT_EQ(Hex(h.Ask(mode)), "");
    EXPECT_EQ(h.In.Stat.BadFrames, 1u);
}

class SimCommands : public ::testing::Test {
protected:
    void SetUp() override {
        sim::Config cfg;
        cfg.DigIn = 0x5A;
        h = HostLine(cfg);
        SignOn(h);
    }
    HostLine h;
};

TEST_F(SimCommands, SingleFrameRepliesAndRegisters) {
    struct {
        Bytes Frame;
        const char* Reply;
    } const table[] = {
        {Frame(0x86, 0x00), "86 65"},
        {Frame(0x80, 0x4C), "80 5A"},
        {Frame(0x02, 0xFF), ""},
        {Frame(0x01, 0x25), ""},
        {Frame(0x03, 0x01), ""},
        {Frame(0x04, 0x03), ""},
        {Frame(0x07, 0x00), ""}, // no counter addressed by channel code 0x25
        {Frame(0x55, 0x00), ""}, // unknown
    };
    for (const auto& row : table) EXPECT_EQ(Hex(h.Ask(row.Frame)), row.Reply) << Hex(row.Frame);
    EXPECT_EQ(h.In.Reg.DigOut, 0xFF);
    EXPECT_EQ(h.In.Reg.ChanCode, 0x25);
    EXPECT_EQ(h.In.Reg.FilterSel, 1);
    EXPECT_EQ(h.In.Reg.AvgCount, 8u);
}

TEST_F(SimCommands, ChecksumCoversEveryByteSentSinceTheSignOnOrTheLastCheck) {
    // Since 0x88: speed echo, mode echo, version reply.
    std::uint8_t sum = static_cast<std::uint8_t>(0x00 + 0x00 + 0x87 + 0xA1 + 0x86 + 0x65);
    h.Ask(Frame(0x86, 0));
    Bytes r = h.Ask(Frame(0x87, 1));
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], 0x87);
    EXPECT_EQ(r[1], static_cast<std::uint8_t>(sum + 0x87));
    // The host's test: its own sum, the reply included, is twice the byte.
    std::uint8_t host = static_cast<std::uint8_t>(sum + 0x87 + r[1]);
    EXPECT_EQ(host, static_cast<std::uint8_t>(2 * r[1]));
    // Straight after a check only a checksum byte of 0x87 passes.
    EXPECT_EQ(Hex(h.Ask(Frame(0x87, 1))), "87 87");
}

TEST_F(SimCommands, ConversionCodingFollowsGainPolarityAndWordLength) {
    struct {
        std::uint8_t ModeHigh, ModeMid;
        double Input;
        std::uint32_t Counts;
    } const table[] = {
        {0x00, 0x97, 250.0, 838861},    // unipolar 24-bit: 250/5000 of 2^24
        {0x00, 0x87, 250.0, 8808038},   // bipolar 24-bit: offset form
        {0x00, 0x87, -5000.0, 0},       // bottom of the bipolar range
        {0x00, 0x97, 6000.0, 16777215}, // over-range clamps
        {0x00, 0x97, -10.0, 0},
        {0x00, 0x17, 250.0, 3277},      // unipolar 16-bit, rounded at 16 bits
        {0x00, 0x07, 0.0, 32768},       // bipolar 16-bit zero
        {0x0C, 0x97, 250.0, 6710886},   // gain 8 reads 2000
    };
    for (const auto& row : table) {
        h.In.Reg.ModeHigh = row.ModeHigh;
        h.In.Reg.ModeMid = row.ModeMid;
        EXPECT_EQ(sim::CountFor(h.In.Reg, row.Input), row.Counts)
            << std::hex << int(row.ModeHigh) << " " << int(row.ModeMid) << " " << row.Input;
    }
}

TEST_F(SimCommands, ConversionEchoesAtOnceAndSendsTheDataAfterTheAveraging) {
    h.Ask(Frame(0x04, 3)); // 8 conversions at 10.0006 Hz: 0.8 s
    h.Ask(Frame(0x01, 0x30));
    std::size_t from = h.Got.size();
    std::int64_t sent = h.T;
    h.Ask(Frame(0x81, 0), 2000);
    ASSERT_EQ(h.Got.size() - from, 4u);
    EXPECT_EQ(h.Got[from].Value, 0x81);
    EXPECT_LE(h.Got[from].TimeMs - sent, 8);
    EXPECT_GE(h.Got[from + 1].TimeMs - sent, 800);
    EXPECT_LE(h.Got[from + 3].TimeMs - sent, 815);
    // Channel 3 reads its default 1000: bipolar 24-bit.
    std::uint32_t c = h.Got[from + 1].Value | (h.Got[from + 2].Value << 8) | (h.Got[from + 3].Value << 16);
    EXPECT_EQ(c, sim::CountFor(h.In.Reg, 1000.0));
}

TEST_F(SimCommands, SineInputsAreAveragedOverTheConversion) {
    sim::Instrument& in = h.In;
    in.Cfg.Signals[2] = sim::Signal{100.0, 50.0, 1.0};
    EXPECT_NEAR(sim::InputMean(in, 2, 250000, 250000), 150.0, 1e-9); // the peak
    EXPECT_NEAR(sim::InputMean(in, 2, 0, 1000000), 100.0, 1e-9);     // a whole period
    EXPECT_NEAR(sim::InputMean(in, 2, 0, 500000), 100.0 + 100.0 / 3.14159265358979, 1e-6);
}

TEST_F(SimCommands, CalibrationsTakeNinePeriodsAndReplyEchoAndData) {
    for (std::uint8_t code : {std::uint8_t{0x82}, std::uint8_t{0x83}}) {
        std::size_t from = h.Got.size();
        std::int64_t sent = h.T;
        h.Ask(Frame(code, 0x70), 1500);
        ASSERT_EQ(h.Got.size() - from, 4u);
        EXPECT_EQ(h.Got[from].Value, code);
        EXPECT_GE(h.Got[from + 1].TimeMs - sent, 899); // 9 / 10.0006 Hz
        EXPECT_LT(h.Got[from + 3].TimeMs - sent, 2000);
    }
    // Even the slowest rate fits the fixed 2 s of a system calibration.
    h.In.Reg.ModeMid = 0x87;
    h.In.Reg.ModeLow = 0xFF; // code 2047
    std::int64_t sent = h.T;
    std::size_t from = h.Got.size();
    h.Ask(Frame(0x82, 0x70), 2000);
    ASSERT_EQ(h.Got.size() - from, 4u);
    EXPECT_LT(h.Got.back().TimeMs - sent, 1100);
}

TEST_F(SimCommands, ModeChangeEchoesCommandThenTheNewModeBytes) {
    EXPECT_EQ(Hex(h.Read(Frame(0x84, 0), 1, 100)), "84");
    EXPECT_EQ(Hex(h.Ask(Cat({Frame(0x1F, 0x12), Frame(0x34, 0)}))), "1F 12 34");
    EXPECT_EQ(sim::GainOf(h.In.Reg), 128);
    EXPECT_EQ(sim::ConvBytesOf(h.In.Reg), 2);
    EXPECT_FALSE(sim::BipolarOf(h.In.Reg));
    EXPECT_EQ(sim::FilterCodeOf(h.In.Reg), 0x234);
    // A host that got no echo and sends no mode frames: the next command
    // still works once the instrument has waited long enough.
    EXPECT_EQ(Hex(h.Ask(Frame(0x84, 0))), "84");
    EXPECT_EQ(Hex(h.Ask(Frame(0x86, 0))), "86 65");
}

TEST_F(SimCommands, CountersTakeControlWordsAndCountsLowByteFirst) {
    // The counter preset of a sign-on with CounterPreset 1000, then
    // WriteCntr(1, 0x1234).
    Bytes preset;
    const std::uint8_t control[3] = {0x34, 0x72, 0xB2};
    const std::uint16_t value[3] = {1000, 1000, 1};
    for (std::uint8_t k = 0; k < 3; ++k)
        preset = Cat({preset, Frame(1, 0x87), Frame(7, control[k]), Frame(1, static_cast<std::uint8_t>(0x84 | k)),
                      Frame(7, static_cast<std::uint8_t>(value[k])), Frame(7, static_cast<std::uint8_t>(value[k] >> 8))});
    EXPECT_EQ(Hex(h.Ask(preset)), "");
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(h.In.Counters[k].Control, control[k]) << k;
        EXPECT_EQ(h.In.Counters[k].Count, value[k]) << k;
        EXPECT_TRUE(h.In.Counters[k].Loaded) << k;
    }
    EXPECT_EQ(Hex(h.Ask({0x01, 0x85, 0x86, 0x07, 0x34, 0x3B, 0x07, 0x12, 0x19})), "");
    EXPECT_EQ(h.In.Counters[1].Count, 0x1234);
    EXPECT_EQ(h.In.Reg.ChanCode, 0x85);
}

TEST_F(SimCommands, ABadFrameIsSkippedAndTheNextOneAnswered) {
    EXPECT_EQ(Hex(h.Ask({0x86, 0x00, 0x87})), "");
    EXPECT_EQ(Hex(h.Ask(Frame(0x86, 0))), "86 65");
    // A frame broken off is dropped after a pause.
    h.Ask({0x86});
    EXPECT_EQ(Hex(h.Ask(Frame(0x80, 0x4C))), "80 5A");
}

TEST_F(SimCommands, SleepAnswers80AndOnlyTheWakeUpIsHeardAfterwards) {
    EXPECT_EQ(Hex(h.Ask(Frame(0x88, 0))), "80");
    EXPECT_EQ(Hex(h.Ask(Frame(0x80, 0x4C))), "");
    EXPECT_EQ(Hex(h.Ask({0x00})), "03");
}

class SimScanning : public ::testing::Test {
protected:
    void Start(const Bytes& config, std::uint8_t mid = 0x80, std::uint32_t preset = 487) {
        SignOnSetup s;
        s.ModeMid = mid;
        s.ModeLow = 0x14; // code 20: 976.5625 Hz
        s.Config = config;
        s.Preset = preset; // 488 ticks: 99.9 ms
        SignOn(h, s);
        h.Ask(Frame(0x01, 0x60)); // channel 6 for mode 0
    }
    HostLine h;
};

TEST_F(SimScanning, Mode1SendsLeadByteConversionsAndSequenceNumber) {
    Start({2, 4, 0, 0, 0, 0});
    EXPECT_EQ(sim::ScanBytes(h.In, 1), 14);
    EXPECT_EQ(Hex(h.Ask(Frame(0x89, 0), 50)), "89");
    Bytes stream = h.Wait(1000);
    ASSERT_GE(stream.size(), 14u * 9);
    ASSERT_EQ(stream.size() % 14, 0u);
    for (std::size_t s = 0; s * 14 < stream.size(); ++s) {
        const std::uint8_t* p = &stream[s * 14];
        EXPECT_EQ(p[0], 0xF0) << s;
        for (int c = 0; c < 4; ++c) {
            std::uint32_t v = p[1 + 3 * c] | (p[2 + 3 * c] << 8) | (p[3 + 3 * c] << 16);
            EXPECT_EQ(v, sim::CountFor(h.In.Reg, 250.0 * (2 + c + 1))) << s << " " << c;
        }
        EXPECT_EQ(p[13], s) << "sequence";
    }
    // The stop lets the scan under way finish and ends with its echo.
    Bytes tail = h.Ask(Frame(0x8A, 0), 500);
    ASSERT_FALSE(tail.empty());
    EXPECT_EQ(tail.back(), 0x8A);
    EXPECT_EQ((tail.size() - 1) % 14, 0u);
    EXPECT_EQ(Hex(h.Wait(500)), "");
    // Every byte since the sign-on is in the checksum.
    Bytes r = h.Ask(Frame(0x87, 1));
    // Speed echo, mode echo, start echo, then the stream and the check's echo.
    std::uint8_t sum = static_cast<std::uint8_t>(0x00 + 0x00 + 0x80 + 0x14 + 0x89 + 0x87);
    for (std::uint8_t b : stream) sum = static_cast<std::uint8_t>(sum + b);
    for (std::uint8_t b : tail) sum = static_cast<std::uint8_t>(sum + b);
    EXPECT_EQ(Hex(r), Hex({0x87, sum}));
}

TEST_F(SimScanning, ScansComeAtTheTimerInterval) {
    Start({0, 1, 1, 0, 0, 0});
    std::int64_t t0 = h.T;
    h.Ask(Frame(0x89, 0), 2000);
    std::vector<std::int64_t> leads;
    for (const sim::OutByte& b : h.Got)
        if (b.TimeMs > t0 + 10 && b.Value == 0xF0) leads.push_back(b.TimeMs);
    ASSERT_GE(leads.size(), 19u);
    for (std::size_t i = 1; i < leads.size(); ++i) EXPECT_NEAR(double(leads[i] - leads[i - 1]), 99.9, 1.1);
}

TEST_F(SimScanning, Mode2AddsTheTwoExtraChannelsAndDigitalInputs) {
    Start({0, 2, 1, 0, 14, 15});
    h.In.Cfg.DigIn = 0xC3;
    EXPECT_EQ(sim::ScanBytes(h.In, 2), 14);
    EXPECT_EQ(Hex(h.Ask(Frame(0x8C, 0), 50)), "8C");
    Bytes s = h.Wait(120);
    ASSERT_EQ(s.size(), 14u);
    EXPECT_EQ(s[0], 0xF0);
    const double expect[4] = {250.0, 500.0, 3750.0, 4000.0};
    for (int c = 0; c < 4; ++c)
        EXPECT_EQ(s[1 + 3 * c] | (s[2 + 3 * c] << 8) | (s[3 + 3 * c] << 16), int(sim::CountFor(h.In.Reg, expect[c])));
    EXPECT_EQ(s[13], 0xC3);
}

TEST_F(SimScanning, Mode0SendsOneConversionOfTheSelectedChannelNoLeadByte) {
    Start({0, 4, 0, 0, 0, 0}, 0x10); // 16-bit unipolar
    EXPECT_EQ(Hex(h.Ask(Frame(0x8B, 0), 50)), "8B");
    Bytes s = h.Wait(1000);
    ASSERT_EQ(s.size() % 2, 0u);
    ASSERT_GE(s.size(), 18u);
    std::uint32_t c = sim::CountFor(h.In.Reg, 1750.0); // channel 6
    for (std::size_t i = 0; i < s.size(); i += 2) EXPECT_EQ(s[i] | (s[i + 1] << 8), int(c));
}

TEST_F(SimScanning, AScanThatCannotGoOutInTimeIsSkippedAndTheSequenceShowsIt) {
    // 16 channels of 3 bytes at 9600 baud need 52 ms; the timer gives 20 ms.
    Start({0, 16, 0, 0, 0, 0}, 0x80, 97);
    h.Ask(Frame(0x89, 0), 1000);
    EXPECT_GT(h.In.Stat.ScansSkipped, 0u);
    EXPECT_LE(h.In.Tx.size(), 50u * 2);
}

TEST_F(SimScanning, CommandsThatReplyAreIgnoredWhileScanning) {
    Start({0, 1, 0, 0, 0, 0});
    h.Ask(Frame(0x89, 0), 50);
    h.Ask(Frame(0x86, 0), 250);
    h.Ask(Frame(0x02, 0x42), 10); // applied
    Bytes tail = h.Ask(Frame(0x8A, 0), 300);
    ASSERT_FALSE(tail.empty());
    EXPECT_EQ(tail.back(), 0x8A);
    EXPECT_EQ(h.In.Reg.DigOut, 0x42);
    for (std::size_t i = 0; i + 1 < h.Got.size(); ++i) EXPECT_FALSE(h.Got[i].Value == 0x86 && h.Got[i + 1].Value == 0x65);
}

TEST(SimFaults, EachFaultShowsOnTheLine) {
    struct Case {
        const char* Name;
        sim::Faults F;
        const char* Version; // the reply to GetVer after a sign-on at 300
    };
    sim::Faults silent, wrong, noise, drop, gone;
    silent.Silent = true;
    wrong.WrongEcho = true;
    drop.DropProbability = 1.0;
    gone.LineGone = true;
    noise.NoiseProbability = 1.0;
    noise.Seed = 7;
    const Case table[] = {
        {"silent", silent, ""}, {"wrong echo", wrong, "C6 65"}, {"drop", drop, ""}, {"gone", gone, ""},
    };
    for (const Case& c : table) {
        HostLine h;
        h.Ask({0x00}); // woken before the fault
        h.Ask({0x88});
        h.Ask({5});
        sim::SetFaults(h.In, c.F, h.T);
        h.Ask(Cat({{0x00}, Frame(0, 0x87), Frame(0xA1, 0), Frame(1, 2), Frame(0, 0)}));
        h.Ask(Cat({Frame(0, 0), Frame(0, 0), Frame(0, 0), Frame(0, 0), Frame(0, 0)}));
        EXPECT_EQ(Hex(h.Ask(Frame(0x86, 0))), c.Version) << c.Name;
    }
    HostLine h;
    sim::SetFaults(h.In, noise, 0);
    Bytes r = h.Ask({0x00});
    ASSERT_EQ(r.size(), 2u); // a noise byte before the reply
    EXPECT_EQ(r[1], 0x03);
}

TEST(SimFaults, LateRepliesStartLaterAndTheLineComesBack) {
    HostLine h;
    sim::Faults late;
    late.LateMs = 300;
    sim::SetFaults(h.In, late, 0);
    h.Write({0x00});
    h.Wait(360);
    EXPECT_TRUE(h.Got.empty());
    EXPECT_EQ(Hex(h.Wait(10)), "03");
    sim::Faults gone;
    gone.LineGone = true;
    sim::SetFaults(h.In, gone, h.T);
    EXPECT_EQ(Hex(h.Ask({0x00})), "");
    sim::SetFaults(h.In, sim::Faults{}, h.T);
    EXPECT_EQ(Hex(h.Ask({0x00})), "03");
}

TEST(SimFaults, DropsAndNoiseRepeatForTheSameSeed) {
    auto run = [](std::uint64_t seed) {
        HostLine h;
        sim::Faults f;
        f.DropProbability = 0.3;
        f.NoiseProbability = 0.3;
        f.Seed = seed;
        sim::SetFaults(h.In, f, 0);
        Bytes all;
        for (int i = 0; i < 20; ++i) {
            Bytes r = h.Ask({0x00}, 600);
            all.insert(all.end(), r.begin(), r.end());
        }
        return all;
    };
    EXPECT_EQ(run(5), run(5));
    EXPECT_NE(run(5), run(6));
}

TEST(SimLine, NextOutputTimeNeverPassesAByteOrAnEvent) {
    HostLine h;
    EXPECT_EQ(sim::NextOutputTime(h.In), INT64_MAX);
    h.Write({0x00});
    EXPECT_EQ(sim::NextOutputTime(h.In), 34); // the byte is in at 33.3 ms
    sim::Advance(h.In, 34);
    EXPECT_EQ(sim::NextOutputTime(h.In), 67);
    h.Wait(100);
    EXPECT_EQ(sim::NextOutputTime(h.In), INT64_MAX);
}

} // namespace
