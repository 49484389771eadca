// A well-behaved instrument for the sign-on, with the faults of each way a
// sign-on can fail, and a test fixture that puts one behind COM3.
//
// The instrument answers the wake-up byte 0x00 with 0x03 at 300 baud, stays
// silent after it and after the speed request 0x88, echoes the speed index,
// takes the sync byte and the mode frames at the new speed and echoes the mode
// bytes, takes the timer and configuration frames, answers the version
// request and, above version 100, takes the fifteen counter frames. Once
// signed on it hands every byte to After (a ScriptedInstrument, say), so a
// test can go on with other commands. Opening the port at 300 baud again
// (other than for the agreed speed) starts a new sign-on: a scan reader that
// signs on again after a time-out meets the same instrument.
//
// FakeInstrument is a second, self-contained instrument that also answers the
// commands after sign-on (version, digital inputs, checksum, converter mode).
#pragma once

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "connection/signon.h"
#include "converter/ad_mode.h"
#include "interface/module_state.h"
#include "platform/virtual_platform.h"
#include "scripted_instrument.h"

namespace sadc::test {

enum class SignOnFault {
    None,
    NoWake,             // never answers the wake-up
    NoisyAfterWake,     // goes on talking after its wake-up reply
    AnswersSpeedRequest,// answers 0x88, which it should take in silence
    NoSpeedEcho,        // takes the speed index without a word
    WrongSpeedEcho,     // echoes another speed index
    ShortModeEcho,      // echoes two of the three mode bytes
    WrongModeEcho,      // echoes a middle mode byte that differs in bit 0
    SilentVersion,      // does not answer the version request
    ReopenFails,        // the port will not open again at the agreed speed
    ReconfigureFails,   // the port will not take the agreed speed
};

class SignOnPeer : public virt::Peer {
public:
    // --- How it behaves ---
    std::uint8_t Version = 100;
    int WakeOnTry = 1;            // the wake-up byte of an attempt it answers
    Bytes WakeNoise;              // sent just before its 0x03
    Bytes SettleNoise;            // sent while it settles after the download
    bool HighBitsInEcho = false;  // sets bits 5-7 of the first mode echo byte
    std::int64_t ReplyDelayMs = 2;
    SignOnFault Fault = SignOnFault::None;
    int FaultAttempts = INT_MAX;  // the attempts, from the first, that have the fault
    virt::Peer* After = nullptr;  // plays the instrument once signed on

    // --- What it saw ---
    int Attempts = 0;             // sign-on attempts begun (openings at 300 baud)
    int WakeBytes = 0;            // wake-up bytes of the current attempt
    int SignOns = 0;              // sign-ons completed
    std::int32_t Speed = -1;      // the speed index it agreed
    Bytes Mode, Timer, Counters;  // the download of the last sign-on
    std::vector<std::int32_t> Bauds; // every line speed configured, in order
    std::string Failure;

    bool SignedOn() const { return State == Phase::SignedOn; }

    void OnLine(virt::Port&, std::int32_t baud, std::int64_t) override {
        Bauds.push_back(baud);
        if (State == Phase::Agreed) {
            if (Speed >= 0 && Speed < 6 && baud != BaudTable[Speed])
                Note("the port was re-opened at " + std::to_string(baud) + " baud for speed index " +
                     std::to_string(Speed));
            State = Phase::AtSpeed;
            return;
        }
        State = Phase::Asleep;
        ++Attempts;
        WakeBytes = 0;
        Collected.clear();
    }

