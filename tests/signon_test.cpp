// Sign-on: port set-up, wake-up, speed agreement, download, version, the
// failure table, the scan timer bytes and the port table.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "connection/signon.h"
#include "interface/com_handle.h"
#include "interface/diagnostics.h"
#include "interface/module_state.h"
#include "link/commands.h"
#include "link/port_io.h"
#include "signon_fixture.h"

namespace {

using namespace sadc;
using namespace sadc::test;
using K = virt::EventKind;

constexpr std::int16_t Speeds = 6; // entries of BaudTable

std::vector<K> Kinds(const virt::Port& p, bool writes = false) {
    std::vector<K> k;
    for (const virt::Event& e : p.Events)
        if (writes || e.Kind != K::Write) k.push_back(e.Kind);
    return k;
}

int ConfiguresAt(const virt::Port& p, std::int32_t baud) {
    int n = 0;
    for (const virt::Event& e : p.Events)
        if (e.Kind == K::Configure && e.Value == baud) ++n;
    return n;
}

std::int64_t TimeOfWrite(const virt::Port& p, std::size_t index) { return p.FromHost.at(index).TimeMs; }

class SignOnTest : public SignOnLink {};

TEST_F(SignOnTest, FirstAttemptSuccessOnTheWire) {
    Module.ScanCount = 7;
    ASSERT_EQ(sadc::SignOn(&Record), 1) << LastFailure();
    EXPECT_TRUE(Peer.Check());
    EXPECT_TRUE(WireIs(*Port, {
                                  0x00,             // wake-up, 300 baud
                                  0x88,             // speed request
                                  0x00,             // speed index 0
                                  0x00,             // sync at 9600 baud
                                  0x00, 0x87, 0x87, // ModeHigh, ModeMid
                                  0xA1, 0x00, 0xA1, // ModeLow
                                  0x01, 0x02, 0x03, // AvgCount, FilterSel
                                  0x00, 0x00, 0x00, //
                                  0x12, 0x13, 0x25, // timer L, M: N = 4882
                                  0x00, 0x11, 0x11, // timer H, ScanConfig[0]
                                  0x22, 0x33, 0x55, //
                                  0x44, 0x55, 0x99, //
                                  0x66, 0x00, 0x66, //
                                  0x86, 0x00, 0x86, // version
                              }));
    EXPECT_EQ(SignOnWire(SignOnRecord(), 100), Values(Port->FromHost));
    // Both set-ups, each purged, with the port closed between them.
    EXPECT_EQ(Kinds(*Port), (std::vector<K>{K::Open, K::Configure, K::QueueSizes, K::Timeouts, K::Purge, K::Close,
                                            K::Open, K::Configure, K::QueueSizes, K::Timeouts, K::Purge}));
    EXPECT_EQ(Peer.Bauds, (std::vector<std::int32_t>{300, 9600}));
    EXPECT_EQ(Port->InQueue, 4096);
    EXPECT_EQ(Port->OutQueue, 4096);
    for (const virt::Event& e : Port->Events)
        if (e.Kind == K::Purge) {
            EXPECT_EQ(e.Value, 0x0C);
        }

    // What a sign-on leaves.
    EXPECT_TRUE(Port->Open);
    EXPECT_EQ(Port->Baud, 9600);
    EXPECT_EQ(Module.CurrentPort, 2);
    EXPECT_NE(Module.PortTable[2], InvalidHandle);
    EXPECT_EQ(Module.ScanCount, 0);
    EXPECT_EQ(Record.Version, 100);
    EXPECT_EQ(Record.DataRate, 10.000639915466309f);
    EXPECT_EQ(Record.ModeLow, 0xA1);
    EXPECT_EQ(Record.ModeMid, 0x87);
    EXPECT_EQ(Record.ModeHigh, 0x00);
    EXPECT_DOUBLE_EQ(Module.ReplyTimeout, 1.0 / 10.000639915466309 + 2.0);
    EXPECT_STREQ(LastFailure(), "");
}

TEST_F(SignOnTest, KeepsThePausesBetweenSteps) {
    Peer.ReplyDelayMs = 0;
    ASSERT_EQ(sadc::SignOn(&Record), 1) << LastFailure();
    // The wake-up reply at 0 ms; 5 ticks and the 0.1 s quiet check before
    // 0x88; the 0.1 s check and 2 ticks before the speed index; 5 ticks at the
    // new speed before the sync byte.
    std::int64_t request = TimeOfWrite(*Port, 1), speed = TimeOfWrite(*Port, 2), sync = TimeOfWrite(*Port, 3);
    EXPECT_EQ(request, FirstMsOfTick(5) + 100);
    EXPECT_GE(speed - request, 100 + 54);
    EXPECT_LE(speed - request, 100 + 2 * 58);
    EXPECT_GE(sync - speed, 4 * 50);
    EXPECT_LE(sync - speed, 5 * 58);
    // 4 ticks of settling between the last configuration frame and the version.
    std::int64_t lastConfig = TimeOfWrite(*Port, 30), version = TimeOfWrite(*Port, 31);
    EXPECT_GE(version - lastConfig, 3 * 50);
    EXPECT_LE(version - lastConfig, 4 * 58);
}

TEST_F(SignOnTest, EverySpeedClosesAndReopensAtItsBaud) {
    for (std::int16_t speed = 0; speed < Speeds; ++speed) {
        SCOPED_TRACE(speed);
        Reset();
        Record.SpeedIndex = speed;
        ASSERT_EQ(sadc::SignOn(&Record), 1) << LastFailure();
        EXPECT_EQ(Peer.Bauds, (std::vector<std::int32_t>{300, BaudTable[speed]}));
        EXPECT_EQ(Peer.Speed, speed);
        EXPECT_EQ(Port->Baud, BaudTable[speed]);
        EXPECT_EQ(Kinds(*Port)[5], K::Close); // even 300 baud is re-opened
        EXPECT_EQ(Values(Port->FromHost)[2], speed);
    }
}

TEST_F(SignOnTest, WakeUpIgnoresOtherBytesAndLaterAnswers) {
    struct Case {
        const char* Name;
        int WakeOnTry;
        Bytes Noise;
    } const cases[] = {
        {"noise before the reply", 1, {0x7F, 0x00, 0x55}},
        {"answers the third wake-up byte", 3, {}},
        {"answers the tenth", 10, {0x01}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Reset();
        Peer.WakeOnTry = c.WakeOnTry;
        Peer.WakeNoise = c.Noise;
        ASSERT_EQ(sadc::SignOn(&Record), 1) << LastFailure();
        EXPECT_EQ(Peer.Attempts, 1);
        Bytes wire = Values(Port->FromHost);
        Bytes head(static_cast<std::size_t>(c.WakeOnTry), 0x00);
        head.push_back(0x88);
        EXPECT_EQ(Bytes(wire.begin(), wire.begin() + c.WakeOnTry + 1), head);
    }
}

TEST_F(SignOnTest, WakeUpGivesUpAfterTenTriesOfAboutHalfASecond) {
    Peer.Fault = SignOnFault::NoWake;
    EXPECT_EQ(sadc::SignOn(&Record), 0);
    EXPECT_TRUE(WireIs(*Port, Bytes(10, 0x00)));
    for (std::size_t i = 1; i < 10; ++i) {
        std::int64_t gap = TimeOfWrite(*Port, i) - TimeOfWrite(*Port, i - 1);
        EXPECT_GE(gap, 540);
        EXPECT_LE(gap, 560);
    }
    EXPECT_EQ(virt::Now(), FirstMsOfTick(100)); // about 5.5 s, and no second attempt
    EXPECT_EQ(Peer.Attempts, 1);
    EXPECT_FALSE(Port->Open);
    EXPECT_EQ(Module.PortTable[2], InvalidHandle);
    EXPECT_STREQ(LastFailure(), "no instrument answered the wake-up on COM3");
}

// Each row of the failure table: a give-up ends at the first attempt, a
// start-over tries four times. Either way the slot ends closed and
// CurrentPort names the port; a fault that clears lets the next attempt in.
TEST_F(SignOnTest, FailureTable) {
    struct Case {
        const char* Name;
        std::function<void(SignOnPeer&, virt::Port&)> Arrange;
        bool StartsOver;
        int Attempts; // attempts seen by the instrument when the fault stays
        const char* Note;
    } const cases[] = {
        {"the port does not open", [](SignOnPeer&, virt::Port& p) { p.FailOpen = true; }, false, 0,
         "could not open COM3"},
        {"the line settings fail", [](SignOnPeer&, virt::Port& p) { p.FailConfigure = true; }, false, 0,
         "could not set COM3 to 300 baud, no parity, 8 data bits, 1 stop bit"},
        {"the queue sizes fail", [](SignOnPeer&, virt::Port& p) { p.FailQueueSizes = true; }, false, 1,
         "the driver of COM3 refused queue sizes of 4096 and 4096 bytes"},
        {"the time-outs fail", [](SignOnPeer&, virt::Port& p) { p.FailTimeouts = true; }, false, 1,
         "could not set the read time-outs of COM3"},
        {"the port does not open again", [](SignOnPeer& i, virt::Port&) { i.Fault = SignOnFault::ReopenFails; },
         false, 1, "could not open COM3"},
        {"the new speed fails", [](SignOnPeer& i, virt::Port&) { i.Fault = SignOnFault::ReconfigureFails; }, false,
         1, "could not set COM3 to 9600 baud, no parity, 8 data bits, 1 stop bit"},
        {"no wake-up reply", [](SignOnPeer& i, virt::Port&) { i.Fault = SignOnFault::NoWake; }, false, 1,
         "no instrument answered the wake-up on COM3"},
        {"no speed echo", [](SignOnPeer& i, virt::Port&) { i.Fault = SignOnFault::NoSpeedEcho; }, false, 1,
         "no speed echo from the instrument on COM3"},
        {"a byte after the wake-up pause", [](SignOnPeer& i, virt::Port&) { i.Fault = SignOnFault::NoisyAfterWake; },
         true, 4, "the line on COM3 did not fall quiet after the wake-up"},
        {"a byte after 0x88", [](SignOnPeer& i, virt::Port&) { i.Fault = SignOnFault::AnswersSpeedRequest; }, true,
         4, "the instrument on COM3 answered the speed request byte"},
        {"a wrong speed echo", [](SignOnPeer& i, virt::Port&) { i.Fault = SignOnFault::WrongSpeedEcho; }, true, 4,
         "the speed echo on COM3 was 01, not 00"},
        {"a short mode echo", [](SignOnPeer& i, virt::Port&) { i.Fault = SignOnFault::ShortModeEcho; }, true, 4,
         "no mode echo from the instrument on COM3"},
        {"a mode echo that differs", [](SignOnPeer& i, virt::Port&) { i.Fault = SignOnFault::WrongModeEcho; }, true,
         4, "the mode echo differed on COM3 (sent 00 87 A1, received 00 86 A1)"},
        {"no version reply", [](SignOnPeer& i, virt::Port&) { i.Fault = SignOnFault::SilentVersion; }, true, 4,
         "no version reply from the instrument on COM3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        // The fault stays.
        Reset();
        c.Arrange(Peer, *Port);
        EXPECT_EQ(sadc::SignOn(&Record), 0);
        EXPECT_EQ(Peer.Attempts, c.Attempts);
        EXPECT_EQ(ConfiguresAt(*Port, 300), c.Attempts + (c.Attempts == 0 && Port->FailConfigure ? 1 : 0));
        EXPECT_FALSE(Port->Open);
        EXPECT_EQ(Module.PortTable[2], InvalidHandle);
        EXPECT_EQ(Module.CurrentPort, 2);
        EXPECT_EQ(Peer.SignOns, 0);
        // The note names the last failure.
        EXPECT_STREQ(LastFailure(), c.Note);
        // Every attempt that began ended with the port closed.
        int opens = 0, closes = 0;
        for (const virt::Event& e : Port->Events) {
            opens += e.Kind == K::Open;
            closes += e.Kind == K::Close;
        }
        EXPECT_EQ(opens, closes);

        if (!c.StartsOver) continue;
        // The fault clears after the first attempt: the second one signs on.
        Reset();
        c.Arrange(Peer, *Port);
        Peer.FaultAttempts = 1;
        EXPECT_EQ(sadc::SignOn(&Record), 1) << LastFailure();
        EXPECT_EQ(Peer.Attempts, 2);
        EXPECT_EQ(Peer.SignOns, 1);
        EXPECT_STREQ(LastFailure(), ""); // a success leaves no note of the failed attempt
        EXPECT_TRUE(Port->Open);
        EXPECT_EQ(Port->Baud, 9600);
        EXPECT_TRUE(Peer.Check());
    }
}

TEST_F(SignOnTest, StartOverAfterFourthAttemptStopsThere) {
    Peer.Fault = SignOnFault::WrongModeEcho;
    Peer.FaultAttempts = 4;
    EXPECT_EQ(sadc::SignOn(&Record), 0);
    EXPECT_EQ(Peer.Attempts, 4);
    // Three failures leave the fourth attempt, which succeeds.
    Reset();
    Peer.Fault = SignOnFault::WrongModeEcho;
    Peer.FaultAttempts = 3;
    EXPECT_EQ(sadc::SignOn(&Record), 1);
    EXPECT_EQ(Peer.Attempts, 4);
}

TEST_F(SignOnTest, ModeEchoIgnoresBitsFiveToSevenOfItsFirstByte) {
    Peer.HighBitsInEcho = true;
    EXPECT_EQ(sadc::SignOn(&Record), 1) << LastFailure();
    EXPECT_EQ(Peer.Attempts, 1);
}

TEST_F(SignOnTest, CountersArePresetAboveVersion100) {
    struct Case {
        std::uint8_t Version;
        bool Preset;
    } const cases[] = {{0, false}, {100, false}, {101, true}, {255, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.Version));
        Reset();
        Record.CounterPreset = 1000;
        Record.Channel = 0;
        Record.Code = 0;
        Peer.Version = c.Version;
        ASSERT_EQ(sadc::SignOn(&Record), 1) << LastFailure();
        EXPECT_EQ(Record.Version, c.Version);
        Bytes wire = Values(Port->FromHost);
        ASSERT_EQ(wire.size(), c.Preset ? 34u + 45u : 34u);
        if (c.Preset) {
            EXPECT_EQ(Bytes(wire.begin() + 34, wire.begin() + 49),
                      (Bytes{0x01, 0x87, 0x88, 0x07, 0x34, 0x3B, 0x01, 0x84, 0x85, 0x07, 0xE8, 0xEF, 0x07, 0x03, 0x0A}));
        }
        EXPECT_EQ(wire, SignOnWire(Record, c.Version));
    }
}

TEST_F(SignOnTest, ChecksumCoversTheRepliesFromTheSpeedRequestOn) {
    // Wake-up noise comes before the reset; the speed echo, mode echo,
    // settling bytes and version reply count.
    Peer.WakeNoise = {0x40, 0x41};
    Peer.SettleNoise = {0x12, 0x34};
    ScriptedInstrument after;
    // 00 + 00 87 A1 + 12 34 + 86 64 = 0x58; the instrument's own sum then
    // includes its echo 0x87: 0xDF.
    after.Expect({0x87, 0x01, 0x88}).Reply({0x87, 0xDF});
    Peer.After = &after;
    ASSERT_EQ(sadc::SignOn(&Record), 1) << LastFailure();
    EXPECT_EQ(Module.RxChecksum, 0x58);
    EXPECT_EQ(sadc::GetCheckSum(), 1);
    EXPECT_TRUE(after.Check());
}

TEST_F(SignOnTest, SettlingBytesAreDrainedBeforeTheVersionRequest) {
    Peer.SettleNoise = {0x86, 0x99, 0x86}; // would pass for a version reply if left
    Peer.Version = 42;
    ASSERT_EQ(sadc::SignOn(&Record), 1) << LastFailure();
    EXPECT_EQ(Record.Version, 42);
}

TEST_F(SignOnTest, OutOfRangeRecordsAreRefusedBeforeAnythingOpens) {
    struct Case {
        std::int16_t ComPort, SpeedIndex;
    } const cases[] = {{-1, 0}, {16, 0}, {32767, 0}, {2, -1}, {2, 6}, {2, 32767}};
    virt::AddPort("COM1");
    virt::AddPort("COM16");
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.ComPort << ", " << c.SpeedIndex);
        Record.ComPort = c.ComPort;
        Record.SpeedIndex = c.SpeedIndex;
        EXPECT_EQ(sadc::SignOn(&Record), 0);
        EXPECT_EQ(Module.CurrentPort, 1);
        EXPECT_TRUE(Port->Events.empty());
        EXPECT_TRUE(virt::FindPort("COM1")->Events.empty());
        EXPECT_TRUE(virt::FindPort("COM16")->Events.empty());
        EXPECT_NE(std::string(LastFailure()).find("out of range"), std::string::npos);
    }
    EXPECT_EQ(virt::Now(), 0);
}

