// An instrument for the fuzzer: it follows the protocol far enough to know
// what a proper answer would be (the wake-up reply, the speed and mode echoes,
// command echoes, data, a scan stream), and at every point where it could
// answer it lets the fuzzer's bytes decide: the proper answer, silence, a
// corrupted answer, noise instead, extra bytes, and when they arrive.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/virtual_platform.h"
#include "sadclink.h"

namespace sadc::fuzz {

// The fuzzer's bytes for the instrument, read front to back. Once they run
// out the instrument answers properly and at once, so short inputs still
// reach deep into the protocol.
struct Tape {
    const std::uint8_t* Data = nullptr;
    std::size_t Size = 0, Pos = 0;
    bool Empty() const { return Pos >= Size; }
    std::uint8_t Next(std::uint8_t whenEmpty = 0) { return Empty() ? whenEmpty : Data[Pos++]; }
};

// Thrown out of a wait when one call has run longer than the harness lets it
// run (its bound being longer still); the input ends there.
struct CallCut {};

class FuzzPeer : public virt::Peer {
public:
    FuzzPeer(Tape& tape, const DeviceRecord* record) : T(tape), Rec(record) {}

    void OnOpen(virt::Port&, std::int64_t) override;
    void OnLine(virt::Port&, std::int32_t baud, std::int64_t) override;
    void OnClose(virt::Port&, std::int64_t) override;
    void OnHostByte(virt::Port& port, std::uint8_t b, std::int64_t t) override;
    std::int64_t NextOutputTime() const override;
    void Advance(virt::Port& port, std::int64_t now) override;

    // Set by the harness around each call: past CutAt a wait throws CallCut.
    static std::int64_t CutAt;
    // Caps on what one input may make the instrument send.
    static constexpr std::size_t MaxQueued = 1 << 16;
    static constexpr int MaxScans = 2000;

private:
    enum class State { Wake, Speed, SpeedAgreed, Sync, Mode, Timer, Command, ADModeFrames };

    void Answer(virt::Port& port, std::vector<std::uint8_t> proper, std::int64_t t);
    void Queue(virt::Port& port, const std::vector<std::uint8_t>& bytes, std::int64_t t, std::int64_t gap);
    void Frame(virt::Port& port, std::int64_t t);
    void EmitScan(virt::Port& port, std::int64_t t);
    int DataBytes() const;

    Tape& T;
    const DeviceRecord* Rec;
    State St = State::Wake;
    std::vector<std::uint8_t> Got; // bytes of the frame or block being collected
    std::uint8_t Sum = 0;          // bytes sent since the host last reset its checksum
    std::uint8_t Version = 0;
    bool Scanning = false;
    std::uint8_t ScanCmd = 0;
    std::int64_t NextScan = 0, ScanEvery = 1;
    int Scans = 0;
    std::uint32_t Rng = 1;
    std::size_t Queued = 0;
};

} // namespace sadc::fuzz