    void OnHostByte(virt::Port& port, std::uint8_t b, std::int64_t t) override {
        std::int64_t at = t + ReplyDelayMs;
        switch (State) {
        case Phase::Asleep:
            if (b != 0x00) return; // it listens for nothing but the wake-up
            ++WakeBytes;
            if (Has(SignOnFault::NoWake) || WakeOnTry <= 0 || WakeBytes < WakeOnTry) return;
            port.Send(WakeNoise, at);
            port.Send(0x03, at);
            if (Has(SignOnFault::NoisyAfterWake)) port.Send(0x55, at + 100);
            State = Phase::Awake;
            return;
        case Phase::Awake:
            if (b != 0x88) return Note("expected the speed request 88, received " + virt::Hex({b}));
            if (Has(SignOnFault::AnswersSpeedRequest)) port.Send(0x88, at + 20);
            State = Phase::Requested;
            return;
        case Phase::Requested:
            Speed = b;
            State = Phase::Lost;
            if (Has(SignOnFault::NoSpeedEcho)) return;
            if (Has(SignOnFault::WrongSpeedEcho)) return port.Send(static_cast<std::uint8_t>(b ^ 1), at);
            if (Has(SignOnFault::ReopenFails)) port.FailOpen = true;
            if (Has(SignOnFault::ReconfigureFails)) port.FailConfigure = true;
            port.Send(b, at);
            State = Phase::Agreed;
            return;
        case Phase::AtSpeed:
            if (b != 0x00) Note("expected the sync byte 00 at the new speed, received " + virt::Hex({b}));
            State = Phase::Mode;
            Collected.clear();
            return;
        case Phase::Mode:
            if (!Collect(b, 12)) return;
            Mode = Collected;
            State = Phase::Timer;
            Collected.clear();
            EchoMode(port, at);
            return;
        case Phase::Timer:
            if (!Collect(b, 15)) return;
            Timer = Collected;
            Collected.clear();
            port.Send(SettleNoise, at);
            State = Phase::Version;
            return;
        case Phase::Version:
            if (!Collect(b, 3)) return;
            if (Collected != Bytes{0x86, 0x00, 0x86})
                Note("expected the version request 86 00 86, received " + virt::Hex(Collected));
            Collected.clear();
            if (Has(SignOnFault::SilentVersion)) {
                State = Phase::Lost;
                return;
            }
            port.Send({0x86, Version}, at);
            Counters.clear();
            State = Version > 100 ? Phase::Counters : Phase::SignedOn;
            if (State == Phase::SignedOn) ++SignOns;
            return;
        case Phase::Counters:
            Counters.push_back(b);
            if (Counters.size() == 45) {
                State = Phase::SignedOn;
                ++SignOns;
            }
            return;
        case Phase::SignedOn:
            if (After) After->OnHostByte(port, b, t);
            return;
        case Phase::Agreed:
            return Note("a byte " + virt::Hex({b}) + " came before the port was re-opened");
        case Phase::Lost:
            return; // a failed attempt: it waits for the next opening
        }
    }

    std::int64_t NextOutputTime() const override {
        return State == Phase::SignedOn && After ? After->NextOutputTime() : INT64_MAX;
    }
    void Advance(virt::Port& port, std::int64_t now) override {
        if (State == Phase::SignedOn && After) After->Advance(port, now);
    }

    ::testing::AssertionResult Check() const {
        if (Failure.empty()) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << Failure;
    }

private:
    enum class Phase { Asleep, Awake, Requested, Agreed, AtSpeed, Mode, Timer, Version, Counters, SignedOn, Lost };
    Phase State = Phase::Lost;
    Bytes Collected;

    bool Has(SignOnFault f) const { return Fault == f && Attempts <= FaultAttempts; }
    void Note(const std::string& s) {
        if (Failure.empty()) Failure = s;
    }
    bool Collect(std::uint8_t b, std::size_t n) {
        Collected.push_back(b);
        return Collected.size() == n;
    }
    // The mode bytes as the frames carried them: high and middle in the first
    // frame, low in the second.
    void EchoMode(virt::Port& port, std::int64_t at) {
        std::uint8_t high = Mode[0], mid = Mode[1], low = Mode[3];
        if (HighBitsInEcho) high |= 0xE0;
        if (Has(SignOnFault::WrongModeEcho)) mid ^= 0x01;
        if (Has(SignOnFault::ShortModeEcho)) return port.Send({high, mid}, at);
        port.Send({high, mid, low}, at);
    }
};

// A well-behaved instrument with fault switches that also answers the
// commands of the single-frame exports, converter mode and counters once
// signed on, keeps the running checksum and records every frame it took.
struct FakeInstrument : virt::Peer {
    using Bytes = std::vector<std::uint8_t>;

    // What it reports.
    std::uint8_t Version = 101;
    std::uint8_t DigIn = 0x5A;
    Bytes SettleNoise; // sent while the host drains after the download

