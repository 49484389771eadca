// Every export on the virtual clock, with an arbitrary record and an
// instrument that answers with the fuzzer's bytes at the fuzzer's times.
//
// Input: [flags] [96 record bytes] [call count] [calls with their arguments]
// [the instrument's tape: the rest]. Flags bit 0 lets the record's AvgCount
// and ScanTime stand as they are ("wild"); without it they are cut down to
// waits of minutes so that sequences of calls run fast. Bit 1 starts the tick
// count just before its 32-bit wrap.
//
// After every call: the status is exactly 0 or 1 (CheckScanTime 0, 1 or 2);
// the call took no longer in virtual time than the bound worked out for it;
// only the record fields that export may write have changed, the reserved
// areas never; nothing outside the record, the module state and the scan
// buffer's contracted room was touched (guard zones, poisoned for ASan); the
// module state is consistent.
#include <sanitizer/asan_interface.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_peer.h"
#include "interface/module_state.h"
#include "platform/virtual_platform.h"
#include "sadclink.h"
#include "../tests/call_bounds.h"

namespace {

using namespace sadc;
using bounds::Export;

[[noreturn]] void Fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz_exports: %s: %s\n", what, detail.c_str());
    std::abort();
}

// --- The record, between two poisoned guard zones ---------------------------

constexpr std::uint8_t GuardByte = 0xA5;
struct alignas(16) GuardedRecord {
    std::uint8_t Before[64];
    DeviceRecord Rec;
    std::uint8_t After[64];
};
GuardedRecord G;

// --- The scan buffer: elements beyond the contracted room are poisoned ------

constexpr std::int64_t Capacity = 8192;
constexpr std::int64_t GuardElems = 64;
constexpr std::int32_t Stale = 0x0A5A; // never a byte value, so a stray write shows
alignas(16) std::int32_t Buf[Capacity + GuardElems];
std::int32_t Shadow[Capacity + GuardElems];

void PoisonFrom(std::int64_t from) {
    ASAN_UNPOISON_MEMORY_REGION(Buf, sizeof Buf);
    ASAN_POISON_MEMORY_REGION(Buf + from, sizeof(std::int32_t) * static_cast<std::size_t>(Capacity + GuardElems - from));
}

// --- Record fields, for the per-export write masks --------------------------

struct Field {
    const char* Name;
    std::size_t Offset, Size;
};
#define F(name) Field{#name, offsetof(DeviceRecord, name), sizeof(DeviceRecord::name)}
const Field Fields[] = {
    F(ComPort), F(ScanTime), F(NumChans), F(ScanMode), F(ScanConfig), F(Reserved1), F(DigIn),
    F(Version), F(Channel), F(Code), F(Counts), F(ScaledValue), F(Reserved2), F(ConvBytes),
    F(Bipolar), F(ErrorCode), F(FilterSel), F(Gain), F(DataRate), F(ModeLow), F(ModeMid),
    F(ModeHigh), F(SpeedIndex), F(Reserved4), F(ModeBits), F(CounterPreset), F(AvgCount),
    F(OutQueueSize), F(InQueueSize),
};
#undef F
static_assert(offsetof(DeviceRecord, ErrorCode) + 4 == offsetof(DeviceRecord, FilterSel));

std::vector<std::string> Writes(Export e) {
    std::vector<std::string> signOn = {"ModeLow", "ModeMid", "ModeHigh", "DataRate", "Version"};
    switch (e) {
    case Export::SignOn: return signOn;
    case Export::GetOneScan: signOn.push_back("ErrorCode"); return signOn;
    case Export::CheckScanTime: return {"ScanTime", "AvgCount"};
    case Export::SysCal: return {"Gain", "ModeLow", "ModeMid", "ModeHigh", "DataRate"};
    case Export::SendADMode: return {"ModeLow", "ModeMid", "ModeHigh", "DataRate"};
    case Export::GetConversion: return {"Counts", "ScaledValue", "ErrorCode"};
    case Export::Gconv: return {"Counts", "ScaledValue"};
    case Export::GetDigIn: return {"DigIn"};
    case Export::GetVer: return {"Version"};
    default: return {};
    }
}

