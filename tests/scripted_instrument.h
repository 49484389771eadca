// A scripted instrument for the protocol tests: a list of exchanges, each the
// bytes the library must write and the reply to queue once they have come.
// A mismatch is reported as a one-line diagnosis, e.g.
//   expected 86 00 86 / received 86 00 87 at byte 2, t=1234 ms
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "interface/module_state.h"
#include "platform/virtual_platform.h"

namespace sadc::test {

using Bytes = std::vector<std::uint8_t>;

struct Exchange {
    Bytes Expect;
    Bytes Reply;
    std::int64_t DelayMs = 0; // from the last expected byte to the first reply byte
    std::int64_t GapMs = 0;   // between reply bytes
};

class ScriptedInstrument : public virt::Peer {
public:
    // Adds an exchange whose expected bytes the library must write next.
    ScriptedInstrument& Expect(Bytes bytes) {
        Script.push_back(Exchange{std::move(bytes), {}, 0, 0});
        return *this;
    }
    // The reply to the last exchange (an exchange with no bytes expected
    // replies as soon as the previous one is complete).
    ScriptedInstrument& Reply(Bytes bytes, std::int64_t delayMs = 0, std::int64_t gapMs = 0) {
        if (Script.empty()) Script.push_back(Exchange{});
        Script.back().Reply = std::move(bytes);
        Script.back().DelayMs = delayMs;
        Script.back().GapMs = gapMs;
        return *this;
    }
    // Bytes beyond the script are accepted silently instead of failing.
    ScriptedInstrument& AllowExtra() {
        Extra = true;
        return *this;
    }

    void OnHostByte(virt::Port& port, std::uint8_t b, std::int64_t t) override {
        Received.push_back(b);
        if (Step >= Script.size()) {
            if (!Extra && Failure.empty())
                Failure = "unexpected byte " + virt::Hex({b}) + " after the script, t=" +
                          std::to_string(t) + " ms";
            return;
        }
        Exchange& ex = Script[Step];
        if (ex.Expect[Pos] != b && Failure.empty()) {
            Bytes got(ex.Expect.begin(), ex.Expect.begin() + static_cast<long>(Pos));
            got.push_back(b);
            Failure = "expected " + virt::Hex(ex.Expect) + " / received " + virt::Hex(got) +
                      " at byte " + std::to_string(Pos) + " of exchange " +
                      std::to_string(Step) + ", t=" + std::to_string(t) + " ms";
        }
        if (++Pos == ex.Expect.size()) Complete(port, t);
    }

    void OnOpen(virt::Port& port, std::int64_t t) override {
        // An exchange with nothing expected at the head of the script replies
        // as soon as the port is open.
        if (Step < Script.size() && Script[Step].Expect.empty()) Complete(port, t);
    }

    // True when every exchange has been played and nothing went wrong.
    ::testing::AssertionResult Check() const {
        if (!Failure.empty()) return ::testing::AssertionFailure() << Failure;
        if (Step < Script.size())
            return ::testing::AssertionFailure()
                   << "script stopped at exchange " << Step << " of " << Script.size()
                   << ", byte " << Pos << " of " << virt::Hex(Script[Step].Expect)
                   << "; received so far: " << virt::Hex(Received);
        return ::testing::AssertionSuccess();
    }

    std::vector<Exchange> Script;
    std::size_t Step = 0, Pos = 0;
    Bytes Received;
    std::string Failure;
    bool Extra = false;

private:
    void Complete(virt::Port& port, std::int64_t t) {
        Exchange& ex = Script[Step];
        if (!ex.Reply.empty()) port.Send(ex.Reply, t + ex.DelayMs, ex.GapMs);
        ++Step;
        Pos = 0;
        while (Step < Script.size() && Script[Step].Expect.empty()) {
            Exchange& next = Script[Step];
            if (!next.Reply.empty()) port.Send(next.Reply, t + next.DelayMs, next.GapMs);
            ++Step;
        }
    }
};

// Checks that the bytes the library wrote on a port are exactly these.
inline ::testing::AssertionResult WireIs(const virt::Port& port, const Bytes& expected) {
    Bytes got = virt::Values(port.FromHost);
    if (got == expected) return ::testing::AssertionSuccess();
    std::size_t i = 0;
    while (i < got.size() && i < expected.size() && got[i] == expected[i]) ++i;
    std::string at = i < port.FromHost.size() ? ", t=" + std::to_string(port.FromHost[i].TimeMs) + " ms" : "";
    return ::testing::AssertionFailure() << "expected " << virt::Hex(expected) << " / received "
                                         << virt::Hex(got) << " at byte " << i << at;
}

// A test fixture with the virtual platform installed and the port COM2 (slot
// 1, the slot every command uses before a sign-on) attached as the current
// port, with a scripted instrument behind it.
class VirtualLink : public ::testing::Test {
protected:
    void SetUp() override {
        virt::Install();
        Port = &virt::AddPort("COM2", &Instrument);
    }
    void TearDown() override { virt::Uninstall(); }

    // Attaches COM2 without sign-on, as SetComHandle would.
    PortHandle Attach() {
        PortHandle h = virt::OpenHandle("COM2");
        Module.PortTable[Module.CurrentPort] = h;
        return h;
    }

    ScriptedInstrument Instrument;
    virt::Port* Port = nullptr;
};

} // namespace sadc::test
