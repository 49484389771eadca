// Scanning: the start and stop sequences, collecting scans into the caller's
// buffer, and taking conversions and bytes off its head. On the virtual clock.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "acquisition/conversion.h"
#include "acquisition/scanning.h"
#include "interface/module_state.h"
#include "sadclink.h"
#include "scripted_instrument.h"
#include "signon_fixture.h"

namespace {

using namespace sadc::test;
using sadc::Module;
namespace virt = sadc::virt;

using Elements = std::vector<std::int32_t>;

Elements Head(const std::int32_t* buffer, std::size_t n) { return Elements(buffer, buffer + n); }

// --- The buffer moves -------------------------------------------------------

TEST(ScanBuffer, RemoveFromBufferMovesTheRestDown) {
    struct {
        std::int32_t Count;
        std::int32_t ScanCount;
        Elements After; // the first five elements afterwards
    } const cases[] = {
        {2, 3, {3, 4, 5, 4, 5}}, // the top two old elements appear twice
        {1, 4, {2, 3, 4, 5, 5}},
        {0, 5, {1, 2, 3, 4, 5}},
        {4, 1, {5, 2, 3, 4, 5}},
        {5, 0, {1, 2, 3, 4, 5}}, // emptied, elements untouched
        {9, 0, {1, 2, 3, 4, 5}},
        {-1, 5, {1, 2, 3, 4, 5}}, // a negative count changes nothing
        {std::numeric_limits<std::int32_t>::min(), 5, {1, 2, 3, 4, 5}},
        {std::numeric_limits<std::int32_t>::max(), 0, {1, 2, 3, 4, 5}},
    };
    for (const auto& c : cases) {
        std::int32_t buffer[8] = {1, 2, 3, 4, 5, 66, 77, 88};
        Module.ScanCount = 5;
        ::RemoveFromBuffer(c.Count, buffer);
        EXPECT_EQ(Module.ScanCount, c.ScanCount) << c.Count;
        EXPECT_EQ(Head(buffer, 5), c.After) << c.Count;
        EXPECT_EQ(Head(buffer + 5, 3), (Elements{66, 77, 88})) << c.Count;
    }
    Module.ScanCount = 0;
}

TEST(ScanBuffer, GconvTakesOneConversionOffTheHead) {
    struct {
        std::int16_t ConvBytes, Bipolar;
        Elements Before;
        std::int32_t Counts;
        Elements After;
        std::int32_t ScanCount;
    } const cases[] = {
        {3, 0, {1, 1, 0, 9, 8}, 257, {9, 8}, 2},
        {3, 1, {0, 0, 128, 7}, 1 << 23, {7}, 1},
        {3, 0, {0xFF, 0xFF, 0xFF}, (1 << 24) - 1, {}, 0},
        {2, 0, {0xFF, 0xFF, 5, 6}, 65535, {5, 6}, 2},
        {2, 1, {0x00, 0x80}, 0x8000, {}, 0},
        // The caller's own values in the buffer: combined without overflow.
        {3, 0, {0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF}, 0x7FFEFEFF, {}, 0},
        {2, 0, {-1, -1}, static_cast<std::int32_t>(0xFFFFFEFFu), {}, 0},
    };
    for (const auto& c : cases) {
        std::int32_t buffer[8] = {};
        for (std::size_t i = 0; i < c.Before.size(); ++i) buffer[i] = c.Before[i];
        Module.ScanCount = static_cast<std::int32_t>(c.Before.size());
        DeviceRecord r{};
        r.ConvBytes = c.ConvBytes;
        r.Bipolar = c.Bipolar;
        ::Gconv(&r, buffer);
        EXPECT_EQ(+r.Counts, c.Counts);
        EXPECT_EQ(+r.ScaledValue, ::Counts2Volts(c.Counts, c.ConvBytes, c.Bipolar));
        EXPECT_EQ(Module.ScanCount, c.ScanCount);
        EXPECT_EQ(Head(buffer, c.After.size()), c.After);
    }
    Module.ScanCount = 0;
}

// --- Start, collect, stop -----------------------------------------------------

class Scanning : public VirtualLink {
protected:
    void SetUp() override {
        VirtualLink::SetUp();
        Attach();
        Module.ReplyTimeout = 1.0;
        Rec.ComPort = 0; // a time-out signs on to COM1, which is not there
        Rec.Channel = 2;
        Rec.Code = 5;
        Rec.ScanMode = 1;
        Rec.NumChans = 4;
        Rec.ConvBytes = 3;
        Rec.ScanTime = 1.0;
        Rec.InQueueSize = 1024;
        Rec.ErrorCode = 77;
        for (std::int32_t& e : Buffer) e = -5;
    }
    // Puts the attached port back after a sign-on that moved to another slot.
    void Reattach() {
        Module.CurrentPort = 1;
        Attach();
    }
    void Play(std::vector<Exchange> script) {
        Instrument.Script = std::move(script);
        Instrument.Step = Instrument.Pos = 0;
    }
    // A scan in mode 1 or 2: the lead byte, then numbered bytes.
    static Bytes ScanBytes(std::size_t n, std::uint8_t first = 1) {
        Bytes b = {0xF0};
        for (std::size_t i = 1; i < n; ++i) b.push_back(static_cast<std::uint8_t>(first + i - 1));
        return b;
    }
    DeviceRecord Rec{};
    std::int32_t Buffer[2048];
};

TEST_F(Scanning, StartSendsTheCommandOfTheModeAndAwaitsItsEcho) {
    struct {
        const char* Name;
        std::int16_t Mode, FilterSel, Code;
        Bytes Wire;             // every byte sent
        std::int64_t SettleMs;  // from the channel frame to the start command
    } const cases[] = {
        {"mode 1", 1, 0, 5, {0x89, 0x05, 0x8E}, 0},
        {"mode 2", 2, 0, 5, {0x8C, 0x05, 0x91}, 0},
        {"mode 7 acts as 1", 7, 0, 5, {0x89, 0x05, 0x8E}, 0},
        {"Code's low byte only", 1, 0, 0x105, {0x89, 0x05, 0x8E}, 0},
        {"mode 0, settling 4.5 s", 0, 0, 5, {0x01, 0x25, 0x26, 0x8B, 0x05, 0x90}, 9500 + 2500},
        {"mode 0, settling 0.56 s", 0, 1, 5, {0x01, 0x25, 0x26, 0x8B, 0x05, 0x90}, 1620 + 2500},
        {"mode 0, settling 0.036 s", 0, 2, 5, {0x01, 0x25, 0x26, 0x8B, 0x05, 0x90}, 572 + 2500},
        {"mode 0, FilterSel 5", 0, 5, 5, {0x01, 0x25, 0x26, 0x8B, 0x05, 0x90}, 572 + 2500},
    };
    for (const auto& c : cases) {
        Rec.ScanMode = c.Mode;
        Rec.FilterSel = c.FilterSel;
        Rec.Code = c.Code;
        Module.ScanCount = 9;
        Port->FromHost.clear();
        Bytes start(c.Wire.end() - 3, c.Wire.end());
        if (c.Wire.size() > 3)
            Play({Exchange{Bytes(c.Wire.begin(), c.Wire.begin() + 3), {}, 0, 0}, Exchange{start, {start[0]}, 4, 0}});
        else
            Play({Exchange{start, {start[0]}, 4, 0}});
        EXPECT_EQ(::StartScanning(&Rec), 1) << c.Name;
        EXPECT_TRUE(Instrument.Check()) << c.Name;
        EXPECT_TRUE(WireIs(*Port, c.Wire)) << c.Name;
        EXPECT_EQ(Module.ScanCount, 0) << c.Name;
        const auto& w = Port->FromHost;
        EXPECT_EQ(w[w.size() - 3].TimeMs - w.front().TimeMs, c.SettleMs) << c.Name;
    }
    EXPECT_EQ(+Rec.ErrorCode, 77);
}

TEST_F(Scanning, StartFailsOnAMissingOrWrongEcho) {
    struct {
        const char* Name;
        Bytes Stale, Reply;
        SadcStatus Status;
        std::int64_t Ms;
    } const cases[] = {
        {"no echo", {}, {}, 0, 1000},
        {"echo of another mode", {}, {0x8C}, 0, 0},
        {"a stray byte taken for the echo", {0x55}, {0x89}, 0, 0},
        {"a stray byte that happens to match", {0x89}, {}, 1, 0},
    };
    for (const auto& c : cases) {
        Port->ToHost.clear();
        Port->FromHost.clear();
        Port->Send(c.Stale, virt::Now());
        Play({Exchange{{0x89, 0x05, 0x8E}, c.Reply, 0, 0}});
        std::int64_t t0 = virt::Now();
        EXPECT_EQ(::StartScanning(&Rec), c.Status) << c.Name;
        EXPECT_EQ(virt::Now() - t0, c.Ms) << c.Name;
        EXPECT_TRUE(WireIs(*Port, {0x89, 0x05, 0x8E})) << c.Name;
    }
    EXPECT_EQ(+Rec.ErrorCode, 77);
}

TEST_F(Scanning, EachModeCollectsItsBytesPerScan) {
    struct {
        const char* Name;
        std::int16_t Mode, NumChans, ConvBytes;
        std::size_t PerScan;
        Elements Kept; // what the buffer holds afterwards
    } const cases[] = {
        {"mode 1: 4 x 3 + 2", 1, 4, 3, 14, {}},
        {"mode 2: (4 + 2) x 3 + 2", 2, 4, 3, 20, {}},
        {"mode 3 acts as 1", 3, 4, 3, 14, {}},
        {"mode 1 with 2-byte words", 1, 1, 2, 4, {}},
        {"mode 0: one word, no lead byte", 0, 4, 2, 2, {0x31, 0x32}},
    };
    for (const auto& c : cases) {
        Rec.ScanMode = c.Mode;
        Rec.NumChans = c.NumChans;
        Rec.ConvBytes = c.ConvBytes;
        Module.ScanCount = 0;
        Port->ToHost.clear();
        Bytes scan = c.Mode == 0 ? Bytes{0x31, 0x32} : ScanBytes(c.PerScan);
        Port->Send(scan, virt::Now() + 10, 1);
        Port->Send({0xF0, 0xEE}, virt::Now() + 500); // the next scan's start
        EXPECT_EQ(::GetOneScan(&Rec, Buffer), 1) << c.Name;
        Elements expected = c.Kept;
        if (c.Mode != 0)
            for (std::size_t i = 1; i < c.PerScan; ++i) expected.push_back(static_cast<std::int32_t>(i));
        EXPECT_EQ(Module.ScanCount, static_cast<std::int32_t>(expected.size())) << c.Name;
        EXPECT_EQ(Head(Buffer, expected.size()), expected) << c.Name;
        // The scan's last byte ends the call; the next scan stays waiting.
        EXPECT_EQ(Port->Waiting(virt::Now() + 1000), 2u) << c.Name;
        EXPECT_EQ(+Rec.ErrorCode, 77) << c.Name;
    }
    EXPECT_TRUE(WireIs(*Port, {}));
}

TEST_F(Scanning, ModeZeroScanIsTakenByGconv) {
    Rec.ScanMode = 0;
    Rec.ConvBytes = 2;
    Rec.Bipolar = 0;
    Port->Send({0x34, 0x12}, 5);
    ASSERT_EQ(::GetOneScan(&Rec, Buffer), 1);
    ::Gconv(&Rec, Buffer);
    EXPECT_EQ(+Rec.Counts, 0x1234);
    EXPECT_EQ(Module.ScanCount, 0);
}

TEST_F(Scanning, AScanWithoutItsLeadByteStaysInTheBuffer) {
    struct {
        const char* Name;
        std::int32_t Left; // elements of the previous scan still in the buffer
        std::uint8_t Lead;
    } const cases[] = {
        {"wrong lead byte", 0, 0xF1},
        {"one element of the previous scan left", 1, 0xF0},
    };
    for (const auto& c : cases) {
        Module.ScanCount = c.Left;
        Buffer[0] = 0x42;
        Rec.ErrorCode = 77;
        Bytes scan = ScanBytes(14);
        scan[0] = c.Lead;
        Port->Send(scan, virt::Now() + 1);
        EXPECT_EQ(::GetOneScan(&Rec, Buffer), 0) << c.Name;
        EXPECT_EQ(+Rec.ErrorCode, 1) << c.Name;
        EXPECT_EQ(Module.ScanCount, c.Left + 14) << c.Name;
        EXPECT_EQ(Buffer[c.Left], c.Lead) << c.Name;
        EXPECT_EQ(Buffer[c.Left + 13], 13) << c.Name;
    }
}

TEST_F(Scanning, NothingIsReadWhileTheDriverQueueIsNearlyFull) {
    struct {
        const char* Name;
        std::int32_t InQueueSize;
        std::uint32_t Waiting;
        SadcStatus Status;
    } const cases[] = {
        {"1015 of 1024 waiting", 1024, 1015, 0},
        {"1014 of 1024 waiting", 1024, 1014, 1},
        {"a queue below 10 bytes never fires", 5, 1015, 1},
        {"a queue of 10 fires on one byte", 10, 14, 0},
        {"the most negative queue size", std::numeric_limits<std::int32_t>::min(), 1015, 1},
    };
    for (const auto& c : cases) {
        Rec.InQueueSize = c.InQueueSize;
        Rec.ErrorCode = 77;
        Module.ScanCount = 0;
        Port->ToHost.clear();
        Bytes waiting = ScanBytes(14);
        waiting.resize(c.Waiting, 0xAA);
        Port->Send(waiting, virt::Now());
        std::int64_t t0 = virt::Now();
        EXPECT_EQ(::GetOneScan(&Rec, Buffer), c.Status) << c.Name;
        EXPECT_EQ(virt::Now(), t0) << c.Name;
        if (c.Status == 0) {
            EXPECT_EQ(+Rec.ErrorCode, 3) << c.Name;
            EXPECT_EQ(Port->Waiting(virt::Now()), c.Waiting) << c.Name; // nothing read or purged
            EXPECT_EQ(Module.ScanCount, 0) << c.Name;
        } else {
            EXPECT_EQ(+Rec.ErrorCode, 77) << c.Name;
            EXPECT_EQ(Port->Waiting(virt::Now()), c.Waiting - 14) << c.Name;
        }
    }
    EXPECT_TRUE(WireIs(*Port, {}));
}

TEST_F(Scanning, TimeOutJudgesOnlyBytesThisCallReceived) {
    struct {
        const char* Name;
        Bytes Sent;           // the start of a scan, or a whole one
        std::int64_t LastAtMs; // arrival of its last byte
        std::int32_t StaleAtEnd; // what the caller's buffer holds past the bytes
        std::uint8_t Buffer0;    // ReplyBuffer[0] before the call
        SadcStatus Status;
        std::int32_t ErrorCode;
    } const cases[] = {
        {"silent", {}, 0, 10, 10, 0, 2},
        {"last byte received is 10", {0xF0, 0x01, 0x0A}, 100, 0, 0, 0, 10},
        {"10 received, then another byte", {0xF0, 0x0A, 0x07}, 100, 10, 10, 0, 2},
        {"a stale 10 just past the received bytes", {0xF0, 0x01, 0x07}, 100, 10, 0, 0, 2},
        {"whole scan by 2999 ms", ScanBytes(14), 2999, 0, 0, 1, 77},
        {"whole scan at 3000 ms: too late", ScanBytes(14), 3000, 0, 0, 0, 2},
    };
    for (const auto& c : cases) {
        Reattach();
        Module.ScanCount = 0;
        Module.ReplyBuffer[0] = c.Buffer0;
        Rec.ErrorCode = 77;
        Port->ToHost.clear();
        for (std::int32_t& e : Buffer) e = c.StaleAtEnd;
        std::int64_t t0 = virt::Now();
        if (!c.Sent.empty()) {
            Port->Send(Bytes(c.Sent.begin(), c.Sent.end() - 1), t0 + 1);
            Port->Send(c.Sent.back(), t0 + c.LastAtMs);
        }
        virt::Counters before = virt::Count();
        EXPECT_EQ(::GetOneScan(&Rec, Buffer), c.Status) << c.Name;
        EXPECT_EQ(+Rec.ErrorCode, c.ErrorCode) << c.Name;
        if (c.Status == 0) {
            // ScanTime + 2 s, a 0.2 s pause, then a sign-on (COM1 is not
            // there: it gives up at once).
            EXPECT_EQ(virt::Now() - t0, 3200) << c.Name;
            EXPECT_EQ(Module.CurrentPort, 0) << c.Name;
            // The receive loop sleeps between reads instead of polling.
            EXPECT_LT(virt::Count().Reads - before.Reads, 100) << c.Name;
        }
    }
    EXPECT_TRUE(WireIs(*Port, {}));
}

TEST_F(Scanning, AnIntervalThatIsNotANumberEndsAtOnce) {
    Rec.ScanTime = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(::GetOneScan(&Rec, Buffer), 0);
    EXPECT_EQ(+Rec.ErrorCode, 2);
    EXPECT_EQ(virt::Now(), 200); // the pause before the new sign-on
}

TEST_F(Scanning, StopDrainsTheStreamAndRestoresTheChannel) {
    struct {
        const char* Name;
        Bytes Tail;     // after the stop command
        std::int64_t AtMs;
        std::uint8_t Buffer0;
        SadcStatus Status;
    } const cases[] = {
        {"scan bytes, then the stop echo", {0xF0, 0x01, 0x02, 0x8A}, 10, 0, 1},
        {"the stop echo alone", {0x8A}, 1499, 0, 1},
        {"the echo is not last", {0x8A, 0x12}, 10, 0, 0},
        {"the echo after the wait", {0x8A}, 1501, 0, 0},
        // Nothing arrived: a stop echo left from an earlier call proves nothing.
        {"silent after an earlier stop", {}, 0, 0x8A, 0},
    };
    for (const auto& c : cases) {
        Port->ToHost.clear();
        Port->FromHost.clear();
        Module.ReplyBuffer[0] = c.Buffer0;
        Module.ScanCount = 6;
        Play({Exchange{{0x8A, 0x00, 0x8A}, c.Tail, c.AtMs, 0}});
        Instrument.AllowExtra();
        std::int64_t t0 = virt::Now();
        EXPECT_EQ(::StopScanning(&Rec), c.Status) << c.Name;
        EXPECT_EQ(virt::Now() - t0, 1500) << c.Name; // 1.5 x ReplyTimeout
        if (c.Status == 1) {
            EXPECT_TRUE(WireIs(*Port, {0x8A, 0x00, 0x8A, 0x01, 0x25, 0x26})) << c.Name;
            EXPECT_EQ(Module.ScanCount, 0) << c.Name;
        } else {
            EXPECT_TRUE(WireIs(*Port, {0x8A, 0x00, 0x8A})) << c.Name;
            EXPECT_EQ(Module.ScanCount, 6) << c.Name;
        }
        virt::AdvanceBy(1000);
    }
}

// An instrument that streams scans once started, one per interval, until
// it is told to stop; it then ends its output with the stop echo.
struct StreamingInstrument : virt::Peer {
    std::int64_t IntervalMs = 100;
    Bytes (*ScanAt)(int n) = nullptr;
    std::vector<Bytes> Frames;
    int Sent = 0;

