#include "sim/virtual_peer.h"

namespace sadc::sim {

InstrumentPeer::InstrumentPeer() { PowerUp(Inst, Config{}); }

InstrumentPeer::InstrumentPeer(const Config& cfg) { PowerUp(Inst, cfg); }

void InstrumentPeer::OnHostByte(virt::Port& port, std::uint8_t b, std::int64_t t) {
    Advance(port, t);
    Feed(Inst, b, t);
}

void InstrumentPeer::OnOpen(virt::Port& port, std::int64_t t) {
    // A port opens at the speed it was last set to, until the host sets it.
    Advance(port, t);
    SetHostBaud(Inst, port.Baud, t);
}

void InstrumentPeer::OnLine(virt::Port& port, std::int32_t baud, std::int64_t t) {
    Advance(port, t);
    SetHostBaud(Inst, baud, t);
}

void InstrumentPeer::OnClose(virt::Port& port, std::int64_t t) {
    Advance(port, t);
    SetHostBaud(Inst, 0, t);
}

std::int64_t InstrumentPeer::NextOutputTime() const { return sim::NextOutputTime(Inst); }

void InstrumentPeer::Advance(virt::Port& port, std::int64_t now) {
    Scratch.clear();
    TakeOutput(Inst, now, Scratch);
    for (const OutByte& b : Scratch) {
        port.Send(b.Value, b.TimeMs);
        if (KeepDelivered) Delivered.push_back(b);
    }
}

} // namespace sadc::sim
