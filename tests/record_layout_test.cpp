// The record's byte layout is the interface: applications declare it
// themselves, so every field must sit at its offset.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "sadclink.h"

namespace {

struct FieldAt {
    const char* Name;
    std::size_t Offset, Size;
};

#define FIELD(f) FieldAt{#f, offsetof(DeviceRecord, f), sizeof(DeviceRecord{}.f)}
const FieldAt Layout[] = {
    FIELD(ComPort),   FIELD(ScanTime),    FIELD(NumChans),   FIELD(ScanMode),   FIELD(ScanConfig),
    FIELD(Reserved1), FIELD(DigIn),       FIELD(Version),    FIELD(Channel),    FIELD(Code),
    FIELD(Counts),    FIELD(ScaledValue), FIELD(Reserved2),  FIELD(ConvBytes),  FIELD(Bipolar),
    FIELD(ErrorCode), FIELD(FilterSel),   FIELD(Gain),       FIELD(DataRate),   FIELD(ModeLow),
    FIELD(ModeMid),   FIELD(ModeHigh),    FIELD(SpeedIndex), FIELD(Reserved4),  FIELD(ModeBits),
    FIELD(CounterPreset), FIELD(AvgCount), FIELD(OutQueueSize), FIELD(InQueueSize),
};
#undef FIELD

TEST(RecordLayout, FieldsTileTheRecordWithoutGaps) {
    std::size_t next = 0;
    for (const FieldAt& f : Layout) {
        EXPECT_EQ(f.Offset, next) << f.Name;
        next = f.Offset + f.Size;
    }
    EXPECT_EQ(next, 96u);
    EXPECT_EQ(sizeof(DeviceRecord), 96u);
}

TEST(RecordLayout, Reserved3IsTheUpperHalfOfErrorCode) {
    EXPECT_EQ(offsetof(DeviceRecord, Reserved3), 58u);
    DeviceRecord r{};
    r.ErrorCode = 0x12345678;
    EXPECT_EQ(r.Reserved3[0], 0x34);
    EXPECT_EQ(r.Reserved3[1], 0x12);
}

TEST(RecordLayout, LittleEndianBytesAtTheirOffsets) {
    DeviceRecord r{};
    r.ScanTime = 1.0;
    r.InQueueSize = 0x01020304;
    unsigned char bytes[96];
    std::memcpy(bytes, &r, sizeof bytes);
    double d;
    std::memcpy(&d, bytes + 2, sizeof d);
    EXPECT_EQ(d, 1.0);
    EXPECT_EQ(bytes[92], 0x04);
    EXPECT_EQ(bytes[95], 0x01);
}

} // namespace