void CheckWrites(Export e, const DeviceRecord& before, const DeviceRecord& after) {
    std::vector<std::string> allowed = Writes(e);
    auto* b = reinterpret_cast<const std::uint8_t*>(&before);
    auto* a = reinterpret_cast<const std::uint8_t*>(&after);
    for (const Field& f : Fields) {
        bool ok = false;
        for (const std::string& n : allowed) ok = ok || n == f.Name;
        if (!ok && std::memcmp(b + f.Offset, a + f.Offset, f.Size) != 0)
            Fail("a field it must not write changed", std::string(bounds::Name(e)) + " wrote " + f.Name);
    }
}

// --- Reading the calls ------------------------------------------------------

struct Reader {
    const std::uint8_t* P;
    std::size_t N, Pos = 0;
    bool Ok() const { return Pos <= N; }
    std::uint64_t Take(int bytes) {
        std::uint64_t v = 0;
        for (int i = 0; i < bytes; ++i, ++Pos)
            if (Pos < N) v |= static_cast<std::uint64_t>(P[Pos]) << (8 * i);
        return v;
    }
    std::int32_t I32() { return static_cast<std::int32_t>(Take(4)); }
    std::int16_t I16() { return static_cast<std::int16_t>(Take(2)); }
    std::uint8_t U8() { return static_cast<std::uint8_t>(Take(1)); }
};

enum Extra { PokeRecord = bounds::ExportCount, PortFault, PassTime, Noise, OpCount };

// A virtual hour per call is plenty to run every path; a call whose bound is
// longer is cut there and ends the input.
constexpr std::int64_t BudgetMs = 3600 * 1000;

struct Run {
    fuzz::Tape Tape;
    std::vector<std::unique_ptr<fuzz::FuzzPeer>> Peers;
    std::vector<virt::Port*> Ports;
    SadcHandle LastHandle = SADC_INVALID_HANDLE;
};

void CheckModule(const char* after) {
    const ModuleState& m = Module;
    if (m.CurrentPort < 0 || m.CurrentPort >= PortSlots)
        Fail("CurrentPort out of range", after + (" leaves " + std::to_string(m.CurrentPort)));
    if (m.RxChecksum < 0 || m.RxChecksum > 255)
        Fail("RxChecksum out of range", after + (" leaves " + std::to_string(m.RxChecksum)));
    if (m.ScanCount < 0 || m.ScanCount > Capacity)
        Fail("ScanCount out of range", after + (" leaves " + std::to_string(m.ScanCount)));
    if (!std::isfinite(m.ReplyTimeout) || m.ReplyTimeout < 0)
        Fail("ReplyTimeout not a finite span", after + (" leaves " + std::to_string(m.ReplyTimeout)));
}

void CheckStatus(Export e, long v, long lo, long hi) {
    if (v < lo || v > hi)
        Fail("status out of range", std::string(bounds::Name(e)) + " returned " + std::to_string(v));
}

// SADCLINK_FUZZ_TRACE=1 prints every call as it ends, for reading an input.
const bool Trace = std::getenv("SADCLINK_FUZZ_TRACE") != nullptr;

bool HandleOpen(PortHandle h) { return h != InvalidHandle; }

