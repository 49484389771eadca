// The longest time each export may take, worked out from the record and the
// reply time limit in force when it is called. Every wait of the library has a
// bound; these add them up along the longest path through each export, with a
// few milliseconds of slack per wait. The fuzzer and the fault table check
// every call against them, in virtual or in real time.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "sadclink.h"

namespace sadc::bounds {

enum class Export {
    SignOn, RemoteAvg, FullScaleCal, OffsetCal, SysCal, Counts2Volts, GetDigIn, SetDigOut,
    GetVer, GetConversion, SetChanCode, StartScanning, GetOneScan, StopScanning, Gconv,
    RemoveFromBuffer, SetFilter, SendADMode, GetCheckSum, CloseDevice, GotoSleep, WriteCntr,
    FilterDelay, CheckScanTime, GetComHandle, SetComHandle,
};
inline constexpr int ExportCount = 26;

inline const char* Name(Export e) {
    static const char* const names[ExportCount] = {
        "SignOn", "RemoteAvg", "FullScaleCal", "OffsetCal", "SysCal", "Counts2Volts",
        "GetDigIn", "SetDigOut", "GetVer", "GetConversion", "SetChanCode", "StartScanning",
        "GetOneScan", "StopScanning", "Gconv", "RemoveFromBuffer", "SetFilter", "SendADMode",
        "GetCheckSum", "CloseDevice", "GotoSleep", "WriteCntr", "FilterDelay", "CheckScanTime",
        "GetComHandle", "SetComHandle",
    };
    return names[static_cast<int>(e)];
}

// Slack per wait: the platform wait that ends a loop may run a millisecond
// past the deadline it was handed.
inline constexpr double SlackMs = 5.0;
// No single deadline lies further ahead than a signed 32-bit clock can hold.
inline constexpr double LongestSpanMs = 2147483647.0;
// A byte write retries for 3000 ms on a port that takes nothing.
inline constexpr double PutByteMs = 3000.0 + SlackMs;
// A frame: an optional wait for room in the output queue (at most 5000 ms
// from the start of the frame), then three byte writes.
inline constexpr double FrameMs = 5000.0 + 3 * PutByteMs;
// The slowest output rate the converter can be set to: filter code 2047.
inline constexpr double SlowestRate = 19531.25 / 2047.0;

// A wait of s seconds, as a deadline of whole milliseconds.
inline double SpanMs(double seconds) {
    double ms = seconds * 1000.0;
    if (!(ms > 0.0)) return 0.0;
    return std::min(ms, LongestSpanMs);
}
// A reply wait: the span narrowed to single precision, as the library passes it.
inline double ReplyMs(double seconds) {
    return SpanMs(static_cast<double>(static_cast<float>(seconds))) + SlackMs;
}
// n ticks of the 18.2 Hz clock last at most n + 1 of its longest steps (58 ms).
inline double TicksMs(int n) { return (n + 1) * 58.0; }

// The reply time limit that a converter-mode computation on this record can
// set: AvgCount conversions at the slowest achievable rate, plus 2 s.
inline double ComputedReplyTimeout(const DeviceRecord& r) {
    return static_cast<double>(r.AvgCount) / SlowestRate + 2.0 + 1e-3;
}

inline double SettlingSeconds(std::int16_t filterSel) {
    return filterSel == 0 ? 4.5 : filterSel == 1 ? 0.56 : 0.036;
}

inline double SignOnAttemptMs(const DeviceRecord& r) {
    double wake = 10 * (PutByteMs + TicksMs(10));
    double line = TicksMs(5) + ReplyMs(0.1) + PutByteMs + ReplyMs(0.1) + TicksMs(2) + PutByteMs +
                  ReplyMs(1.0);
    double download = TicksMs(5) + PutByteMs + 4 * FrameMs + ReplyMs(1.0) + 5 * FrameMs + TicksMs(4);
    double version = FrameMs + ReplyMs(ComputedReplyTimeout(r));
    double counters = 15 * FrameMs;
    return wake + line + download + version + counters + SlackMs;
}

inline double SendADModeMs(double replyTimeout, const DeviceRecord& r) {
    return FrameMs + ReplyMs(replyTimeout) + 2 * FrameMs + ReplyMs(ComputedReplyTimeout(r));
}

// The bound of one call of e with record r (as it is on entry) while the
// module's reply time limit is replyTimeout.
inline double BoundMs(Export e, const DeviceRecord& r, double replyTimeout) {
    using E = Export;
    switch (e) {
    case E::SignOn: return 4 * SignOnAttemptMs(r);
    case E::GetOneScan:
        return SlackMs + SpanMs(r.ScanTime + 2.0) + SlackMs + 200.0 + SlackMs + 4 * SignOnAttemptMs(r);
    case E::StartScanning: {
        double start = FrameMs + ReplyMs(replyTimeout);
        if (r.ScanMode != 0) return start;
        double settle = static_cast<double>(static_cast<float>(SettlingSeconds(r.FilterSel) * 2 + 0.5));
        return FrameMs + SpanMs(settle) + SlackMs + SpanMs(2.5) + SlackMs + start;
    }
    case E::StopScanning:
        return FrameMs + SpanMs(static_cast<float>(replyTimeout * 1.5)) + SlackMs + FrameMs;
    case E::SendADMode: return SendADModeMs(replyTimeout, r);
    case E::SysCal: {
        double t = std::max(replyTimeout, ComputedReplyTimeout(r));
        return 2 * SendADModeMs(t, r) + 3 * (FrameMs + ReplyMs(2.0));
    }
    case E::OffsetCal:
    case E::FullScaleCal: return FrameMs + ReplyMs(replyTimeout + 2.0);
    case E::GetVer:
    case E::GetDigIn:
    case E::GetCheckSum: return FrameMs + ReplyMs(replyTimeout);
    case E::GetConversion: return FrameMs + 2 * ReplyMs(replyTimeout);
    case E::GotoSleep: return FrameMs + 500.0 + SlackMs;
    // After its writes the port is given up to 2 s to send them out.
    case E::CloseDevice: return FrameMs + PutByteMs + 2000.0 + SlackMs;
    case E::SetDigOut:
    case E::SetChanCode:
    case E::SetFilter:
    case E::RemoteAvg:
    case E::CheckScanTime: return FrameMs;
    case E::WriteCntr: return 3 * FrameMs;
    case E::FilterDelay: return 8500.0 + SlackMs;
    case E::Counts2Volts:
    case E::Gconv:
    case E::RemoveFromBuffer:
    case E::GetComHandle:
    case E::SetComHandle: return SlackMs;
    }
    return 0.0;
}

// Elements one GetOneScan appends, in 64 bits so no record overflows it.
inline std::int64_t BytesPerScan(const DeviceRecord& r) {
    std::int64_t n = r.NumChans, c = r.ConvBytes;
    if (r.ScanMode == 0) return c;
    if (r.ScanMode == 2) return (n + 2) * c + 2;
    return n * c + 2;
}

} // namespace sadc::bounds