    void OnHostByte(virt::Port& port, std::uint8_t b, std::int64_t t) override {
        Frame.push_back(b);
        if (Frame.size() < 3) return;
        Frames.push_back(Frame);
        std::uint8_t cmd = Frame[0];
        Frame.clear();
        if (cmd == 0x89 || cmd == 0x8B || cmd == 0x8C) {
            port.Send(cmd, t + 2);
            Next = t + IntervalMs;
        } else if (cmd == 0x8A) {
            Next = INT64_MAX;
            port.Send(0x8A, t + 3);
        }
    }
    std::int64_t NextOutputTime() const override { return Next; }
    void Advance(virt::Port& port, std::int64_t now) override {
        while (Next <= now) {
            port.Send(ScanAt(Sent++), Next, 1); // about 9600 baud
            Next += IntervalMs;
        }
    }

private:
    Bytes Frame;
    std::int64_t Next = INT64_MAX;
};

TEST_F(Scanning, AStreamFromStartToStop) {
    StreamingInstrument stream;
    // Two channels of 3 bytes, then the further byte: 8 bytes a scan.
    stream.ScanAt = [](int n) {
        std::uint8_t k = static_cast<std::uint8_t>(n);
        return Bytes{0xF0, k, 0x00, 0x01, 0x00, k, 0x80, 0x5A};
    };
    virt::Port& port = virt::AddPort("COM4", &stream);
    Module.PortTable[1] = virt::OpenHandle("COM4");
    Rec.NumChans = 2;
    Rec.Bipolar = 1;
    Rec.ScanTime = 0.1;

    ASSERT_EQ(::StartScanning(&Rec), 1);
    for (int n = 0; n < 5; ++n) {
        ASSERT_EQ(::GetOneScan(&Rec, Buffer), 1) << n;
        ASSERT_EQ(Module.ScanCount, 7) << n;
        ::Gconv(&Rec, Buffer);
        EXPECT_EQ(+Rec.Counts, 0x010000 + n) << n;
        ::Gconv(&Rec, Buffer);
        EXPECT_EQ(+Rec.Counts, 0x800000 + 256 * n) << n;
        EXPECT_NEAR(Rec.ScaledValue, 2 * (0x800000 + 256 * n) * 0.0002980232 - 5000, 1e-9) << n;
        EXPECT_EQ(Buffer[0], 0x5A);
        ::RemoveFromBuffer(1, Buffer);
        EXPECT_EQ(Module.ScanCount, 0);
    }
    EXPECT_EQ(::StopScanning(&Rec), 1);
    std::vector<Bytes> frames = {{0x89, 0x05, 0x8E}, {0x8A, 0x00, 0x8A}, {0x01, 0x25, 0x26}};
    EXPECT_EQ(stream.Frames, frames);
    EXPECT_EQ(port.FromHost.size(), 9u);
    EXPECT_EQ(+Rec.ErrorCode, 77);
}

// --- The new sign-on after a time-out ---------------------------------------

class ScanTimeOut : public ::testing::Test {
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
        Rec.ScanMode = 1;
        Rec.NumChans = 4;
        Rec.CounterPreset = 1000;
        for (int i = 0; i < 6; ++i) Rec.ScanConfig[i] = static_cast<std::int16_t>(10 * i);
    }
    void TearDown() override { virt::Uninstall(); }