std::uint64_t Bits(double d) {
    std::uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

// Runs one export; returns false when the call was cut.
bool Call(Run& run, Export e, Reader& in) {
    DeviceRecord& r = G.Rec;
    const DeviceRecord before = r;
    const double timeout = Module.ReplyTimeout;
    const std::int32_t countBefore = Module.ScanCount;
    const double bound = bounds::BoundMs(e, before, timeout);
    const char* name = bounds::Name(e);

    // Arguments first, so that skipping a call keeps the stream in step.
    std::int32_t a32 = 0, b32 = 0;
    std::int16_t a16 = 0, b16 = 0;
    std::uint8_t a8 = 0;
    switch (e) {
    case Export::Counts2Volts: a32 = in.I32(); a16 = in.I16(); b16 = in.I16(); break;
    case Export::SetDigOut: a32 = in.I32(); break;
    case Export::SetFilter: a16 = in.I16(); break;
    case Export::WriteCntr: a32 = in.I32(); b32 = in.I32(); break;
    case Export::FilterDelay: a16 = in.I16(); break;
    case Export::RemoveFromBuffer: a32 = in.I32(); break;
    case Export::SetComHandle: a8 = in.U8(); a32 = in.I32(); break;
    default: break;
    }

    // The scan buffer's room for this call; everything past it is poisoned.
    std::int64_t room = 0;
    bool takesBuffer = e == Export::GetOneScan || e == Export::Gconv || e == Export::RemoveFromBuffer;
    if (e == Export::GetOneScan) {
        std::int64_t scan = bounds::BytesPerScan(r);
        room = countBefore + std::max<std::int64_t>(scan, 0);
        if (scan > Capacity / 2 || room > Capacity) return true; // beyond any caller's buffer
    } else if (takesBuffer) {
        room = countBefore;
    }
    room = std::max<std::int64_t>(room, 3); // Gconv reads three elements whatever the count
    PoisonFrom(takesBuffer ? room : 0);

    std::int64_t start = virt::Now();
    fuzz::FuzzPeer::CutAt = bound < BudgetMs ? start + static_cast<std::int64_t>(bound) + 1000
                                             : start + BudgetMs;
    long status = 0;
    double value = 0, maxTime = std::nan("1"), minTime = std::nan("2");
    SadcHandle handle = nullptr;
    try {
        switch (e) {
        case Export::SignOn: status = SignOn(&r); break;
        case Export::RemoteAvg: status = RemoteAvg(&r); break;
        case Export::FullScaleCal: status = FullScaleCal(&r); break;
        case Export::OffsetCal: status = OffsetCal(&r); break;
        case Export::SysCal: status = SysCal(&r); break;
        case Export::Counts2Volts: value = Counts2Volts(a32, a16, b16); break;
        case Export::GetDigIn: status = GetDigIn(&r); break;
        case Export::SetDigOut: status = SetDigOut(a32); break;
        case Export::GetVer: status = GetVer(&r); break;
        case Export::GetConversion: status = GetConversion(&r); break;
        case Export::SetChanCode: status = SetChanCode(&r); break;
        case Export::StartScanning: status = StartScanning(&r); break;
        case Export::GetOneScan: status = GetOneScan(&r, Buf); break;
        case Export::StopScanning: status = StopScanning(&r); break;
        case Export::Gconv: Gconv(&r, Buf); break;
        case Export::RemoveFromBuffer: RemoveFromBuffer(a32, Buf); break;
        case Export::SetFilter: status = SetFilter(a16); break;
        case Export::SendADMode: status = SendADMode(&r); break;
        case Export::GetCheckSum: status = GetCheckSum(); break;
        case Export::CloseDevice: status = CloseDevice(); break;
        case Export::GotoSleep: status = GotoSleep(); break;
        case Export::WriteCntr: status = WriteCntr(&r, a32, b32); break;
        case Export::FilterDelay: status = FilterDelay(a16); break;
        case Export::CheckScanTime: status = CheckScanTime(&r, &maxTime, &minTime); break;
        case Export::GetComHandle: status = 0; value = 0; handle = GetComHandle(&run.LastHandle);
            if (handle != run.LastHandle) Fail("GetComHandle", "result and stored handle differ");
            break;
        case Export::SetComHandle: {
            SadcHandle h = SADC_INVALID_HANDLE;
            switch (a8 % 4) {
            case 0: break;
            case 1: h = run.LastHandle; break;
            case 2: h = reinterpret_cast<SadcHandle>(virt::OpenHandle("COM" + std::to_string(1 + (a32 & 15)))); break;
            default: h = reinterpret_cast<SadcHandle>(static_cast<std::intptr_t>(a32)); break;
            }
            SetComHandle(h);
            if (reinterpret_cast<SadcHandle>(Module.PortTable[Module.CurrentPort]) != h)
                Fail("SetComHandle", "the slot does not hold the handle");
            break;
        }
        }
    } catch (const fuzz::CallCut&) {
        if (bound < BudgetMs)
            Fail("call outlasted its bound", std::string(name) + " ran past " + std::to_string(bound) + " ms");
        return false;
    }
    fuzz::FuzzPeer::CutAt = INT64_MAX;
    double took = static_cast<double>(virt::Now() - start);
    if (Trace)
        std::fprintf(stderr, "%-16s status %ld  %.0f ms (bound %.0f ms)  ScanCount %d\n", name, status, took,
                     bound, Module.ScanCount);
    if (took > bound)
        Fail("call outlasted its bound", std::string(name) + " took " + std::to_string(took) +
                                             " ms, bound " + std::to_string(bound) + " ms");

    // Nothing outside the room changed; whatever it holds are bytes.
    ASAN_UNPOISON_MEMORY_REGION(Buf, sizeof Buf);
    std::int64_t from = takesBuffer ? room : 0;
    if (std::memcmp(Buf + from, Shadow + from, sizeof(std::int32_t) * static_cast<std::size_t>(Capacity + GuardElems - from)) != 0)
        Fail("scan buffer written outside its room", name);
    // Every valid element came from the line, so it is a byte.
    for (std::int32_t i = 0; i < Module.ScanCount && i < Capacity; ++i)
        if (Buf[i] < 0 || Buf[i] > 255) Fail("valid scan element not a byte", name);

    CheckWrites(e, before, r);
    CheckModule(name);

    switch (e) {
    case Export::CloseDevice: CheckStatus(e, status, 1, 1); break;
    case Export::CheckScanTime:
        CheckStatus(e, status, 0, 2);
        if (Bits(maxTime) == Bits(std::nan("1")) || Bits(minTime) == Bits(std::nan("2")))
            Fail("CheckScanTime", "a limit not written");
        if (status != 0 && !(minTime <= r.ScanTime && r.ScanTime <= maxTime))
            Fail("CheckScanTime", "accepted a ScanTime outside its limits");
        if (r.AvgCount != before.AvgCount && r.AvgCount != before.AvgCount / 2)
            Fail("CheckScanTime", "AvgCount changed other than by halving");
        if (status == 2 && r.AvgCount != before.AvgCount / 2)
            Fail("CheckScanTime", "result 2 without halving AvgCount");
        break;
    case Export::FilterDelay:
        // It returns the clock reading that ended its wait: 8.5 s for 0, else 0.5 s.
        if (status != static_cast<std::int32_t>(static_cast<std::uint32_t>(virt::Now())))
            Fail("FilterDelay", "returned " + std::to_string(status) + ", not the clock reading");
        if (took != (a16 == 0 ? 8500.0 : 500.0)) Fail("FilterDelay", "waited " + std::to_string(took) + " ms");
        break;
    case Export::Counts2Volts:
        if (!std::isfinite(value)) Fail("Counts2Volts", "not finite");
        if ((a16 == 2 && a32 >= 0 && a32 <= 0xFFFF) || (a16 == 3 && a32 >= 0 && a32 <= 0xFFFFFF))
            if (value < -5000.0 || value >= 5000.0) Fail("Counts2Volts", "outside the 5000 scale");
        break;
    case Export::Gconv:
    case Export::RemoveFromBuffer:
    case Export::GetComHandle:
    case Export::SetComHandle: break;
    default: CheckStatus(e, status, 0, 1); break;
    }

    switch (e) {
    case Export::SignOn:
        if (before.ComPort >= 0 && before.ComPort < PortSlots && before.SpeedIndex >= 0 && before.SpeedIndex <= 5) {
            if (Module.CurrentPort != before.ComPort) Fail("SignOn", "CurrentPort is not ComPort");
            if (HandleOpen(Module.PortTable[Module.CurrentPort]) != (status == 1))
                Fail("SignOn", status ? "signed on without an open port" : "failed and left the port open");
        }
        if (status == 1) {
            if (Module.ScanCount != 0) Fail("SignOn", "ScanCount not reset");
            if (Module.ReplyTimeout < 2.0) Fail("SignOn", "ReplyTimeout below 2 s");
        }
        break;
    case Export::CloseDevice:
        if (HandleOpen(Module.PortTable[Module.CurrentPort])) Fail("CloseDevice", "port left open");
        break;
    case Export::GetDigIn:
        if (status == 1 && (r.DigIn < 0 || r.DigIn > 255)) Fail("GetDigIn", "DigIn not a byte");
        if (status == 0 && r.DigIn != before.DigIn) Fail("GetDigIn", "failed but wrote DigIn");
        break;
    case Export::GetVer:
        if (status == 1 && (r.Version < 0 || r.Version > 255)) Fail("GetVer", "Version not a byte");
        if (status == 0 && r.Version != before.Version) Fail("GetVer", "failed but wrote Version");
        break;
    case Export::GetConversion:
        if (status == 1) {
            std::int32_t top = r.ConvBytes == 3 ? 0xFFFFFF : 0xFFFF;
            if (r.ErrorCode != before.ErrorCode) Fail("GetConversion", "succeeded but wrote ErrorCode");
            if (r.Counts < 0 || r.Counts > top) Fail("GetConversion", "Counts out of range");
            if (!std::isfinite(r.ScaledValue)) Fail("GetConversion", "ScaledValue not finite");
        } else {
            // A word length the reply buffer cannot hold is refused before
            // anything is sent, with no cause stored.
            bool refused = before.ConvBytes != 2 && before.ConvBytes != 3;
            if (refused && r.ErrorCode != before.ErrorCode) Fail("GetConversion", "refused but wrote ErrorCode");
            if (!refused && (r.ErrorCode < 0 || r.ErrorCode > 255)) Fail("GetConversion", "ErrorCode not a byte");
            if (r.Counts != before.Counts || std::memcmp(&r.ScaledValue, &before.ScaledValue, 8) != 0)
                Fail("GetConversion", "failed but wrote the conversion");
        }
        break;
    case Export::GetOneScan:
        if (status == 1 && r.ErrorCode != before.ErrorCode) Fail("GetOneScan", "succeeded but wrote ErrorCode");
        // A scan geometry of no bytes is refused with no cause stored.
        if (status == 0 && bounds::BytesPerScan(before) < 1) {
            if (r.ErrorCode != before.ErrorCode) Fail("GetOneScan", "refused but wrote ErrorCode");
        } else if (status == 0) {
            std::int32_t c = r.ErrorCode;
            if (c != 1 && c != 2 && c != 3 && c != 10)
                Fail("GetOneScan", "failed with ErrorCode " + std::to_string(c));
        }
        if (Module.ScanCount > room) Fail("GetOneScan", "ScanCount beyond the room");
        break;
    case Export::Gconv:
        if (countBefore >= 3 && (before.ConvBytes == 2 || before.ConvBytes == 3) &&
            (r.Counts < 0 || r.Counts > 0xFFFFFF))
            Fail("Gconv", "Counts out of range");
        if (!std::isfinite(r.ScaledValue)) Fail("Gconv", "ScaledValue not finite");
        break;
    case Export::SysCal:
        if (status == 1 && r.Gain != before.Gain) Fail("SysCal", "succeeded without putting Gain back");
        if (r.Gain != before.Gain && r.Gain != 1) Fail("SysCal", "Gain neither the caller's nor 1");
        break;
    case Export::SendADMode:
    case Export::StartScanning:
    case Export::StopScanning:
        break;
    default: break;
    }
    if (Module.ScanCount > std::max<std::int64_t>(room, countBefore))
        Fail("ScanCount grew beyond the buffer's room", name);
    std::memcpy(Shadow, Buf, sizeof Buf);
    PoisonFrom(0);
    return true;
}

void Extra(Run& run, int op, Reader& in) {
    switch (op) {
    case PokeRecord: {
        // The application changes a byte of its record between calls.
        std::uint8_t off = in.U8(), v = in.U8();
        reinterpret_cast<std::uint8_t*>(&G.Rec)[off % sizeof(DeviceRecord)] = v;
        break;
    }
    case PortFault: {
        std::uint8_t k = in.U8();
        for (virt::Port* p : run.Ports) {
            switch (k % 4) {
            case 0: p->WriteStuck = !p->WriteStuck; break;
            case 1: p->FailOpen = !p->FailOpen; break;
            case 2: p->FailConfigure = !p->FailConfigure; break;
            default: p->ReportedOutQueue = p->ReportedOutQueue ? 0 : 4096; break;
            }
        }
        break;
    }
    case PassTime: virt::AdvanceBy(static_cast<std::int64_t>(in.Take(2)) * 10); break;
    case Noise: {
        std::uint8_t n = in.U8() % 16;
        virt::Port* p = virt::PortOf(Module.PortTable[Module.CurrentPort]);
        for (int i = 0; i < n; ++i) {
            std::uint8_t b = in.U8();
            if (p) p->Send(b, virt::Now());
        }
        break;
    }
    default: break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t Head = 1 + sizeof(DeviceRecord) + 1;
    if (size < Head) return 0;
    std::uint8_t flags = data[0];

    ASAN_UNPOISON_MEMORY_REGION(&G, sizeof G);
    std::memset(G.Before, GuardByte, sizeof G.Before);
    std::memset(G.After, GuardByte, sizeof G.After);
    std::memcpy(&G.Rec, data + 1, sizeof(DeviceRecord));
    if (!(flags & 1)) {
        G.Rec.AvgCount %= 1024;
        if (!(std::fabs(G.Rec.ScanTime) <= 100.0)) G.Rec.ScanTime = 0.25;
    }
    ASAN_POISON_MEMORY_REGION(G.Before, sizeof G.Before);
    ASAN_POISON_MEMORY_REGION(G.After, sizeof G.After);
    ASAN_UNPOISON_MEMORY_REGION(Buf, sizeof Buf);
    for (std::int32_t& e : Buf) e = Stale;

    // Reading the calls fixes where the tape begins.
    std::size_t calls = data[Head - 1];
    Reader scan{data + Head, size - Head};
    struct Op { int Code; std::size_t At; };
    std::vector<Op> ops;
    for (std::size_t i = 0; i < calls && scan.Pos < scan.N; ++i) {
        int op = scan.U8() % OpCount;
        ops.push_back({op, scan.Pos});
        static const int argBytes[OpCount] = {
            0, 0, 0, 0, 0, 8, 0, 4, 0, 0, 0, 0, 0, 0, 0, 4, 2, 0, 0, 0, 0, 8, 2, 0, 0, 5,
            2, 1, 2, 0};
        if (op == Noise) scan.Pos += 1 + (scan.Pos < scan.N ? data[Head + scan.Pos] % 16 : 0);
        else scan.Pos += argBytes[op];
    }

    Run run;
    std::size_t tapeAt = std::min(size, Head + scan.Pos);
    run.Tape = fuzz::Tape{data + tapeAt, size - tapeAt, 0};
#if defined(SADCLINK_FUZZ_GUARDS)
    ASAN_UNPOISON_MEMORY_REGION(Module.ReplyGuard, sizeof Module.ReplyGuard);
#endif
    virt::Install((flags & 2) ? 0xFFFFF000u : 0u);
#if defined(SADCLINK_FUZZ_GUARDS)
    ASAN_POISON_MEMORY_REGION(Module.ReplyGuard, sizeof Module.ReplyGuard);
#endif
    // COM2 (slot 1, the current slot at load) and the record's own port: a
    // port the record comes to name later does not exist, as on a machine.
    for (int slot : {1, static_cast<int>(G.Rec.ComPort)}) {
        if (slot < 0 || slot >= PortSlots || virt::FindPort("COM" + std::to_string(slot + 1))) continue;
        run.Peers.push_back(std::make_unique<fuzz::FuzzPeer>(run.Tape, &G.Rec));
        run.Ports.push_back(&virt::AddPort("COM" + std::to_string(slot + 1), run.Peers.back().get()));
    }
    std::memcpy(Shadow, Buf, sizeof Buf); // kept equal to Buf between calls
    PoisonFrom(0);

    const DeviceRecord original = G.Rec;
    std::uint8_t reserved[3][4];
    std::memcpy(reserved[0], original.Reserved1, 2);
    std::memcpy(reserved[1], original.Reserved2, 4);
    std::memcpy(reserved[2], original.Reserved4, 2);

    for (const Op& op : ops) {
        Reader in{data + Head, size - Head, op.At};
        if (op.Code < bounds::ExportCount) {
            if (!Call(run, static_cast<Export>(op.Code), in)) break;
        } else {
            Extra(run, op.Code, in);
            std::memcpy(reserved[0], G.Rec.Reserved1, 2);
            std::memcpy(reserved[1], G.Rec.Reserved2, 4);
            std::memcpy(reserved[2], G.Rec.Reserved4, 2);
        }
        if (std::memcmp(reserved[0], G.Rec.Reserved1, 2) || std::memcmp(reserved[1], G.Rec.Reserved2, 4) ||
            std::memcmp(reserved[2], G.Rec.Reserved4, 2))
            Fail("reserved area written", "");
    }
    fuzz::FuzzPeer::CutAt = INT64_MAX;

    ASAN_UNPOISON_MEMORY_REGION(&G, sizeof G);
    for (std::uint8_t b : G.Before) if (b != GuardByte) Fail("written before the record", "");
    for (std::uint8_t b : G.After) if (b != GuardByte) Fail("written after the record", "");
#if defined(SADCLINK_FUZZ_GUARDS)
    ASAN_UNPOISON_MEMORY_REGION(Module.ReplyGuard, sizeof Module.ReplyGuard);
    for (std::uint8_t b : Module.ReplyGuard) if (b != 0) Fail("written past ReplyBuffer", "");
#endif
    ASAN_UNPOISON_MEMORY_REGION(Buf, sizeof Buf);
    virt::Uninstall();
    return 0;
}
