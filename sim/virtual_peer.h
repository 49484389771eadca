// The virtual instrument as the instrument side of a virtual port, for
// in-process tests of the library on the virtual clock.
//
//   sim::InstrumentPeer peer;            // powered up with the default config
//   virt::AddPort("COM1", &peer);
//   SignOn(&record);                     // the whole exchange, in microseconds
//
// The port's line speed, its opening and closing reach the instrument as the
// host's speed (closed: nothing reaches the host).
#pragma once

#include "platform/virtual_platform.h"
#include "sim/instrument.h"

namespace sadc::sim {

struct InstrumentPeer : virt::Peer {
    InstrumentPeer();
    explicit InstrumentPeer(const Config& cfg);

    void OnHostByte(virt::Port& port, std::uint8_t b, std::int64_t t) override;
    void OnOpen(virt::Port& port, std::int64_t t) override;
    void OnLine(virt::Port& port, std::int32_t baud, std::int64_t t) override;
    void OnClose(virt::Port& port, std::int64_t t) override;
    std::int64_t NextOutputTime() const override;
    void Advance(virt::Port& port, std::int64_t now) override;

    Instrument Inst;
    // When set, every byte that reached the host, in order, with its time.
    bool KeepDelivered = false;
    std::vector<OutByte> Delivered;

private:
    std::vector<OutByte> Scratch;
};

} // namespace sadc::sim
