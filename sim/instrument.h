// The virtual instrument: one state machine that is fed the host's bytes with
// their times and produces its own bytes with the times they reach the host.
//
// It makes no OS call and knows nothing of ports or clocks, so the same code
// answers in-process on the virtual clock (virtual_peer.h), behind a
// pseudo-terminal in real time (pty_runner.h) and in the benchmarks.
//
// Times at this interface are whole milliseconds on the caller's clock; the
// line is modelled in microseconds inside. Calls must come in time order
// (a time earlier than one already seen counts as that time).
//
// What the instrument does on the line is written up in sim/README.md: the
// sign-on, every command, the scan stream, the meaning of the six ScanConfig
// bytes, the further scan byte, the checksum rule and the faults.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace sadc::sim {

inline constexpr int Channels = 16;
inline constexpr std::int32_t PowerUpBaud = 300;
// Line speeds by speed index, the same table the host uses.
inline constexpr std::int32_t LineSpeeds[6] = {9600, 4800, 2400, 1200, 600, 300};
// The speed index of the power-up speed.
inline constexpr std::int32_t PowerUpSpeedIndex = 5;

// One input: Offset + Amplitude * sin(2 pi FrequencyHz t), t in seconds on
// the instrument's clock, in the unit of the 5000 full scale. A constant has
// Amplitude 0. At gain G the converter reads G times the input.
struct Signal {
    double Offset = 0.0;
    double Amplitude = 0.0;
    double FrequencyHz = 0.0;
};

// Channel k reads the constant 250 * (k + 1): 250 on channel 0 up to 4000 on
// channel 15, all inside the unipolar and the bipolar range at gain 1.
std::array<Signal, Channels> DefaultSignals();

// Faults on demand. Probabilities are per byte, 0..1, drawn from a generator
// seeded with Seed, so a run repeats exactly for the same input.
struct Faults {
    bool Silent = false;              // sends nothing at all (still obeys commands)
    double DropProbability = 0.0;     // a byte to the host is lost on the line
    double NoiseProbability = 0.0;    // a noise byte reaches the host before a byte
    double DropFromHostProbability = 0.0; // a byte from the host is lost on the line
    bool WrongEcho = false;           // every echo comes back with bit 6 flipped
    std::int32_t LateMs = 0;          // every reply starts this much later
    bool LineGone = false;            // nothing passes in either direction
    std::uint64_t Seed = 1;
};

struct Config {
    std::uint8_t Version = 101;       // GetVer's byte; above 100: the faster scan clock
    std::uint8_t DigIn = 0;           // the digital input lines
    std::array<Signal, Channels> Signals = DefaultSignals();
    Faults Fault;
    bool KeepNotes = false;           // log what the instrument does (Instrument::Notes)
};

// The instrument's registers, as the host last loaded them.
struct Registers {
    std::uint8_t ModeHigh = 0x00;     // bits 0-1 mode bits, 2-4 gain exponent
    std::uint8_t ModeMid = 0x87;      // bits 0-2 filter code 8-10, bit 4 unipolar, bit 7 24-bit word
    std::uint8_t ModeLow = 0xA1;      // filter code bits 0-7 (power-up: 1953, about 10 Hz)
    std::uint32_t AvgCount = 1;       // conversions averaged into one reading
    std::uint8_t FilterSel = 2;       // settling selection
    std::uint32_t TimerPreset = 0;    // 24-bit scan timer preset N: N + 1 ticks a scan
    std::array<std::uint8_t, 6> ScanConfig{}; // meaning: see ScanConfig* below
    std::uint8_t ChanCode = 0;        // channel code latch: channel in bits 4-7
    std::uint8_t DigOut = 0;
};

// ScanConfig, index by index.
inline constexpr int ScanConfigFirstChannel = 0; // low 4 bits: channel of the first conversion
inline constexpr int ScanConfigCount = 1;        // conversions in a scan (the host's NumChans)
inline constexpr int ScanConfigFurther = 2;      // bit 0: further byte is DigIn, else the scan sequence number
inline constexpr int ScanConfigReserved = 3;     // not used by this instrument
inline constexpr int ScanConfigExtraA = 4;       // mode 2: channel of the first extra conversion
inline constexpr int ScanConfigExtraB = 5;       // mode 2: channel of the second extra conversion

// One counter of the 8254-style timer.
struct Counter {
    std::uint8_t Control = 0;         // last control word for this counter
    std::uint16_t Count = 0;          // count register
    bool Loaded = false;              // a whole count has been written since the control word
    bool HighNext = false;            // read/write order 11: the next byte is the high byte
    std::uint8_t LowByte = 0;
};

enum class Phase : std::uint8_t {
    Command,      // frames; a 0x00 at a frame boundary is the wake-up
    Synced,       // woken: 0x88 opens the sign-on, anything else is a command
    SpeedRequest, // after 0x88: the next byte is the speed index
    AwaitSync,    // speed changed: the next byte is the host's sync byte
    SetupMode,    // the four mode and averaging frames
    SetupTimer,   // the five timer and configuration frames
    ModeFrames,   // after CmdSendADMode: the two mode frames
    Asleep,       // after CmdSleep: only the wake-up byte is heard
};

