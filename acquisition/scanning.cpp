#include "acquisition/scanning.h"

#include "acquisition/conversion.h"
#include "connection/signon.h"
#include "interface/module_state.h"
#include "link/commands.h"
#include "link/port_io.h"

namespace sadc {

namespace {
constexpr std::int32_t LeadByte = 0xF0;

// Settling time of the converter's filter, by FilterSel.
double SettlingTime(std::int16_t filterSel) {
    return filterSel == 0 ? 4.5 : filterSel == 1 ? 0.56 : 0.036;
}

std::int32_t BytesPerScan(const DeviceRecord* r) {
    if (r->ScanMode == 0) return r->ConvBytes;
    if (r->ScanMode == 2) return (r->NumChans + 2) * r->ConvBytes + 2;
    return r->NumChans * r->ConvBytes + 2;
}

std::int32_t StartCommand(std::int16_t scanMode) {
    return scanMode == 2 ? CmdScan2 : scanMode == 0 ? CmdScan0 : CmdScan1;
}

std::int32_t ChannelCode(const DeviceRecord* r) { return r->Channel * 16 + r->Code; }
} // namespace

SadcStatus StartScanning(DeviceRecord* record) {
    double settle = SettlingTime(record->FilterSel);
    Module.ScanCount = 0;
    std::int32_t command = StartCommand(record->ScanMode);
    if (record->ScanMode == 0) {
        // One channel, converted continuously: select it and let the filter
        // settle before the stream starts.
        SendFrame(CmdSetChan, ChannelCode(record));
        DelaySeconds(static_cast<float>(settle * 2 + 0.5));
        DelaySeconds(2.5f);
    }
    SendFrame(command, record->Code & 0xFF);
    if (!ReadReply(1, static_cast<float>(Module.ReplyTimeout), &Module.ReplyBuffer[0])) return 0;
    return Module.ReplyBuffer[0] == command ? 1 : 0;
}

SadcStatus GetOneScan(DeviceRecord* record, std::int32_t* scanBuffer) {
    PollPort();
    // Unsigned, so that an InQueueSize below 10 never fires the test.
    if (Module.CommStatus.cbInQue > static_cast<std::uint32_t>(record->InQueueSize) - 10u) {
        record->ErrorCode = SADC_ERR_OVERFLOW;
        return 0;
    }
    std::int32_t expected = BytesPerScan(record);
    // A geometry with no bytes is no scan; nothing is read or written.
    if (expected < 1) return 0;
    std::int64_t deadline = DeadlineAfter(record->ScanTime + 2.0);
    std::int32_t received = 0;
    std::uint8_t last = 0;
    while (received < expected && ClockMs64() < deadline) {
        if (GetByte(&Module.ReplyBuffer[0])) {
            last = Module.ReplyBuffer[0];
            scanBuffer[Module.ScanCount] = last;
            ++Module.ScanCount;
            ++received;
        } else {
            WaitInputUntil(deadline);
        }
    }
    if (received < expected) {
        record->ErrorCode = (received > 0 && last == 10) ? SADC_ERR_SCAN_TIMEOUT_10
                                                          : SADC_ERR_SCAN_TIMEOUT;
        DelaySeconds(0.2f);
        sadc::SignOn(record);
        return 0;
    }
    if (record->ScanMode == 0) return 1;
    if (scanBuffer[0] != LeadByte) {
        record->ErrorCode = SADC_ERR_DATA_LATE;
        return 0;
    }
    sadc::RemoveFromBuffer(1, scanBuffer);
    return 1;
}

void Gconv(DeviceRecord* record, std::int32_t* scanBuffer) {
    // Unsigned arithmetic: the elements are the caller's and may hold anything.
    std::uint32_t counts = static_cast<std::uint32_t>(scanBuffer[0]) +
                           static_cast<std::uint32_t>(scanBuffer[1]) * 256u;
    if (record->ConvBytes == 3) counts += static_cast<std::uint32_t>(scanBuffer[2]) * 65536u;
    record->Counts = static_cast<std::int32_t>(counts);
    sadc::RemoveFromBuffer(record->ConvBytes, scanBuffer);
    record->ScaledValue = sadc::Counts2Volts(record->Counts, record->ConvBytes, record->Bipolar);
}

void RemoveFromBuffer(std::int32_t count, std::int32_t* scanBuffer) {
    if (count < 0) return;
    if (count >= Module.ScanCount) {
        Module.ScanCount = 0;
        return;
    }
    // The elements above the new count keep their old values.
    for (std::int32_t i = count; i < Module.ScanCount; ++i) scanBuffer[i - count] = scanBuffer[i];
    Module.ScanCount -= count;
}

SadcStatus StopScanning(DeviceRecord* record) {
    SendFrame(CmdStop, 0);
    DelaySeconds(static_cast<float>(Module.ReplyTimeout * 1.5));
    // The stream ends with the stop echo; a silent line proves nothing.
    if (DrainInput(&Module.ReplyBuffer[0]) == 0 || Module.ReplyBuffer[0] != CmdStop) return 0;
    Module.ScanCount = 0;
    SendFrame(CmdSetChan, ChannelCode(record));
    return 1;
}

} // namespace sadc
