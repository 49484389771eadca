/* The public header compiles as C, with its layout assertions. */
#include "sadclink.h"

double header_c_probe(void) {
    DeviceRecord r = {0};
    r.ErrorCode = 1;
    return (double)r.ErrorCode + Counts2Volts(0, 3, 0) * 0.0;
}
