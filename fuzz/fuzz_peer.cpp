#include "fuzz_peer.h"

#include <algorithm>

#include "../tests/call_bounds.h"

namespace sadc::fuzz {

std::int64_t FuzzPeer::CutAt = INT64_MAX;

int FuzzPeer::DataBytes() const {
    return std::clamp<int>(Rec->ConvBytes, 1, 8);
}

void FuzzPeer::OnOpen(virt::Port&, std::int64_t) {
    // A re-open at the agreed speed keeps the sign-on going; any other open
    // finds the instrument waiting for its wake-up.
    if (St != State::SpeedAgreed) St = State::Wake;
    Scanning = false;
    Got.clear();
}

void FuzzPeer::OnLine(virt::Port&, std::int32_t, std::int64_t) {
    if (St == State::SpeedAgreed) St = State::Sync;
}

void FuzzPeer::OnClose(virt::Port&, std::int64_t) { Scanning = false; }

void FuzzPeer::Queue(virt::Port& port, const std::vector<std::uint8_t>& bytes, std::int64_t t,
                     std::int64_t gap) {
    for (std::size_t i = 0; i < bytes.size() && Queued < MaxQueued; ++i, ++Queued) {
        port.Send(bytes[i], t + static_cast<std::int64_t>(i) * gap);
        Sum = static_cast<std::uint8_t>(Sum + bytes[i]);
    }
}

// One answer, shaped by one byte of the tape:
//   bits 0-2: 0-3 proper, 4 silence, 5 one byte flipped, 6 noise instead, 7 noise first
//   bits 3-4: delay none, up to 255 ms, up to 5.1 s, up to 655 s
//   bit 5:    a gap between the bytes
//   bits 6-7: 2 drops one byte, 3 repeats one
void FuzzPeer::Answer(virt::Port& port, std::vector<std::uint8_t> proper, std::int64_t t) {
    std::uint8_t a = T.Next(0);
    std::vector<std::uint8_t> out;
    switch (a & 7) {
    case 4: break;
    case 5:
        out = proper;
        if (!out.empty()) out[T.Next() % out.size()] ^= static_cast<std::uint8_t>(T.Next(1) | 1);
        break;
    case 6:
        for (int n = T.Next() % 8; n > 0; --n) out.push_back(T.Next());
        break;
    case 7:
        for (int n = 1 + T.Next() % 4; n > 0; --n) out.push_back(T.Next());
        out.insert(out.end(), proper.begin(), proper.end());
        break;
    default: out = proper; break;
    }
    std::int64_t delay = 0;
    switch ((a >> 3) & 3) {
    case 1: delay = T.Next(); break;
    case 2: delay = T.Next() * 20; break;
    case 3: delay = (T.Next() | (T.Next() << 8)) * 10; break;
    default: break;
    }
    std::int64_t gap = (a & 0x20) ? T.Next() % 64 : 0;
    if (!out.empty() && (a >> 6) == 2) out.erase(out.begin() + T.Next() % out.size());
    if (!out.empty() && (a >> 6) == 3) {
        std::size_t i = T.Next() % out.size();
        out.insert(out.begin() + static_cast<long>(i), out[i]);
    }
    Queue(port, out, t + delay, gap);
}

void FuzzPeer::Frame(virt::Port& port, std::int64_t t) {
    std::uint8_t code = Got[0];
    Got.clear();
    std::vector<std::uint8_t> reply;
    switch (code) {
    case 0x80: reply = {0x80, T.Next()}; break;
    case 0x81:
    case 0x82:
    case 0x83:
        reply.push_back(code);
        for (int i = 0; i < DataBytes(); ++i) reply.push_back(T.Next());
        break;
    case 0x84:
        reply = {0x84};
        St = State::ADModeFrames;
        break;
    case 0x86:
        Version = T.Next(101);
        reply = {0x86, Version};
        break;
    case 0x87: {
        // The checksum byte c makes 2c equal the host's sum, which includes
        // the echo and c itself.
        std::uint8_t c = static_cast<std::uint8_t>(Sum + 0x87);
        Answer(port, {0x87, c}, t);
        Sum = 0;
        return;
    }
    case 0x88: reply = {0x80}; break;
    case 0x89:
    case 0x8B:
    case 0x8C: {
        reply = {code};
        Scanning = true;
        ScanCmd = code;
        double every = Rec->ScanTime * 1000.0;
        ScanEvery = (every >= 1.0 && every <= 60000.0) ? static_cast<std::int64_t>(every) : 100;
        if (std::uint8_t b = T.Next(0)) ScanEvery = b * 8;
        NextScan = t + ScanEvery;
        break;
    }
    case 0x8A:
        Scanning = false;
        reply = {0x8A};
        break;
    default: break;
    }
    Answer(port, reply, t);
}

void FuzzPeer::OnHostByte(virt::Port& port, std::uint8_t b, std::int64_t t) {
    switch (St) {
    case State::Wake:
        if (b == 0x00) Answer(port, {0x03}, t);
        if (b == 0x88) {
            Sum = 0;
            St = State::Speed;
            Answer(port, {}, t);
        }
        break;
    case State::Speed:
        St = State::SpeedAgreed;
        Answer(port, {b}, t);
        break;
    case State::SpeedAgreed: break;
    case State::Sync:
        St = State::Mode;
        Got.clear();
        if (b != 0x00) Got.push_back(b);
        break;
    case State::Mode:
        Got.push_back(b);
        if (Got.size() == 12) {
            std::vector<std::uint8_t> echo = {Got[0], Got[1], Got[3]};
            Got.clear();
            St = State::Timer;
            Answer(port, echo, t);
        }
        break;
    case State::Timer:
        Got.push_back(b);
        if (Got.size() == 15) {
            Got.clear();
            St = State::Command;
        }
        break;
    case State::Command:
        Got.push_back(b);
        if (Got.size() == 3) Frame(port, t);
        break;
    case State::ADModeFrames:
        Got.push_back(b);
        if (Got.size() == 6) {
            std::vector<std::uint8_t> echo = {Got[0], Got[1], Got[3]};
            Got.clear();
            St = State::Command;
            Answer(port, echo, t);
        }
        break;
    }
}

std::int64_t FuzzPeer::NextOutputTime() const { return Scanning ? NextScan : INT64_MAX; }

// One scan, shaped by one byte of the tape: bits 0-2 give 0-4 proper, 5 a
// missing scan, 6 a wrong lead byte, 7 a short scan; bit 3 spaces the bytes
// 1 ms apart, as a 9600-baud line does.
void FuzzPeer::EmitScan(virt::Port& port, std::int64_t t) {
    std::uint8_t c = T.Next(0);
    if (++Scans >= MaxScans) Scanning = false;
    if ((c & 7) == 5) return;
    DeviceRecord r = *Rec;
    r.ScanMode = ScanCmd == 0x8B ? 0 : ScanCmd == 0x8C ? 2 : 1;
    std::int64_t n = std::clamp<std::int64_t>(bounds::BytesPerScan(r), 1, 1024);
    std::vector<std::uint8_t> scan;
    Rng = Rng * 1103515245u + 12345u + T.Next();
    for (std::int64_t i = 0; i < n; ++i) {
        Rng = Rng * 1103515245u + 12345u;
        scan.push_back(static_cast<std::uint8_t>(Rng >> 16));
    }
    if (r.ScanMode != 0) scan[0] = 0xF0;
    if ((c & 7) == 6) scan[0] = static_cast<std::uint8_t>(T.Next() | 1);
    if ((c & 7) == 7) scan.resize(T.Next() % scan.size());
    Queue(port, scan, t, (c & 8) ? 1 : 0);
}

void FuzzPeer::Advance(virt::Port& port, std::int64_t now) {
    if (now > CutAt) throw CallCut{};
    while (Scanning && NextScan <= now) {
        EmitScan(port, NextScan);
        NextScan += ScanEvery;
    }
}

} // namespace sadc::fuzz
