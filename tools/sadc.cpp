// sadc: the command-line program. For now it prints the library's version and
// the DeviceRecord layout that applications must match.
#include <cstddef>
#include <cstdio>

#include "sadclink.h"

int main() {
    std::printf("sadclink 1.0.0\nDeviceRecord: %zu bytes, packed to 2\n", sizeof(DeviceRecord));
#define SHOW(f) std::printf("  %-13s offset %2zu\n", #f, offsetof(DeviceRecord, f))
    SHOW(ComPort); SHOW(ScanTime); SHOW(NumChans); SHOW(ScanMode); SHOW(ScanConfig);
    SHOW(DigIn); SHOW(Version); SHOW(Channel); SHOW(Code); SHOW(Counts); SHOW(ScaledValue);
    SHOW(ConvBytes); SHOW(Bipolar); SHOW(ErrorCode); SHOW(FilterSel); SHOW(Gain);
    SHOW(DataRate); SHOW(ModeLow); SHOW(ModeMid); SHOW(ModeHigh); SHOW(SpeedIndex);
    SHOW(ModeBits); SHOW(CounterPreset); SHOW(AvgCount); SHOW(OutQueueSize); SHOW(InQueueSize);
#undef SHOW
    return 0;
}
