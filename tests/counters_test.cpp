// Counter control bytes, counts and the preset run at sign-on.
#include <gtest/gtest.h>

#include "counters/counters.h"
#include "interface/module_state.h"
#include "scripted_instrument.h"

namespace {

using namespace sadc;
using namespace sadc::test;

class Counters : public VirtualLink {
protected:
    void SetUp() override {
        VirtualLink::SetUp();
        Attach();
    }
    DeviceRecord Record{};
};

TEST_F(Counters, WriteCntrSendsTheChannelCodeThenLowAndHighByte) {
    struct Case {
        const char* Name;
        std::int16_t Channel, Code;
        std::int32_t Counter, Value;
        Bytes Wire;
    } const cases[] = {
        {"counter 1, 0x1234", 0, 0, 1, 0x1234, {0x01, 0x85, 0x86, 0x07, 0x34, 0x3B, 0x07, 0x12, 0x19}},
        {"channel 2, code 1", 2, 1, 0, 0, {0x01, 0xA5, 0xA6, 0x07, 0x00, 0x07, 0x07, 0x00, 0x07}},
        // An OR, not a sum: bits the channel code shares with 0x84 are set once.
        {"shared bits do not carry", 8, 4, 2, 0, {0x01, 0x86, 0x87, 0x07, 0x00, 0x07, 0x07, 0x00, 0x07}},
        {"65536 wraps to 0", 0, 0, 0, 65536, {0x01, 0x84, 0x85, 0x07, 0x00, 0x07, 0x07, 0x00, 0x07}},
        {"70000", 0, 0, 0, 70000, {0x01, 0x84, 0x85, 0x07, 0x70, 0x77, 0x07, 0x11, 0x18}},
        // Quotient and remainder toward zero, each as its low byte.
        {"-1", 0, 0, 0, -1, {0x01, 0x84, 0x85, 0x07, 0xFF, 0x06, 0x07, 0x00, 0x07}},
        {"-300", 0, 0, 0, -300, {0x01, 0x84, 0x85, 0x07, 0xD4, 0xDB, 0x07, 0xFF, 0x06}},
        {"counter 3 is ORed in unchanged", 0, 0, 3, 0, {0x01, 0x87, 0x88, 0x07, 0x00, 0x07, 0x07, 0x00, 0x07}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Port->FromHost.clear();
        Record.Channel = c.Channel;
        Record.Code = c.Code;
        EXPECT_EQ(sadc::WriteCntr(&Record, c.Counter, c.Value), 1);
        EXPECT_TRUE(WireIs(*Port, c.Wire));
    }
}

TEST_F(Counters, WriteCntrReportsItsLastFrame) {
    Port->WriteStuck = true;
    EXPECT_EQ(sadc::WriteCntr(&Record, 0, 5), 0);
    Module.PortTable[1] = InvalidHandle;
    EXPECT_EQ(sadc::WriteCntr(&Record, 0, 5), 0);
}

TEST_F(Counters, LoadCounterSendsTheControlByteFirst) {
    Record.Channel = 2;
    Record.Code = 1;
    EXPECT_EQ(LoadCounter(&Record, 1, 0x0102), 1);
    EXPECT_TRUE(WireIs(*Port, {0x01, 0xA7, 0xA8, 0x07, 0x72, 0x79, 0x01, 0xA5, 0xA6, 0x07, 0x02, 0x09, 0x07,
                               0x01, 0x08}));
}

TEST_F(Counters, PresetLoadsAllThreeCountersCounterTwoWithOne) {
    Record.CounterPreset = 1000;
    PresetCounters(&Record);
    const Bytes frames[] = {
        {1, 0x87}, {7, 0x34}, {1, 0x84}, {7, 0xE8}, {7, 0x03},
        {1, 0x87}, {7, 0x72}, {1, 0x85}, {7, 0xE8}, {7, 0x03},
        {1, 0x87}, {7, 0xB2}, {1, 0x86}, {7, 0x01}, {7, 0x00},
    };
    Bytes wire;
    for (const Bytes& f : frames) {
        wire.insert(wire.end(), f.begin(), f.end());
        wire.push_back(static_cast<std::uint8_t>(f[0] + f[1]));
    }
    EXPECT_TRUE(WireIs(*Port, wire));

    // Whatever CounterPreset holds, counter 2 gets 1.
    Port->FromHost.clear();
    Record.CounterPreset = -1;
    PresetCounters(&Record);
    Bytes got = virt::Values(Port->FromHost);
    EXPECT_EQ(Bytes(got.end() - 9, got.end()), (Bytes{0x01, 0x86, 0x87, 0x07, 0x01, 0x08, 0x07, 0x00, 0x07}));
    EXPECT_EQ(got.size(), 45u);
}

} // namespace
