// The command frame and the exports that are one frame and at most one reply.
#include <gtest/gtest.h>

#include <functional>

#include "interface/module_state.h"
#include "link/commands.h"
#include "link/port_io.h"
#include "scripted_instrument.h"

namespace {

using namespace sadc;
using namespace sadc::test;

class Commands : public VirtualLink {
protected:
    void SetUp() override {
        VirtualLink::SetUp();
        Attach();
        Module.ReplyTimeout = 1.0;
    }
    DeviceRecord Record{};
};

TEST_F(Commands, EachExportSendsItsFrame) {
    struct Case {
        const char* Name;
        std::function<void(DeviceRecord&)> Call;
        Bytes Wire;
    } const cases[] = {
        {"SetDigOut(0xFF)", [](DeviceRecord&) { sadc::SetDigOut(0xFF); }, {0x02, 0xFF, 0x01}},
        {"SetDigOut sends the low byte", [](DeviceRecord&) { sadc::SetDigOut(0x1234); }, {0x02, 0x34, 0x36}},
        {"SetChanCode 2, 5",
         [](DeviceRecord& r) { r.Channel = 2; r.Code = 5; sadc::SetChanCode(&r); },
         {0x01, 0x25, 0x26}},
        {"SetChanCode carries a Code above 15",
         [](DeviceRecord& r) { r.Channel = 1; r.Code = 17; sadc::SetChanCode(&r); },
         {0x01, 0x21, 0x22}},
        {"SetChanCode channel 15 wraps",
         [](DeviceRecord& r) { r.Channel = 15; r.Code = 15; sadc::SetChanCode(&r); },
         {0x01, 0xFF, 0x00}},
        {"SetFilter sends the low byte", [](DeviceRecord&) { sadc::SetFilter(0x0105); }, {0x03, 0x05, 0x08}},
        {"GetVer", [](DeviceRecord& r) { sadc::GetVer(&r); }, {0x86, 0x00, 0x86}},
        {"GetDigIn", [](DeviceRecord& r) { sadc::GetDigIn(&r); }, {0x80, 0x4C, 0xCC}},
        {"GetCheckSum", [](DeviceRecord&) { sadc::GetCheckSum(); }, {0x87, 0x01, 0x88}},
        {"GotoSleep", [](DeviceRecord&) { sadc::GotoSleep(); }, {0x88, 0x00, 0x88}},
        {"CloseDevice", [](DeviceRecord&) { sadc::CloseDevice(); }, {0x8A, 0x00, 0x8A, 0x00}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Port->FromHost.clear();
        if (Module.PortTable[1] == InvalidHandle) Attach();
        DeviceRecord r{};
        c.Call(r);
        EXPECT_TRUE(WireIs(*Port, c.Wire));
    }
}

TEST_F(Commands, FrameCheckByteIsTheSumOfTheLowBytes) {
    SendFrame(0x1FF, 0x302);
    SendFrame(-1, -1);
    EXPECT_TRUE(WireIs(*Port, {0xFF, 0x02, 0x01, 0xFF, 0xFF, 0xFE}));
}

// SetDigOut and SetChanCode report their check byte, as SetFilter does: a
// port that takes nothing is a failure, not a success.
TEST_F(Commands, SettersReportWhetherTheirFrameWentOut) {
    struct Case {
        const char* Name;
        std::function<SadcStatus()> Call;
    };
    DeviceRecord r{};
    const Case cases[] = {
        {"SetDigOut", [] { return sadc::SetDigOut(1); }},
        {"SetChanCode", [&r] { return sadc::SetChanCode(&r); }},
        {"SetFilter", [] { return sadc::SetFilter(1); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Port->WriteStuck = false;
        EXPECT_EQ(c.Call(), 1);

        Port->WriteStuck = true;
        std::int64_t start = virt::Now();
        EXPECT_EQ(c.Call(), 0);
        // Each of the three bytes spends its whole 3000 ms of retries.
        EXPECT_GE(virt::Now() - start, 9000);
        EXPECT_LT(virt::Now() - start, 9100);
    }
    Module.PortTable[1] = InvalidHandle;
    EXPECT_EQ(sadc::SetDigOut(1), 0);
}

TEST_F(Commands, GetVerStoresTheVersionOnlyOnAWholeEchoedReply) {
    Instrument.Expect({0x86, 0x00, 0x86}).Reply({0x86, 0x65}, 5, 2);
    Instrument.Expect({0x86, 0x00, 0x86}).Reply({0x85, 0x66});
    Instrument.Expect({0x86, 0x00, 0x86}); // silent
    Instrument.Expect({0x86, 0x00, 0x86}).Reply({0x86}); // echo alone
    Instrument.Expect({0x86, 0x00, 0x86}).Reply({0x86, 0x67}, 1001); // too late

    EXPECT_EQ(sadc::GetVer(&Record), 1);
    EXPECT_EQ(Record.Version, 101);
    EXPECT_EQ(sadc::GetVer(&Record), 0); // wrong echo
    EXPECT_EQ(Record.Version, 101);
    // The buffer still holds 86 65 from the first reply; silence must not
    // read it again as a success.
    Module.ReplyBuffer[1] = 0x86;
    Module.ReplyBuffer[2] = 0x65;
    std::int64_t start = virt::Now();
    EXPECT_EQ(sadc::GetVer(&Record), 0);
    EXPECT_EQ(virt::Now() - start, 1000);
    Record.Version = 7;
    EXPECT_EQ(sadc::GetVer(&Record), 0);
    EXPECT_EQ(Record.Version, 7);
    EXPECT_EQ(sadc::GetVer(&Record), 0);
    EXPECT_EQ(Record.Version, 7);
    EXPECT_TRUE(Instrument.Check());
}

TEST_F(Commands, GetVerBeforeAnyReplyTimeoutSendsAndFailsAtOnce) {
    Module.ReplyTimeout = 0.0;
    Module.ReplyBuffer[1] = 0x86; // even a stale echo does not count
    Instrument.Expect({0x86, 0x00, 0x86}).Reply({0x86, 0x65});
    EXPECT_EQ(sadc::GetVer(&Record), 0);
    EXPECT_EQ(virt::Now(), 0);
    EXPECT_EQ(Record.Version, 0);
    EXPECT_TRUE(Instrument.Check());
}

TEST_F(Commands, GetDigInStoresTheInputByte) {
    Instrument.Expect({0x80, 0x4C, 0xCC}).Reply({0x80, 0xA5});
    Instrument.Expect({0x80, 0x4C, 0xCC}).Reply({0x86, 0x11});
    Instrument.Expect({0x80, 0x4C, 0xCC});
    EXPECT_EQ(sadc::GetDigIn(&Record), 1);
    EXPECT_EQ(Record.DigIn, 0xA5);
    EXPECT_EQ(sadc::GetDigIn(&Record), 0);
    EXPECT_EQ(sadc::GetDigIn(&Record), 0);
    EXPECT_EQ(Record.DigIn, 0xA5);
    EXPECT_TRUE(Instrument.Check());
}

TEST_F(Commands, GetCheckSumComparesTwiceTheByteWithTheRunningSum) {
    struct Case {
        const char* Name;
        std::int16_t Before;
        Bytes Reply;
        SadcStatus Result;
    } const cases[] = {
        // 0x10 + 0x87 + 0x97 = 0x2E = 2 * 0x97 mod 256
        {"matching sum", 0x10, {0x87, 0x97}, 1},
        {"sum one off", 0x11, {0x87, 0x97}, 0},
        // Straight after a check only the byte 0x87 passes.
        {"nothing since the last check", 0, {0x87, 0x87}, 1},
        {"nothing since, other byte", 0, {0x87, 0x86}, 0},
        {"wrong echo", 0x10, {0x86, 0x97}, 0},
        {"echo alone", 0x10, {0x87}, 0},
        {"silence", 0x10, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ScriptedInstrument peer;
        peer.Expect({0x87, 0x01, 0x88});
        if (!c.Reply.empty()) peer.Reply(c.Reply);
        Port->Instrument = &peer;
        // A stale, matching reply in the buffer must not decide a silent check.
        Module.ReplyBuffer[1] = 0x87;
        Module.ReplyBuffer[2] = 0x97;
        Module.RxChecksum = c.Before;
        EXPECT_EQ(sadc::GetCheckSum(), c.Result);
        EXPECT_EQ(Module.RxChecksum, 0);
        EXPECT_TRUE(peer.Check());
    }
    Port->Instrument = &Instrument;
}

TEST_F(Commands, GotoSleepJudgesTheLastByteOfTheDrain) {
    struct Case {
        const char* Name;
        Bytes Reply;
        std::int64_t DelayMs;
        SadcStatus Result;
    } const cases[] = {
        {"0x80 alone", {0x80}, 10, 1},
        {"0x80 last", {0x11, 0x22, 0x80}, 10, 1},
        {"0x80 not last", {0x80, 0x11}, 10, 0},
        {"the command code", {0x88}, 10, 0},
        {"silence, though the buffer holds 0x80", {}, 0, 0},
        {"0x80 after the half second", {0x80}, 501, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ScriptedInstrument peer;
        peer.Expect({0x88, 0x00, 0x88});
        if (!c.Reply.empty()) peer.Reply(c.Reply, c.DelayMs);
        Port->Instrument = &peer;
        Module.ReplyBuffer[0] = 0x80;
        std::int64_t start = virt::Now();
        std::int64_t reads = virt::Count().Reads;
        EXPECT_EQ(sadc::GotoSleep(), c.Result);
        EXPECT_EQ(virt::Now() - start, 500);
        // The half second is a plain delay; the drain reads until one read
        // finds nothing.
        std::int64_t arrived = c.DelayMs <= 500 ? static_cast<std::int64_t>(c.Reply.size()) : 0;
        EXPECT_EQ(virt::Count().Reads - reads, arrived + 1);
        EXPECT_TRUE(peer.Check());
        Port->ToHost.clear();
    }
    Port->Instrument = &Instrument;
}

TEST_F(Commands, DrainInputIsBounded) {
    // An instrument that never stops sending: the drain ends all the same.
    Port->Send(Bytes(static_cast<std::size_t>(MaxDrainBytes) + 10, 0x55), 0);
    std::uint8_t last = 0;
    EXPECT_EQ(DrainInput(&last), MaxDrainBytes);
    EXPECT_EQ(last, 0x55);
}

TEST_F(Commands, CloseDeviceLetsTheStopFrameLeaveBeforeItCloses) {
    Module.CurrentPort = 1;
    Port->Events.clear();
    Port->Send({0x42, 0x43}, 0); // input waiting is discarded
    EXPECT_EQ(sadc::CloseDevice(), 1);
    EXPECT_TRUE(WireIs(*Port, {0x8A, 0x00, 0x8A, 0x00}));
    std::vector<virt::EventKind> kinds;
    for (const virt::Event& e : Port->Events) {
        kinds.push_back(e.Kind);
        // Only the input is purged: the output queue keeps the stop frame.
        if (e.Kind == virt::EventKind::Purge) {
            EXPECT_EQ(e.Value, static_cast<std::int32_t>(PurgeRxClear));
        }
        if (e.Kind == virt::EventKind::Drain) {
            EXPECT_EQ(e.Value, 2000);
        }
    }
    using K = virt::EventKind;
    EXPECT_EQ(kinds, (std::vector<K>{K::Write, K::Write, K::Write, K::Write, K::Drain, K::Purge, K::Close}));
    EXPECT_TRUE(Port->ToHost.empty());
    EXPECT_FALSE(Port->Open);
    EXPECT_EQ(Module.PortTable[1], InvalidHandle);
    EXPECT_EQ(Module.CurrentPort, 1);
}

TEST_F(Commands, CloseDeviceOnAStuckOutputWaitsBoundedThenCloses) {
    Port->ReportedOutQueue = 4;
    std::int64_t start = virt::Now();
    EXPECT_EQ(sadc::CloseDevice(), 1);
    EXPECT_LE(virt::Now() - start, 2000);
    EXPECT_FALSE(Port->Open);
    EXPECT_EQ(Module.PortTable[1], InvalidHandle);
}

TEST_F(Commands, CloseDeviceWithoutAnOpenPortSendsNothing) {
    EXPECT_EQ(sadc::CloseDevice(), 1);
    Port->FromHost.clear();
    Port->Events.clear();
    EXPECT_EQ(sadc::CloseDevice(), 1);
    EXPECT_EQ(sadc::CloseDevice(), 1);
    EXPECT_TRUE(Port->FromHost.empty());
    EXPECT_TRUE(Port->Events.empty());
    EXPECT_EQ(virt::Now(), 0);
}

} // namespace
