// Single conversions and the scaling rule, byte for byte on the virtual clock.
#include <gtest/gtest.h>

#include <cstdint>

#include "acquisition/conversion.h"
#include "interface/module_state.h"
#include "link/port_io.h"
#include "sadclink.h"
#include "scripted_instrument.h"

namespace {

using namespace sadc::test;
using sadc::Module;
namespace virt = sadc::virt;

const Bytes ConversionFrame = {0x81, 0x00, 0x81};

TEST(Counts2Volts, ScalesOnTheStoredConstant) {
    // The constant is the decimal 0.0002980232 itself, not 5000 / 2^24.
    EXPECT_EQ(sadc::ScaleConstant, 0.0002980232);
    EXPECT_EQ(::Counts2Volts(1, 3, 0), 0.0002980232);
    struct {
        std::int32_t Counts;
        std::int16_t ConvBytes, Bipolar;
        double Value, Tolerance;
    } const cases[] = {
        {0, 3, 0, 0.0, 0.0},
        {0, 3, 1, -5000.0, 0.0},                        // exactly the bottom of the bipolar range
        {1 << 23, 3, 1, -0.000400588800403, 1e-12},      // not 0: the constant is a little small
        {(1 << 24) - 1, 3, 0, 4999.999301388, 1e-9},    // just under full scale
        {65535, 2, 0, 4999.923305472, 1e-9},            // a 16-bit word on the 24-bit scale
        {65535, 2, 1, 2 * 4999.923305472 - 5000, 1e-9},
        {1 << 23, 3, -1, -0.000400588800403, 1e-12},     // any nonzero value is bipolar
        {256, 1, 0, 256 * 0.0002980232, 0.0},           // only 2 applies the factor 256
        {256, 0, 0, 256 * 0.0002980232, 0.0},
        {256, 2, 0, 65536 * 0.0002980232, 1e-12},
    };
    for (const auto& c : cases) {
        double v = ::Counts2Volts(c.Counts, c.ConvBytes, c.Bipolar);
        EXPECT_NEAR(v, c.Value, c.Tolerance)
            << c.Counts << " counts, " << c.ConvBytes << " bytes, bipolar " << c.Bipolar;
    }
}

class Conversion : public VirtualLink {
protected:
    void SetUp() override {
        VirtualLink::SetUp();
        Attach();
        Module.ReplyTimeout = 1.0;
        Rec.ConvBytes = 3;
        Rec.Counts = -1;
        Rec.ScaledValue = -1.0;
        Rec.ErrorCode = 77;
    }
    DeviceRecord Rec{};
};

TEST_F(Conversion, DataBytesComeLeastSignificantFirst) {
    struct {
        std::int16_t ConvBytes, Bipolar;
        Bytes Data;
        std::int32_t Counts;
    } const cases[] = {
        {3, 0, {0x01, 0x00, 0x00}, 1},
        {3, 0, {0x00, 0x01, 0x00}, 256},
        {3, 0, {0x00, 0x00, 0x01}, 65536},
        {3, 1, {0x00, 0x00, 0x80}, 1 << 23}, // the bipolar zero
        {3, 0, {0xFF, 0xFF, 0xFF}, (1 << 24) - 1},
        {2, 0, {0xFF, 0xFF}, 65535},          // no sign extension
        {2, 1, {0x34, 0x12}, 0x1234},
    };
    for (const auto& c : cases) {
        Rec.ConvBytes = c.ConvBytes;
        Rec.Bipolar = c.Bipolar;
        Port->FromHost.clear();
        Bytes reply = {0x81};
        reply.insert(reply.end(), c.Data.begin(), c.Data.end());
        Instrument.Expect(ConversionFrame).Reply(reply, 3, 1);
        EXPECT_EQ(::GetConversion(&Rec), 1) << virt::Hex(c.Data);
        EXPECT_EQ(+Rec.Counts, c.Counts) << virt::Hex(c.Data);
        EXPECT_EQ(+Rec.ScaledValue, ::Counts2Volts(c.Counts, c.ConvBytes, c.Bipolar)) << virt::Hex(c.Data);
        EXPECT_EQ(+Rec.ErrorCode, 77) << "success leaves ErrorCode";
        EXPECT_TRUE(WireIs(*Port, ConversionFrame));
    }
    EXPECT_TRUE(Instrument.Check());
}

TEST_F(Conversion, TwoByteWordReadsOnlyTwoDataBytes) {
    Rec.ConvBytes = 2;
    Instrument.Expect(ConversionFrame).Reply({0x81, 0x10, 0x00, 0x99});
    EXPECT_EQ(::GetConversion(&Rec), 1);
    EXPECT_EQ(+Rec.Counts, 0x10);
    EXPECT_EQ(+Rec.ScaledValue, 16 * 0.0002980232 * 256);
    EXPECT_EQ(Port->Waiting(virt::Now()), 1u); // the 0x99 is still waiting
}

TEST_F(Conversion, WaitingBytesAreDrainedBeforeTheCommand) {
    Port->Send({0x81, 0x55}, 0); // stale: an echo and a data byte from nowhere
    Instrument.Expect(ConversionFrame).Reply({0x81, 0x01, 0x02, 0x03}, 5);
    Module.RxChecksum = 0;
    EXPECT_EQ(::GetConversion(&Rec), 1);
    EXPECT_EQ(+Rec.Counts, 0x030201);
    EXPECT_TRUE(Instrument.Check());
    // Drained bytes still count into the running checksum.
    EXPECT_EQ(Module.RxChecksum, (0x81 + 0x55 + 0x81 + 0x01 + 0x02 + 0x03) % 256);
}

TEST_F(Conversion, FailuresStoreTheirCause) {
    struct {
        const char* Name;
        Bytes Stale;  // waiting before the call
        Bytes Reply;  // after the command
        std::uint8_t Buffer0; // ReplyBuffer[0] before the call
        std::int32_t ErrorCode;
        std::int64_t Ms; // time the call takes
    } const cases[] = {
        {"wrong echo", {}, {0x80, 0x01, 0x02, 0x03}, 0x00, 128, 0},
        {"echo 0x01", {}, {0x01}, 0x00, 1, 0},
        {"data short", {}, {0x81, 0x01, 0x02}, 0x00, 1, 1000},
        {"echo only", {}, {0x81}, 0x00, 1, 1000},
        // Nothing arrived: the call failed for want of a reply, whatever the
        // buffer still holds from earlier exchanges.
        {"silent after a good conversion", {}, {}, 0x81, 1, 1000},
        {"silent after a drained stray byte", {0x37}, {}, 0x00, 1, 1000},
        {"silent after a drained echo", {0x81}, {}, 0x00, 1, 1000},
    };
    for (const auto& c : cases) {
        Port->FromHost.clear();
        Port->ToHost.clear();
        Module.ReplyBuffer[0] = c.Buffer0;
        Rec.ErrorCode = 77;
        Port->Send(c.Stale, virt::Now());
        std::int64_t t0 = virt::Now();
        Instrument.Script.clear();
        Instrument.Step = Instrument.Pos = 0;
        Instrument.Expect(ConversionFrame).Reply(c.Reply);
        EXPECT_EQ(::GetConversion(&Rec), 0) << c.Name;
        EXPECT_EQ(+Rec.ErrorCode, c.ErrorCode) << c.Name;
        EXPECT_EQ(+Rec.Counts, -1) << c.Name;
        EXPECT_EQ(+Rec.ScaledValue, -1.0) << c.Name;
        EXPECT_EQ(virt::Now() - t0, c.Ms) << c.Name;
        EXPECT_TRUE(WireIs(*Port, ConversionFrame)) << c.Name;
    }
}

TEST_F(Conversion, EachReadHasItsOwnLimit) {
    // The echo at 900 ms and the data 900 ms later: each read is within 1.0 s.
    Instrument.Expect(ConversionFrame).Reply({0x81}, 900);
    Instrument.Script.push_back(Exchange{{}, {0x01, 0x00, 0x00}, 1800, 0});
    EXPECT_EQ(::GetConversion(&Rec), 1);
    EXPECT_EQ(+Rec.Counts, 1);
    EXPECT_EQ(virt::Now(), 1800);
}

TEST_F(Conversion, NoReplyIsAwaitedBeforeTheLimitIsSet) {
    Module.ReplyTimeout = 0.0; // as at load
    Module.ReplyBuffer[0] = 0x81;
    EXPECT_EQ(::GetConversion(&Rec), 0);
    EXPECT_EQ(+Rec.ErrorCode, 1);
    EXPECT_EQ(virt::Now(), 0);
    EXPECT_TRUE(WireIs(*Port, ConversionFrame));
}

TEST_F(Conversion, AWordLengthThatDoesNotFitSendsNothing) {
    for (int bytes : {0, 1, 4, 5, -1, 300}) {
        Rec.ConvBytes = static_cast<std::int16_t>(bytes);
        Port->Send({0x81, 1, 2, 3, 4, 5, 6}, virt::Now());
        EXPECT_EQ(::GetConversion(&Rec), 0) << bytes;
        EXPECT_EQ(+Rec.ErrorCode, 77) << bytes;
        EXPECT_EQ(+Rec.Counts, -1) << bytes;
        Port->ToHost.clear();
    }
    EXPECT_TRUE(WireIs(*Port, {}));
    EXPECT_EQ(virt::Now(), 0);
}

} // namespace