    FakeInstrument Instrument;
    virt::Port* Port = nullptr;
    DeviceRecord Rec{};
    std::int32_t Buffer[64] = {};
};

TEST_F(ScanTimeOut, AnIncompleteScanPausesAndSignsOnAgain) {
    ASSERT_EQ(::SignOn(&Rec), 1);
    Bytes signOn = virt::Values(Port->FromHost);
    Port->FromHost.clear();
    ASSERT_EQ(Instrument.Attempts, 1);

    // Three bytes of a scan, then the line falls silent.
    std::int64_t t0 = virt::Now();
    Port->Send({0xF0, 0x11, 0x22}, t0 + 50, 5);
    Rec.ErrorCode = 0;
    EXPECT_EQ(::GetOneScan(&Rec, Buffer), 0);
    EXPECT_EQ(+Rec.ErrorCode, 2);
    // The same sign-on, byte for byte, 3 s + 0.2 s after the call began.
    EXPECT_TRUE(WireIs(*Port, signOn));
    ASSERT_FALSE(Port->FromHost.empty());
    EXPECT_EQ(Port->FromHost.front().TimeMs, t0 + 3200);
    EXPECT_EQ(Instrument.Attempts, 2);
    EXPECT_TRUE(Port->Open);
    EXPECT_EQ(Port->Baud, 9600);
    // The bytes received stay in the buffer; the sign-on emptied the count.
    EXPECT_EQ(Head(Buffer, 3), (Elements{0xF0, 0x11, 0x22}));
    EXPECT_EQ(Module.ScanCount, 0);
    // Connected again: the instrument answers.
    EXPECT_EQ(::GetVer(&Rec), 1);
}

} // namespace