TEST_F(SignOnTest, PortNumbersNameCom1ToCom16) {
    for (std::int16_t port : {std::int16_t{0}, std::int16_t{15}}) {
        SCOPED_TRACE(port);
        SignOnPeer peer;
        std::string name = "COM" + std::to_string(port + 1);
        virt::Port& p = virt::AddPort(name, &peer);
        Record.ComPort = port;
        ASSERT_EQ(sadc::SignOn(&Record), 1) << LastFailure();
        EXPECT_TRUE(p.Open);
        EXPECT_EQ(Module.CurrentPort, port);
        EXPECT_EQ(virt::PortOf(Module.PortTable[port]), &p);
        Port->Instrument = nullptr; // leave the peer before it goes
        p.Instrument = nullptr;
    }
}

class PortTable : public SignOnLink {};

TEST_F(PortTable, SignOnOnTwoPortsLeavesTheFirstOpenAndCloseDeviceClosesOnlyTheCurrent) {
    SignOnPeer second;
    virt::Port& com6 = virt::AddPort("COM6", &second);
    ASSERT_EQ(sadc::SignOn(&Record), 1) << LastFailure();
    DeviceRecord other = SignOnRecord();
    other.ComPort = 5;
    ASSERT_EQ(sadc::SignOn(&other), 1) << LastFailure();
    EXPECT_TRUE(Port->Open);
    EXPECT_TRUE(com6.Open);
    EXPECT_EQ(Module.CurrentPort, 5);
    PortHandle h = InvalidHandle;
    EXPECT_EQ(sadc::GetComHandle(&h), Module.PortTable[5]);
    EXPECT_EQ(virt::PortOf(h), &com6);

    std::size_t com3Bytes = Port->FromHost.size(), com6Bytes = com6.FromHost.size();
    EXPECT_EQ(sadc::CloseDevice(), 1);
    EXPECT_FALSE(com6.Open);
    EXPECT_TRUE(Port->Open);
    EXPECT_EQ(Port->FromHost.size(), com3Bytes);
    Bytes tail(com6.FromHost.size() - com6Bytes);
    for (std::size_t i = 0; i < tail.size(); ++i) tail[i] = com6.FromHost[com6Bytes + i].Value;
    EXPECT_EQ(tail, (Bytes{0x8A, 0x00, 0x8A, 0x00}));
    EXPECT_EQ(sadc::GetComHandle(&h), InvalidHandle);
    EXPECT_EQ(Module.CurrentPort, 5);
    EXPECT_NE(Module.PortTable[2], InvalidHandle);
}