// A byte that has reached the host, with the ms at which it is there.
struct OutByte {
    std::int64_t TimeMs;
    std::uint8_t Value;
};

struct Note {
    std::int64_t TimeMs;
    std::string Text;
};

struct Instrument {
    Config Cfg;
    Registers Reg;
    std::array<Counter, 3> Counters{};

    // The line.
    std::int32_t Baud = PowerUpBaud;           // the instrument's own speed
    std::int32_t SpeedIndex = PowerUpSpeedIndex;
    std::int32_t HostBaud = 0;                 // 0: the host's port is closed
    std::int64_t NowUs = 0;                    // processed up to here
    std::int64_t RxFreeUs = 0;                 // the receiver is busy until then
    std::int64_t TxFreeUs = 0;                 // the transmitter is busy until then
    std::int64_t LastActivityUs = 0;           // end of the last byte either way
    std::int64_t BaudChangeUs = -1;            // pending speed change, -1 for none
    std::int32_t PendingBaud = 0, PendingSpeedIndex = 0;

    struct RxByte {
        std::int64_t StartUs, EndUs;
        std::int32_t Baud;
        std::uint8_t Value;
    };
    struct TxByte {
        std::int64_t StartUs, EndUs;
        std::int32_t Baud;
        std::uint8_t Value;
    };
    std::deque<RxByte> Rx;   // received bytes not yet acted on
    std::deque<TxByte> Tx;   // bytes queued or going out
    std::deque<OutByte> Out; // bytes at the host, not yet taken

    // The protocol.
    Phase State = Phase::Command;
    std::array<std::uint8_t, 15> Buf{}; // frame or download bytes gathered so far
    int BufLen = 0;
    std::uint8_t Checksum = 0; // sum mod 256 of every byte sent since the last reset

    // Scanning: mode 0, 1 or 2, or -1 when idle.
    int ScanMode = -1;
    std::int64_t ScanStartUs = 0;
    std::int64_t NextScanUs = 0;
    std::uint64_t ScanTick = 0;      // ticks since the start, skipped ones included

    std::uint64_t Rng = 1;
    std::deque<Note> Notes;

    // What happened, for tests and the trace.
    struct Stats {
        std::uint64_t BytesIn = 0, BytesOut = 0, Lost = 0, Noise = 0;
        std::uint64_t Frames = 0, BadFrames = 0, Breaks = 0;
        std::uint64_t Scans = 0, ScansSkipped = 0;
    } Stat;
};

// Puts the instrument in its power-up state with this configuration: 300
// baud, default registers, idle, waiting for the wake-up byte.
void PowerUp(Instrument& inst, const Config& cfg, std::int64_t tMs = 0);

// The host wrote b at tMs (at the host's line speed, see SetHostBaud).
void Feed(Instrument& inst, std::uint8_t b, std::int64_t tMs);

// The host's port now runs at baud (0: closed, nothing reaches the host).
// Bytes at a speed other than the instrument's arrive garbled or are lost:
// the slower receiver misses a faster byte; the faster receiver takes a
// slower byte as a break, which makes the host read 0x00 and the instrument
// drop back to 300 baud, idle (that is how a new sign-on reaches it).
void SetHostBaud(Instrument& inst, std::int32_t baud, std::int64_t tMs);

// Changes the faults from tMs on (bytes complete before tMs keep the old).
void SetFaults(Instrument& inst, const Faults& faults, std::int64_t tMs);

// Runs the instrument up to tMs: received bytes, scan ticks, speed changes.
void Advance(Instrument& inst, std::int64_t tMs);

// The earliest ms at which the instrument may next act or deliver a byte
// (INT64_MAX for never); nothing happens before it without new input.
std::int64_t NextOutputTime(const Instrument& inst);

// Runs up to tMs and appends every byte that has reached the host by then.
void TakeOutput(Instrument& inst, std::int64_t tMs, std::vector<OutByte>& out);

// Derived values, as the instrument computes them.
std::int32_t ConvBytesOf(const Registers& reg);   // 3 or 2
bool BipolarOf(const Registers& reg);
std::int32_t GainOf(const Registers& reg);        // 1..128
std::int32_t FilterCodeOf(const Registers& reg);  // 1..2048 (code 0 counts as 2048)
double OutputRateHz(const Registers& reg);        // 19531.25 / code
double ScanClockHz(const Instrument& inst);       // by version and line speed
std::int64_t ScanIntervalUs(const Instrument& inst);
// Bytes in one scan of this mode with the current registers.
std::int32_t ScanBytes(const Instrument& inst, int mode);
// The count the converter gives for input v (5000 unit) with the current
// gain, polarity and word length.
std::uint32_t CountFor(const Registers& reg, double v);
// The mean of channel's input over [fromUs, toUs].
double InputMean(const Instrument& inst, int channel, std::int64_t fromUs, std::int64_t toUs);

} // namespace sadc::sim
