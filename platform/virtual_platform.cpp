#include "platform/virtual_platform.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>

#include "interface/module_state.h"

namespace sadc::virt {
namespace {

struct World {
    std::uint32_t StartTick = 0;
    std::int64_t Now = 0;
    std::vector<std::unique_ptr<Port>> Ports;
    std::map<PortHandle, Port*> Handles;
    PortHandle NextHandle = 0x100;
    Counters Count;
};

World& W() {
    static World world;
    return world;
}

void AdvancePeers() {
    for (auto& p : W().Ports)
        if (p->Instrument) p->Instrument->Advance(*p, W().Now);
}

void Record(Port& p, EventKind k, std::int32_t v = 0) {
    p.Events.push_back(Event{k, W().Now, v});
}

std::uint32_t VTickCount() { return W().StartTick + static_cast<std::uint32_t>(W().Now); }

void VPeekMessages() { ++W().Count.Peeks; }

void VSleep(std::uint32_t ms) {
    ++W().Count.Sleeps;
    AdvanceTo(W().Now + ms);
}

void VWaitInput(PortHandle h, std::uint32_t ms) {
    ++W().Count.Waits;
    std::int64_t end = W().Now + ms;
    Port* p = PortOf(h);
    if (p) {
        if (p->Instrument) p->Instrument->Advance(*p, W().Now);
        if (!p->ToHost.empty() && p->ToHost.front().TimeMs <= W().Now) return; // input waiting
        if (!p->ToHost.empty()) end = std::min(end, p->ToHost.front().TimeMs);
        if (p->Instrument) end = std::min(end, p->Instrument->NextOutputTime());
    }
    // Time always moves in a wait, so no loop of the library can stall on a
    // peer that promises output and gives none.
    AdvanceTo(std::max(end, W().Now + 1));
}

PortHandle VOpenPort(const char* name) {
    Port* p = FindPort(name);
    if (!p || p->FailOpen || p->Open) return InvalidHandle;
    return OpenHandle(name);
}

int VConfigureLine(PortHandle h, const char* mode, std::int32_t baud) {
    Port* p = PortOf(h);
    if (!p) return 0;
    Record(*p, EventKind::Configure, baud);
    if (p->FailConfigure) return 0;
    p->LastMode = mode ? mode : "";
    p->Baud = baud;
    if (p->Instrument) p->Instrument->OnLine(*p, baud, W().Now);
    return 1;
}

int VSetQueueSizes(PortHandle h, std::int32_t in, std::int32_t out) {
    Port* p = PortOf(h);
    if (!p) return 0;
    Record(*p, EventKind::QueueSizes, in);
    if (p->FailQueueSizes) return 0;
    p->InQueue = in;
    p->OutQueue = out;
    return 1;
}

int VSetReadTimeouts(PortHandle h) {
    Port* p = PortOf(h);
    if (!p) return 0;
    Record(*p, EventKind::Timeouts);
    return p->FailTimeouts ? 0 : 1;
}

int VWriteByte(PortHandle h, std::uint8_t b) {
    ++W().Count.Writes;
    Port* p = PortOf(h);
    if (!p || p->WriteStuck) return 0;
    p->FromHost.push_back(WireByte{W().Now, b});
    Record(*p, EventKind::Write, b);
    if (p->Instrument) p->Instrument->OnHostByte(*p, b, W().Now);
    return 1;
}

int VReadByte(PortHandle h, std::uint8_t* b) {
    ++W().Count.Reads;
    Port* p = PortOf(h);
    if (!p) return 0;
    if (p->Instrument) p->Instrument->Advance(*p, W().Now);
    if (p->ToHost.empty() || p->ToHost.front().TimeMs > W().Now) return 0;
    *b = p->ToHost.front().Value;
    p->ToHost.pop_front();
    return 1;
}

void VPurge(PortHandle h, std::uint32_t flags) {
    Port* p = PortOf(h);
    if (!p) return;
    Record(*p, EventKind::Purge, static_cast<std::int32_t>(flags));
    // Only what has arrived is in the driver's queue; later bytes are still
    // on the line.
    if (flags & PurgeRxClear)
        while (!p->ToHost.empty() && p->ToHost.front().TimeMs <= W().Now) p->ToHost.pop_front();
}

void VQueryStatus(PortHandle h, CommStatusBlock* s) {
    *s = CommStatusBlock{};
    Port* p = PortOf(h);
    if (!p) return;
    if (p->Instrument) p->Instrument->Advance(*p, W().Now);
    s->cbInQue = p->Waiting(W().Now);
    s->cbOutQue = p->ReportedOutQueue;
}

int VDrainOutput(PortHandle h, std::uint32_t ms) {
    Port* p = PortOf(h);
    if (!p) return 0;
    Record(*p, EventKind::Drain, static_cast<std::int32_t>(ms));
    if (p->ReportedOutQueue == 0) return 1;
    AdvanceTo(W().Now + ms);
    return 0;
}

void VClosePort(PortHandle h) {
    auto it = W().Handles.find(h);
    if (it == W().Handles.end()) return;
    Port* p = it->second;
    W().Handles.erase(it);
    p->Open = false;
    Record(*p, EventKind::Close);
    if (p->Instrument) p->Instrument->OnClose(*p, W().Now);
}

} // namespace

const PlatformOps VirtualPlatform = {
    VTickCount,   VPeekMessages,  VSleep,         VWaitInput,
    VOpenPort,    VConfigureLine, VSetQueueSizes, VSetReadTimeouts,
    VWriteByte,   VReadByte,      VPurge,         VQueryStatus,
    VDrainOutput, VClosePort,
};

void Port::Send(std::uint8_t b, std::int64_t t) {
    if (!ToHost.empty()) t = std::max(t, ToHost.back().TimeMs);
    ToHost.push_back(WireByte{t, b});
}

void Port::Send(const std::vector<std::uint8_t>& bytes, std::int64_t t, std::int64_t gapMs) {
    for (std::size_t i = 0; i < bytes.size(); ++i)
        Send(bytes[i], t + static_cast<std::int64_t>(i) * gapMs);
}

std::uint32_t Port::Waiting(std::int64_t now) const {
    std::uint32_t n = 0;
    for (const WireByte& w : ToHost) {
        if (w.TimeMs > now) break;
        ++n;
    }
    return n;
}

void Install(std::uint32_t startTick) {
    World& w = W();
    w.StartTick = startTick;
    w.Now = 0;
    w.Ports.clear();
    w.Handles.clear();
    w.NextHandle = 0x100;
    w.Count = Counters{};
    Platform = &VirtualPlatform;
    ModuleLoad();
}

void Uninstall() {
    Platform = &NativePlatform;
    W().Ports.clear();
    W().Handles.clear();
    ModuleLoad();
}

std::int64_t Now() { return W().Now; }
std::uint32_t TickNow() { return VTickCount(); }

void AdvanceTo(std::int64_t t) {
    if (t > W().Now) W().Now = t;
    AdvancePeers();
}

void AdvanceBy(std::int64_t ms) { AdvanceTo(W().Now + ms); }

Port& AddPort(const std::string& name, Peer* instrument) {
    auto p = std::make_unique<Port>();
    p->Name = name;
    p->Instrument = instrument;
    W().Ports.push_back(std::move(p));
    return *W().Ports.back();
}

Port* FindPort(const std::string& name) {
    for (auto& p : W().Ports)
        if (p->Name == name) return p.get();
    return nullptr;
}

PortHandle OpenHandle(const std::string& name) {
    Port* p = FindPort(name);
    if (!p) return InvalidHandle;
    PortHandle h = W().NextHandle++;
    W().Handles[h] = p;
    p->Open = true;
    Record(*p, EventKind::Open);
    if (p->Instrument) p->Instrument->OnOpen(*p, W().Now);
    return h;
}

Port* PortOf(PortHandle h) {
    auto it = W().Handles.find(h);
    return it == W().Handles.end() ? nullptr : it->second;
}

Counters& Count() { return W().Count; }

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
        if (i) s += ' ';
        s += buf;
    }
    return s;
}

std::vector<std::uint8_t> Values(const std::vector<WireByte>& bytes) {
    std::vector<std::uint8_t> v;
    v.reserve(bytes.size());
    for (const WireByte& b : bytes) v.push_back(b.Value);
    return v;
}

} // namespace sadc::virt