    // Faults, each for the first FaultyAttempts sign-on attempts (-1: always).
    int FaultyAttempts = -1;
    bool SilentWakeUp = false;
    bool NoiseBeforeSync = false;  // other bytes before the 0x03
    bool NoiseAfterWakeUp = false; // a byte in the quiet check
    bool AnswerSpeedRequest = false;
    bool NoSpeedEcho = false;
    bool WrongSpeedEcho = false;
    bool NoModeEcho = false;
    bool WrongModeEcho = false;
    bool HighBitsInModeEcho = false; // bits 5-7 set in the first echo byte: accepted
    bool SilentVersion = false;

    // What it saw.
    int Attempts = 0;      // wake-ups it answered or ignored at 300 baud after a line reset
    int WakeUpBytes = 0;   // 0x00 bytes received while asleep
    Bytes Mode;            // the 12 download bytes
    Bytes Timer;           // the 15 timer and configuration bytes
    std::vector<Bytes> Frames; // frames taken once signed on

    void OnLine(virt::Port&, std::int32_t baud, std::int64_t) override {
        LineBaud = baud;
        if (baud == 300 && State != St::SpeedAgreed) {
            State = St::Asleep;
            ++Attempts;
        }
    }

    void OnHostByte(virt::Port& port, std::uint8_t b, std::int64_t t) override {
        bool faulty = FaultyAttempts < 0 || Attempts <= FaultyAttempts;
        switch (State) {
        case St::Asleep:
            if (b != 0x00) return;
            ++WakeUpBytes;
            if (faulty && SilentWakeUp) return;
            if (faulty && NoiseBeforeSync) Out(port, {0x55, 0xAA}, t);
            Out(port, {0x03}, t);
            if (faulty && NoiseAfterWakeUp) Out(port, {0x77}, t + 200);
            State = St::Awake;
            return;
        case St::Awake:
            if (b == 0x00) return; // a repeated wake-up byte on the way
            if (b == 0x88) {
                Sum = 0;
                if (faulty && AnswerSpeedRequest) Out(port, {0x11}, t);
                State = St::SpeedAsked;
            }
            return;
        case St::SpeedAsked:
            if (!(faulty && NoSpeedEcho)) Out(port, {static_cast<std::uint8_t>(faulty && WrongSpeedEcho ? b + 1 : b)}, t);
            State = St::SpeedAgreed;
            return;
        case St::SpeedAgreed:
            // The sync byte at the new speed opens the download.
            if (b == 0x00) {
                State = St::Download;
                Mode.clear();
            }
            return;
        case St::Download:
            Mode.push_back(b);
            if (Mode.size() == (ModeOnly ? 6u : 12u)) {
                std::uint8_t high = Mode[0];
                if (faulty && HighBitsInModeEcho) high |= 0xE0;
                if (faulty && WrongModeEcho) high ^= 0x01;
                if (!(faulty && NoModeEcho)) Out(port, {high, Mode[1], Mode[3]}, t);
                State = ModeOnly ? St::Ready : St::TimerBytes;
                ModeOnly = false;
                Timer.clear();
            }
            return;
        case St::TimerBytes:
            Timer.push_back(b);
            if (Timer.size() == 15) {
                if (!SettleNoise.empty()) Out(port, SettleNoise, t);
                State = St::Ready;
                Frame.clear();
                SignedOnFaulty = faulty;
            }
            return;
        case St::Ready:
            Frame.push_back(b);
            if (Frame.size() == 3) {
                Frames.push_back(Frame);
                Command(port, t);
                Frame.clear();
            }
            return;
        }
    }

private:
    enum class St { Asleep, Awake, SpeedAsked, SpeedAgreed, Download, TimerBytes, Ready };
    St State = St::Asleep;
    std::int32_t LineBaud = 0;
    int Sum = 0; // bytes sent since the last checksum reset
    Bytes Frame;
    bool SignedOnFaulty = false;

    // Bytes leave one after another at the line speed.
    void Out(virt::Port& port, const Bytes& bytes, std::int64_t t) {
        std::int64_t byteMs = LineBaud > 0 ? (10000 + LineBaud - 1) / LineBaud : 1;
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            port.Send(bytes[i], t + static_cast<std::int64_t>(i + 1) * byteMs);
            Sum = (Sum + bytes[i]) & 0xFF;
        }
    }