TEST_F(PortTable, SecondSignOnOnTheSamePortClosesWithoutAStopAndStartsAt300) {
    Record.SpeedIndex = 1;
    ASSERT_EQ(sadc::SignOn(&Record), 1) << LastFailure();
    std::size_t bytes = Port->FromHost.size(), events = Port->Events.size();
    ASSERT_EQ(sadc::SignOn(&Record), 1) << LastFailure();
    EXPECT_EQ(Peer.SignOns, 2);
    // Straight from the signed-on port to a fresh one at 300 baud: nothing is
    // written between the two, the stop command least of all.
    EXPECT_EQ(Port->Events[events].Kind, K::Close);
    EXPECT_EQ(Port->Events[events + 1].Kind, K::Open);
    EXPECT_EQ(Port->Events[events + 2].Kind, K::Configure);
    EXPECT_EQ(Port->Events[events + 2].Value, 300);
    Bytes again;
    for (std::size_t i = bytes; i < Port->FromHost.size(); ++i) again.push_back(Port->FromHost[i].Value);
    EXPECT_EQ(again, SignOnWire(Record, 100));
    EXPECT_EQ(Peer.Bauds, (std::vector<std::int32_t>{300, 4800, 300, 4800}));
}

TEST_F(PortTable, SignOnClosesAHandleTheApplicationAttached) {
    virt::Port& attached = virt::AddPort("COM9");
    Module.PortTable[2] = virt::OpenHandle("COM9");
    ASSERT_EQ(sadc::SignOn(&Record), 1) << LastFailure();
    EXPECT_FALSE(attached.Open);
    EXPECT_TRUE(attached.FromHost.empty());
    EXPECT_EQ(virt::PortOf(Module.PortTable[2]), Port);
}

