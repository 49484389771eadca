// Command frames and the single-frame exports, byte for byte.
#include <gtest/gtest.h>

#include "interface/module_state.h"
#include "link/commands.h"
#include "link/port_io.h"
#include "scripted_instrument.h"
#include "sadclink.h"

namespace {

using namespace sadc;
using namespace sadc::test;

class CommandFrames : public VirtualLink {
protected:
    void SetUp() override {
        VirtualLink::SetUp();
        Attach();
        Module.ReplyTimeout = 1.0;
        Instrument.AllowExtra();
    }
    DeviceRecord Rec{};
};

TEST_F(CommandFrames, FramesWithoutReplyCarryTheirCheckByte) {
    struct {
        const char* Name;
        SadcStatus (*Send)(DeviceRecord*);
        Bytes Wire;
    } const cases[] = {
        {"SetDigOut(0xFF)", [](DeviceRecord*) { return ::SetDigOut(0xFF); }, {0x02, 0xFF, 0x01}},
        {"SetDigOut(0x1234)", [](DeviceRecord*) { return ::SetDigOut(0x1234); }, {0x02, 0x34, 0x36}},
        {"SetFilter(0x1FF)", [](DeviceRecord*) { return ::SetFilter(0x1FF); }, {0x03, 0xFF, 0x02}},
        {"SetChanCode 2/5", [](DeviceRecord* r) { r->Channel = 2; r->Code = 5; return ::SetChanCode(r); }, {0x01, 0x25, 0x26}},
        {"SetChanCode carries Code", [](DeviceRecord* r) { r->Channel = 1; r->Code = 17; return ::SetChanCode(r); }, {0x01, 0x21, 0x22}},
    };
    for (const auto& c : cases) {
        Port->FromHost.clear();
        EXPECT_EQ(c.Send(&Rec), 1) << c.Name;
        EXPECT_TRUE(WireIs(*Port, c.Wire)) << c.Name;
    }
    EXPECT_EQ(virt::Now(), 0);
}

TEST_F(CommandFrames, FrameWritesFailAfterTheirRetriesOnAClosedSlot) {
    Module.PortTable[Module.CurrentPort] = InvalidHandle;
    EXPECT_EQ(::SetFilter(5), 0);
    EXPECT_EQ(virt::Now(), 9000); // three bytes, 3000 ms each
    EXPECT_EQ(::SetDigOut(1), 0);
    EXPECT_EQ(::SetChanCode(&Rec), 0);
}

TEST_F(CommandFrames, SendFrameCheckByteNeverOverflows) {
    EXPECT_EQ(SendFrame(0x7FFFFFFF, 0x7FFFFFFF), 1);
    EXPECT_TRUE(WireIs(*Port, {0xFF, 0xFF, 0xFE}));
}

TEST_F(CommandFrames, GetVerAndGetDigInStoreTheirByteOnTheEcho) {
    Instrument.Expect({0x86, 0x00, 0x86}).Reply({0x86, 0x65}, 5)
        .Expect({0x80, 0x4C, 0xCC}).Reply({0x80, 0xF0}, 5);
    EXPECT_EQ(::GetVer(&Rec), 1);
    EXPECT_EQ(Rec.Version, 101);
    EXPECT_EQ(::GetDigIn(&Rec), 1);
    EXPECT_EQ(Rec.DigIn, 0xF0); // zero-extended
    EXPECT_TRUE(Instrument.Check());
}

TEST_F(CommandFrames, GetVerFailuresLeaveTheRecord) {
    struct {
        const char* Name;
        Bytes Reply;
    } const cases[] = {
        {"wrong echo", {0x85, 0x65}},
        {"echo only", {0x86}},
        {"silent", {}},
    };
    for (const auto& c : cases) {
        // A successful read first, so stale bytes sit in the reply buffer.
        Module.ReplyBuffer[1] = 0x86;
        Module.ReplyBuffer[2] = 0x64;
        Rec.Version = 7;
        Port->ToHost.clear();
        Port->Send(c.Reply, virt::Now() + 2);
        std::int64_t t0 = virt::Now();
        EXPECT_EQ(::GetVer(&Rec), 0) << c.Name;
        EXPECT_EQ(Rec.Version, 7) << c.Name;
        if (c.Reply.size() < 2) {
            EXPECT_EQ(virt::Now() - t0, 1000) << c.Name;
        }
    }
}

TEST_F(CommandFrames, RepliesAreNotAwaitedBeforeTheLimitIsSet) {
    Module.ReplyTimeout = 0.0; // as at load
    Port->Send({0x86, 0x65}, 0);
    EXPECT_EQ(::GetVer(&Rec), 0);
    EXPECT_TRUE(WireIs(*Port, {0x86, 0x00, 0x86}));
    EXPECT_EQ(virt::Now(), 0);
}

TEST_F(CommandFrames, GetCheckSumComparesTwiceItsByteWithTheRunningSum) {
    Module.RxChecksum = 0x10;
    Instrument.Expect({0x87, 0x01, 0x88}).Reply({0x87, 0x97});
    EXPECT_EQ(::GetCheckSum(), 1);
    EXPECT_EQ(Module.RxChecksum, 0);
    EXPECT_TRUE(Instrument.Check());
}

TEST_F(CommandFrames, GetCheckSumResetsTheSumOnEveryPath) {
    struct {
        const char* Name;
        std::int16_t Sum;
        Bytes Reply;
        SadcStatus Status;
    } const cases[] = {
        {"nothing received since the last check", 0, {0x87, 0x87}, 1},
        {"checksum off by one", 0x10, {0x87, 0x98}, 0},
        {"wrong echo", 0x10, {0x86, 0x97}, 0},
        {"checksum byte missing", 0x10, {0x87}, 0},
        {"silent", 0x10, {}, 0},
    };
    for (const auto& c : cases) {
        Module.RxChecksum = c.Sum;
        Port->Send(c.Reply, virt::Now() + 1);
        EXPECT_EQ(::GetCheckSum(), c.Status) << c.Name;
        EXPECT_EQ(Module.RxChecksum, 0) << c.Name;
    }
}

TEST_F(CommandFrames, GotoSleepJudgesTheLastByteDrainedAfterHalfASecond) {
    struct {
        const char* Name;
        Bytes Reply;
        SadcStatus Status;
    } const cases[] = {
        {"0x80 last", {0x12, 0x80}, 1},
        {"0x80 not last", {0x80, 0x12}, 0},
        {"the command echoed", {0x88}, 0},
        {"silent after an earlier 0x80", {}, 0},
    };
    for (const auto& c : cases) {
        Module.ReplyBuffer[0] = 0x80;
        Port->FromHost.clear();
        Port->Send(c.Reply, virt::Now() + 100, 10);
        std::int64_t t0 = virt::Now();
        EXPECT_EQ(::GotoSleep(), c.Status) << c.Name;
        EXPECT_EQ(virt::Now() - t0, 500) << c.Name;
        EXPECT_TRUE(WireIs(*Port, {0x88, 0x00, 0x88})) << c.Name;
    }
}

TEST_F(CommandFrames, CloseDeviceLetsTheStopFrameLeaveThenClosesOnlyTheCurrentSlot) {
    EXPECT_EQ(::CloseDevice(), 1);
    EXPECT_TRUE(WireIs(*Port, {0x8A, 0x00, 0x8A, 0x00}));
    // The output drains before anything is purged, and only the input is.
    std::vector<virt::EventKind> kinds;
    std::int32_t purged = -1;
    for (const virt::Event& e : Port->Events) {
        if (e.Kind == virt::EventKind::Write) continue;
        kinds.push_back(e.Kind);
        if (e.Kind == virt::EventKind::Purge) purged = e.Value;
    }
    std::vector<virt::EventKind> expected = {virt::EventKind::Open, virt::EventKind::Drain,
                                             virt::EventKind::Purge, virt::EventKind::Close};
    EXPECT_EQ(kinds, expected);
    EXPECT_EQ(purged, static_cast<std::int32_t>(PurgeRxClear));
    EXPECT_EQ(Module.PortTable[1], InvalidHandle);
    EXPECT_EQ(Module.CurrentPort, 1);
    // Again with no open port: nothing is sent.
    EXPECT_EQ(::CloseDevice(), 1);
    EXPECT_EQ(Port->FromHost.size(), 4u);
}

TEST_F(CommandFrames, CloseDeviceIsBoundedOnAStuckAdapter) {
    Port->ReportedOutQueue = 3; // nothing ever leaves
    std::int64_t t0 = virt::Now();
    EXPECT_EQ(::CloseDevice(), 1);
    EXPECT_LE(virt::Now() - t0, 2000);
    EXPECT_FALSE(Port->Open);
}

} // namespace
