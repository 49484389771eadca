// Clocks, waits, byte transfer and reply reads on the virtual clock.
#include <gtest/gtest.h>

#include "interface/module_state.h"
#include "link/port_io.h"
#include "scripted_instrument.h"

namespace {

using namespace sadc;
using namespace sadc::test;

TEST(BiosTicks, FollowsTheUnevenTickTable) {
    struct {
        std::int64_t Ms, Ticks;
    } const table[] = {{0, 0},     {57, 0},    {58, 1},     {114, 1},   {115, 2},
                       {172, 3},   {221, 3},   {222, 4},    {1000, 18}, {10000, 182},
                       // past 42.6 hours the 32-bit product would overflow
                       {153400000, 2791880}, {3000000000LL, 54600000}};
    for (const auto& row : table) {
        EXPECT_EQ(TicksAt(row.Ms), row.Ticks) << row.Ms << " ms";
        EXPECT_LE(FirstMsOfTick(row.Ticks), row.Ms) << row.Ms << " ms";
        EXPECT_EQ(TicksAt(FirstMsOfTick(row.Ticks)), row.Ticks) << row.Ms << " ms";
        if (FirstMsOfTick(row.Ticks) > 0) {
            EXPECT_LT(TicksAt(FirstMsOfTick(row.Ticks) - 1), row.Ticks) << row.Ms << " ms";
        }
    }
}

TEST(BiosTicks, ReadsTheClockSinceLoad) {
    virt::Install(5000);
    virt::AdvanceTo(1000);
    EXPECT_EQ(ClockMs(), 1000);
    EXPECT_EQ(BiosTicks(), 18);
    virt::Uninstall();
}

class Waits : public VirtualLink {};

TEST_F(Waits, WaitTicksEndsOnTheTargetTickAndPeeks) {
    // Starting on a tick boundary, 10 ticks end at the first ms of tick 10.
    WaitTicks(10);
    EXPECT_EQ(virt::Now(), FirstMsOfTick(10));
    EXPECT_GT(virt::Count().Peeks, 0);
    // Starting inside a tick, the wait is shorter than n whole ticks.
    virt::AdvanceTo(1000); // tick 18 began at 989 ms
    WaitTicks(5);
    EXPECT_EQ(virt::Now(), FirstMsOfTick(23));
}

TEST_F(Waits, WaitTicksOfZeroOrLessReturnsWithoutPeeking) {
    WaitTicks(0);
    WaitTicks(-3);
    EXPECT_EQ(virt::Now(), 0);
    EXPECT_EQ(virt::Count().Peeks, 0);
}

TEST_F(Waits, DelaySecondsIsExactAndNeverPeeksOrReads) {
    DelaySeconds(0.5f);
    EXPECT_EQ(virt::Now(), 500);
    DelaySeconds(12.0f);
    EXPECT_EQ(virt::Now(), 12500);
    DelaySeconds(0.0f);
    DelaySeconds(-1.0f);
    EXPECT_EQ(virt::Now(), 12500);
    EXPECT_EQ(virt::Count().Peeks, 0);
    EXPECT_EQ(virt::Count().Reads, 0);
}

TEST_F(Waits, DeadlinesTruncateToWholeMilliseconds) {
    DelaySeconds(0.0019f);
    EXPECT_EQ(virt::Now(), 1);
    std::int64_t before = virt::Now();
    EXPECT_EQ(DeadlineAfter(1.0e12), before + 2147483647LL); // a span is bounded
    EXPECT_EQ(DeadlineAfter(std::numeric_limits<double>::quiet_NaN()), before);
}

TEST_F(Waits, NoWaitHangsAcrossTheTickCountWrap) {
    virt::Install(0xFFFFFF00u); // the platform's count wraps 256 ms after load
    virt::AddPort("COM2");
    DelaySeconds(1.0f);
    EXPECT_EQ(virt::Now(), 1000);
    EXPECT_EQ(ClockMs(), 1000);
    WaitTicks(10);
    EXPECT_LT(virt::Now(), 1000 + 560);
}

TEST_F(Waits, NoWaitHangsAcrossTheSignChangeOfTheMillisecondClock) {
    virt::AdvanceTo(2147483647LL - 100); // 24.8 days after load
    std::int64_t t0 = virt::Now();
    DelaySeconds(1.0f);
    EXPECT_EQ(virt::Now() - t0, 1000);
    EXPECT_LT(ClockMs(), 0); // the signed 32-bit reading has wrapped
    t0 = virt::Now();
    WaitTicks(10);
    EXPECT_LE(virt::Now() - t0, 550);
    Attach();
    t0 = virt::Now();
    std::uint8_t b[2];
    EXPECT_EQ(ReadReply(2, 0.25f, b), 0);
    EXPECT_EQ(virt::Now() - t0, 250);
}

TEST_F(Waits, NoWaitHangsPastTheTickProductOverflow) {
    virt::AdvanceTo(43LL * 3600 * 1000); // 43 hours: t * 14 no longer fits 32 bits
    std::int64_t t0 = virt::Now();
    WaitTicks(10);
    EXPECT_GE(virt::Now() - t0, 490);
    EXPECT_LE(virt::Now() - t0, 550);
}

class ByteTransfer : public VirtualLink {};

TEST_F(ByteTransfer, PutByteWritesTheLowByteAtOnce) {
    Attach();
    EXPECT_EQ(PutByte(0x1FF), 1);
    EXPECT_EQ(PutByte(-2), 1);
    EXPECT_TRUE(WireIs(*Port, {0xFF, 0xFE}));
    EXPECT_EQ(virt::Now(), 0);
}

TEST_F(ByteTransfer, PutByteOnAClosedSlotGivesUpAfter3000ms) {
    EXPECT_EQ(PutByte(0x55), 0);
    EXPECT_EQ(virt::Now(), 3000);
    // It rested between attempts instead of spinning.
    EXPECT_LE(virt::Count().Writes, 3001);
    EXPECT_GE(virt::Count().Sleeps, 1);
}

TEST_F(ByteTransfer, PutByteOnAStuckPortGivesUpAfter3000ms) {
    Attach();
    Port->WriteStuck = true;
    // Stuck for the whole 3000 ms: the byte is lost and the result is 0.
    EXPECT_EQ(PutByte(0x11), 0);
    EXPECT_EQ(virt::Now(), 3000);
    EXPECT_TRUE(Port->FromHost.empty());
}

TEST_F(ByteTransfer, GetByteAddsEveryByteToTheChecksum) {
    Attach();
    Port->Send({200, 100}, 0);
    std::uint8_t b = 0;
    EXPECT_EQ(GetByte(&b), 1);
    EXPECT_EQ(b, 200);
    EXPECT_EQ(GetByte(&b), 1);
    EXPECT_EQ(Module.RxChecksum, 44);
    b = 7;
    EXPECT_EQ(GetByte(&b), 0);
    EXPECT_EQ(b, 7);
}

TEST_F(ByteTransfer, GetByteDoesNotSeeBytesStillOnTheLine) {
    Attach();
    Port->Send(0x42, 10);
    std::uint8_t b = 0;
    EXPECT_EQ(GetByte(&b), 0);
    virt::AdvanceTo(10);
    EXPECT_EQ(GetByte(&b), 1);
    EXPECT_EQ(b, 0x42);
}

class ReplyReads : public VirtualLink {};

TEST_F(ReplyReads, ZeroOrNegativeTimeLimitReturnsAtOnceWithoutReading) {
    Attach();
    Port->Send(0x86, 0);
    std::uint8_t dest[4] = {};
    EXPECT_EQ(ReadReply(2, 0.0f, dest), 0);
    EXPECT_EQ(ReadReply(2, -1.0f, dest), 0);
    EXPECT_EQ(virt::Count().Reads, 0);
    EXPECT_EQ(Module.RxChecksum, 0);
}

TEST_F(ReplyReads, CountOfZeroMakesOneAttempt) {
    Attach();
    Port->Send({0x33, 0x44}, 0);
    std::uint8_t dest[4] = {};
    EXPECT_EQ(ReadReply(0, 1.0f, dest), 1);
    EXPECT_EQ(dest[0], 0x33);
    EXPECT_EQ(Module.RxChecksum, 0x33);
    EXPECT_EQ(ReadReply(-5, 1.0f, dest), 1);
    EXPECT_EQ(dest[0], 0x44);
    EXPECT_EQ(ReadReply(0, 1.0f, dest), 1); // nothing waiting: still 1
    EXPECT_EQ(virt::Now(), 0);
}

TEST_F(ReplyReads, TakesEachByteTheMomentItArrives) {
    Attach();
    Port->Send({0x86, 0x65}, 40, 7);
    std::uint8_t dest[3] = {};
    EXPECT_EQ(ReadReply(2, 1.0f, dest), 1);
    EXPECT_EQ(virt::Now(), 47);
    EXPECT_EQ(dest[0], 0x86);
    EXPECT_EQ(dest[1], 0x65);
}

TEST_F(ReplyReads, PartialReplyAtTheDeadlineStaysInPlace) {
    Attach();
    Port->Send(0x87, 30);
    Port->Send(0x10, 100); // after the 0.1 s limit
    std::uint8_t dest[3] = {0xAA, 0xBB, 0xCC};
    EXPECT_EQ(ReadReply(2, 0.1f, dest), 0);
    EXPECT_EQ(virt::Now(), 100);
    EXPECT_EQ(dest[0], 0x87);
    EXPECT_EQ(dest[1], 0xBB);
    EXPECT_EQ(dest[2], 0xCC);
}

TEST_F(ReplyReads, SilentLineWaitsTheWholeLimitAndPeeks) {
    Attach();
    std::uint8_t dest[2] = {};
    EXPECT_EQ(ReadReply(2, 1.0f, dest), 0);
    EXPECT_EQ(virt::Now(), 1000);
    EXPECT_GT(virt::Count().Peeks, 0);
    // It slept in the wait primitive rather than polling every millisecond.
    EXPECT_LT(virt::Count().Reads, 50);
}

TEST_F(ReplyReads, PurgeAndPollActOnTheCurrentSlot) {
    Attach();
    Port->Send({1, 2, 3}, 0);
    Port->Send(4, 50);
    PollPort();
    EXPECT_EQ(Module.CommStatus.cbInQue, 3u);
    EXPECT_EQ(PurgePort(), 1);
    PollPort();
    EXPECT_EQ(Module.CommStatus.cbInQue, 0u);
    virt::AdvanceTo(50);
    std::uint8_t b = 0;
    EXPECT_EQ(GetByte(&b), 1);
    EXPECT_EQ(b, 4);
}

} // namespace
