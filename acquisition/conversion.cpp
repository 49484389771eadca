#include "acquisition/conversion.h"

#include "interface/module_state.h"
#include "link/commands.h"
#include "link/port_io.h"

namespace sadc {

SadcStatus GetConversion(DeviceRecord* record) {
    // The reply buffer holds 5 bytes: only the two word lengths fit.
    if (record->ConvBytes != 2 && record->ConvBytes != 3) return 0;
    DrainInput(&Module.ReplyBuffer[0]);
    SendFrame(CmdGetConversion, 0);
    float limit = static_cast<float>(Module.ReplyTimeout);
    if (!ReadReply(1, limit, &Module.ReplyBuffer[0])) {
        record->ErrorCode = SADC_ERR_DATA_LATE;
        return 0;
    }
    if (Module.ReplyBuffer[0] != CmdGetConversion) {
        record->ErrorCode = Module.ReplyBuffer[0];
        return 0;
    }
    const std::uint8_t* d = &Module.ReplyBuffer[1];
    if (!ReadReply(record->ConvBytes, limit, &Module.ReplyBuffer[1])) {
        record->ErrorCode = SADC_ERR_DATA_LATE;
        return 0;
    }
    std::int32_t counts = d[0] + 256 * d[1];
    if (record->ConvBytes == 3) counts += 65536 * d[2];
    record->Counts = counts;
    record->ScaledValue = Counts2Volts(counts, record->ConvBytes, record->Bipolar);
    return 1;
}

double Counts2Volts(std::int32_t counts, std::int16_t convBytes, std::int16_t bipolar) {
    double v = static_cast<double>(counts) * ScaleConstant;
    // A 16-bit word sits on the same 24-bit scale.
    if (convBytes == 2) v *= 256.0;
    if (bipolar != 0) v = 2.0 * v - 5000.0;
    return v;
}

} // namespace sadc
