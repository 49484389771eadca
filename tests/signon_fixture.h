// A well-behaved instrument for the protocol tests, with the faults a test
// can switch on. It answers the sign-on handshake and the commands the
// library's single-frame exports, converter mode and counters use, keeps
// the running checksum, and records every frame it took after sign-on.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/virtual_platform.h"

namespace sadc::test {

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

} // namespace sadc::test
