// The virtual platform: a virtual millisecond clock and in-process serial
// ports, so the whole protocol runs in microseconds with every byte seen.
//
// Time only moves when the library waits (Sleep, WaitInput) or when a test
// moves it. WaitInput jumps to the next byte the instrument side will deliver
// or to the end of the wait, whichever is first, so a 12 s wait is one step.
//
// The instrument side of a port is a Peer. The library's writes reach it at
// the virtual time they are made; it answers by queueing bytes that arrive at
// times of its choosing, and may produce bytes of its own accord (a scan
// stream) through NextOutputTime/Advance.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace sadc::virt {

struct Port;

struct Peer {
    virtual ~Peer() = default;
    // The library wrote b at time t.
    virtual void OnHostByte(Port& port, std::uint8_t b, std::int64_t t) = 0;
    // The library opened, configured or closed the port.
    virtual void OnOpen(Port&, std::int64_t) {}
    virtual void OnLine(Port&, std::int32_t /*baud*/, std::int64_t) {}
    virtual void OnClose(Port&, std::int64_t) {}
    // The earliest time at which the peer will queue a byte of its own
    // accord (INT64_MAX for none), and the call that lets it do so up to now.
    virtual std::int64_t NextOutputTime() const { return INT64_MAX; }
    virtual void Advance(Port&, std::int64_t /*now*/) {}
};

// What the library did on a port, for tests that check the order of events.
enum class EventKind { Open, Configure, QueueSizes, Timeouts, Purge, Drain, Close, Write };
struct Event {
    EventKind Kind;
    std::int64_t TimeMs;
    std::int32_t Value; // baud for Configure, flags for Purge, byte for Write
};

struct WireByte {
    std::int64_t TimeMs;
    std::uint8_t Value;
};

struct Port {
    std::string Name;     // "COMn"
    Peer* Instrument = nullptr;
    bool Open = false;
    std::int32_t Baud = 0;
    std::string LastMode; // the mode string of the last line set-up
    std::int32_t InQueue = 0, OutQueue = 0;
    std::deque<WireByte> ToHost; // bytes on their way to the library, by arrival time
    std::vector<WireByte> FromHost; // every byte the library wrote
    std::vector<Event> Events;
    // Faults a test can switch on.
    bool FailOpen = false, FailConfigure = false, FailQueueSizes = false, FailTimeouts = false;
    bool WriteStuck = false; // writes are refused
    std::uint32_t ReportedOutQueue = 0; // what the status query says is waiting to go out

    // Queues a byte for the library, arriving at time t (not before any byte
    // already queued).
    void Send(std::uint8_t b, std::int64_t t);
    void Send(const std::vector<std::uint8_t>& bytes, std::int64_t t, std::int64_t gapMs = 0);
    // Bytes waiting for the library at time now.
    std::uint32_t Waiting(std::int64_t now) const;
};

// Installs the virtual platform with its tick count starting at startTick,
// removes every port and runs the library's load again.
void Install(std::uint32_t startTick = 0);
// Puts the operating system's platform back.
void Uninstall();

// The virtual time, in ms since Install (64-bit, never wraps), and the tick
// count the library reads (startTick plus that, wrapping).
std::int64_t Now();
std::uint32_t TickNow();
// Moves time forward (never back).
void AdvanceTo(std::int64_t t);
void AdvanceBy(std::int64_t ms);

// Adds the port "COMn" with the given instrument; returns it.
Port& AddPort(const std::string& name, Peer* instrument = nullptr);
Port* FindPort(const std::string& name);
// A handle for a port without going through the library's sign-on, as an
// application's own CreateFile would give.
PortHandle OpenHandle(const std::string& name);
// The port behind a handle, or nullptr.
Port* PortOf(PortHandle h);

// Counts of what the library asked of the platform.
struct Counters {
    std::int64_t Peeks = 0, Sleeps = 0, Waits = 0, Reads = 0, Writes = 0;
};
Counters& Count();

// Bytes as "86 00 86".
std::string Hex(const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> Values(const std::vector<WireByte>& bytes);

extern const PlatformOps VirtualPlatform;

} // namespace sadc::virt