    void Command(virt::Port& port, std::int64_t t) {
        std::uint8_t cmd = Frame[0];
        switch (cmd) {
        case 0x86:
            if (SignedOnFaulty && SilentVersion) return;
            Out(port, {0x86, Version}, t);
            return;
        case 0x80:
            Out(port, {0x80, DigIn}, t);
            return;
        case 0x87: {
            std::uint8_t x = static_cast<std::uint8_t>((Sum + 0x87) & 0xFF);
            Out(port, {0x87, x}, t);
            Sum = 0;
            return;
        }
        case 0x84:
            Out(port, {0x84}, t);
            State = St::Download; // the mode frames follow, then the echo
            Mode.clear();
            ModeOnly = true;
            SendADModes++;
            return;
        default:
            return;
        }
    }

    bool ModeOnly = false; // a SendADMode's two mode frames, not a download

public:
    int SendADModes = 0;
};

// The bytes a first-attempt sign-on of r writes, with an instrument that
// reports version: both line speeds together.
inline Bytes SignOnWire(const DeviceRecord& record, std::uint8_t version) {
    DeviceRecord r = record;
    double timeout = Module.ReplyTimeout;
    ComputeADMode(&r);
    Module.ReplyTimeout = timeout;
    auto frame = [](Bytes& w, int a, int b) {
        w.push_back(static_cast<std::uint8_t>(a));
        w.push_back(static_cast<std::uint8_t>(b));
        w.push_back(static_cast<std::uint8_t>((a + b) & 0xFF));
    };
    Bytes w = {0x00, 0x88, static_cast<std::uint8_t>(r.SpeedIndex), 0x00};
    frame(w, r.ModeHigh & 0xFF, r.ModeMid & 0xFF);
    frame(w, r.ModeLow & 0xFF, 0);
    frame(w, static_cast<int>(r.AvgCount & 0xFF), r.FilterSel & 0xFF);
    frame(w, 0, 0);
    std::uint8_t t[3];
    ScanTimerBytes(&r, t);
    frame(w, t[0], t[1]);
    frame(w, t[2], r.ScanConfig[0] & 0xFF);
    frame(w, r.ScanConfig[1] & 0xFF, r.ScanConfig[2] & 0xFF);
    frame(w, r.ScanConfig[3] & 0xFF, r.ScanConfig[4] & 0xFF);
    frame(w, r.ScanConfig[5] & 0xFF, 0);
    frame(w, 0x86, 0);
    if (version > 100) {
        int chan = (r.Channel << 4) | r.Code;
        const int control[3] = {0x34, 0x72, 0xB2};
        const std::int32_t value[3] = {r.CounterPreset, r.CounterPreset, 1};
        for (int k = 0; k < 3; ++k) {
            frame(w, 1, (chan | 0x87) & 0xFF);
            frame(w, 7, control[k]);
            frame(w, 1, (chan | 0x84 | k) & 0xFF);
            std::int32_t high = value[k] / 256, low = value[k] - 256 * high;
            frame(w, 7, low & 0xFF);
            frame(w, 7, high & 0xFF);
        }
    }
    return w;
}

// A record that signs on at 9600 baud on COM3: 10 Hz, 24-bit, bipolar, gain
// 1, one conversion averaged, a 1 s scan interval.
inline DeviceRecord SignOnRecord() {
    DeviceRecord r{};
    r.ComPort = 2;
    r.SpeedIndex = 0;
    r.InQueueSize = 4096;
    r.OutQueueSize = 4096;
    r.DataRate = 10.0f;
    r.Gain = 1;
    r.ConvBytes = 3;
    r.Bipolar = 1;
    r.AvgCount = 1;
    r.FilterSel = 2;
    r.ScanTime = 1.0;
    const std::int16_t config[6] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    for (int i = 0; i < 6; ++i) r.ScanConfig[i] = config[i];
    return r;
}

// The virtual platform with the instrument Peer behind COM3 (ComPort 2).
class SignOnLink : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { virt::Uninstall(); }

    // A fresh platform, instrument and record, for tables of cases.
    void Reset() {
        virt::Install();
        Peer = SignOnPeer{};
        Record = SignOnRecord();
        Port = &virt::AddPort("COM3", &Peer);
    }

    SignOnPeer Peer;
    virt::Port* Port = nullptr;
    DeviceRecord Record = SignOnRecord();
};

} // namespace sadc::test