TEST_F(PortTable, AFailedSignOnClosesItsSlotAndKeepsItCurrent) {
    ASSERT_EQ(sadc::SignOn(&Record), 1);
    Peer.Fault = SignOnFault::NoSpeedEcho;
    EXPECT_EQ(sadc::SignOn(&Record), 0);
    EXPECT_EQ(Module.PortTable[2], InvalidHandle);
    EXPECT_EQ(Module.CurrentPort, 2);
    EXPECT_FALSE(Port->Open);
    std::size_t bytes = Port->FromHost.size();
    EXPECT_EQ(sadc::CloseDevice(), 1); // nothing left to close
    EXPECT_EQ(Port->FromHost.size(), bytes);
}

TEST(ScanTimerBytes, FollowTheScanClock) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* Name;
        double ScanTime;
        std::int16_t SpeedIndex;
        std::int32_t Preset;
        std::uint8_t L, M, H;
    } const cases[] = {
        {"1 s at 9600", 1.0, 0, 0, 0x12, 0x13, 0x00},     // N = 4882
        {"1 s, slow clock", 1.0, 1, -1, 0xA0, 0x07, 0x00}, // f = 1953.125 Hz, N = 1952
        {"10 s at 300", 10.0, 5, 0, 0xF4, 0x05, 0x00},     // N = 1524
        {"10 ms", 0.01, 0, 0, 48, 0x00, 0x00},
        {"0 s", 0.0, 0, 0, 0x00, 0x00, 0x00},              // c = -0.755859375
        {"3500 s: H is sent as its low byte", 3500.0, 0, 0, 0x32, 0xC5, 0x04},
        // Negative counts split toward zero, each part as its low byte.
        {"-1 s", -1.0, 0, 0, 0xED, 0xED, 0x00},
        // Beyond the 32-bit range the count saturates.
        {"huge", 1e12, 0, 0, 0x80, 0xFF, 0xFF},
        {"infinite", inf, 0, 0, 0x80, 0xFF, 0xFF},
        // -(2^31 - 128): H -32767, M -255, L -128.
        {"hugely negative", -1e12, 0, 0, 0x80, 0x01, 0x01},
        {"minus infinity", -inf, 0, 0, 0x80, 0x01, 0x01},
        {"not a number", nan, 0, 0, 0x00, 0x00, 0x00},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        DeviceRecord r{};
        r.ScanTime = c.ScanTime;
        r.SpeedIndex = c.SpeedIndex;
        r.CounterPreset = c.Preset;
        std::uint8_t out[3] = {0xAA, 0xAA, 0xAA};
        ScanTimerBytes(&r, out);
        EXPECT_EQ(out[0], c.L);
        EXPECT_EQ(out[1], c.M);
        EXPECT_EQ(out[2], c.H);
    }
}

} // namespace
