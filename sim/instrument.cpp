#include "sim/instrument.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <limits>

namespace sadc::sim {
namespace {

// The instrument's reaction time between the end of a command's last byte
// and the start of its reply.
constexpr std::int64_t ProcessUs = 200;
// A pause this long inside a download or a frame means the host gave up on
// it: the bytes gathered so far are dropped. Shorter than the host's
// wake-up period (10 ticks, about 0.55 s), longer than any gap the host
// leaves inside one exchange.
constexpr std::int64_t PauseUs = 450000;
constexpr std::size_t MaxNotes = 10000;
// Longest delay the converter model schedules (about 31 years): keeps every
// time in range whatever averaging the host asks for.
constexpr double MaxDelayUs = 1.0e15;

constexpr std::uint8_t LeadByte = 0xF0;
constexpr std::uint8_t SyncReply = 0x03;
constexpr std::uint8_t SleepReply = 0x80;

std::int64_t ByteUs(std::int32_t baud) {
    if (baud <= 0) return 0;
    return (10000000 + baud / 2) / baud; // start, 8 data and stop bit
}

std::int64_t CeilMs(std::int64_t us) {
    return us >= 0 ? (us + 999) / 1000 : -((-us) / 1000);
}

std::int64_t MsToUs(std::int64_t ms) {
    constexpr std::int64_t limit = std::numeric_limits<std::int64_t>::max() / 1000;
    return ms > limit ? limit * 1000 : (ms < -limit ? -limit * 1000 : ms * 1000);
}

std::int64_t DelayUs(double us) {
    if (!(us > 0.0)) return 0;
    if (us > MaxDelayUs) us = MaxDelayUs;
    return static_cast<std::int64_t>(us);
}

std::uint64_t NextRandom(std::uint64_t& state) {
    // splitmix64
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

bool Chance(Instrument& in, double p) {
    if (!(p > 0.0)) return false;
    double u = static_cast<double>(NextRandom(in.Rng) >> 11) * (1.0 / 9007199254740992.0);
    return u < p;
}

void Log(Instrument& in, const std::string& text) {
    if (!in.Cfg.KeepNotes) return;
    if (in.Notes.size() >= MaxNotes) in.Notes.pop_front();
    in.Notes.push_back(Note{in.NowUs / 1000, text});
}

std::string Hex2(std::uint8_t b) {
    char s[4];
    std::snprintf(s, sizeof s, "%02X", b);
    return s;
}

std::uint8_t Echo(const Instrument& in, std::uint8_t code) {
    return in.Cfg.Fault.WrongEcho ? static_cast<std::uint8_t>(code ^ 0x40) : code;
}

std::int32_t BaudAt(const Instrument& in, std::int64_t us) {
    return (in.BaudChangeUs >= 0 && us >= in.BaudChangeUs) ? in.PendingBaud : in.Baud;
}

// Queues one byte for the line, not before notBeforeUs and after whatever is
// queued already. Returns the time its last bit leaves, sent or not.
std::int64_t Send(Instrument& in, std::uint8_t b, std::int64_t notBeforeUs) {
    std::int64_t start = std::max({notBeforeUs, in.TxFreeUs, in.NowUs});
    std::int32_t baud = BaudAt(in, start);
    std::int64_t end = start + ByteUs(baud);
    if (in.Cfg.Fault.Silent) return end;
    in.Tx.push_back(Instrument::TxByte{start, end, baud, b});
    in.TxFreeUs = end;
    in.Checksum = static_cast<std::uint8_t>(in.Checksum + b);
    ++in.Stat.BytesOut;
    return end;
}

// The time a reply to what was just received may start.
std::int64_t ReplyAt(const Instrument& in) {
    return in.NowUs + ProcessUs + MsToUs(std::max<std::int32_t>(in.Cfg.Fault.LateMs, 0));
}

std::int64_t Reply(Instrument& in, std::initializer_list<std::uint8_t> bytes) {
    std::int64_t at = ReplyAt(in), end = at;
    for (std::uint8_t b : bytes) end = Send(in, b, at);
    return end;
}

// Takes back every byte that has not started on the line (a reset, a sleep
// or a wake-up abandons them); they leave the running checksum again.
void DropUnsent(Instrument& in) {
    while (!in.Tx.empty() && in.Tx.back().StartUs > in.NowUs) {
        in.Checksum = static_cast<std::uint8_t>(in.Checksum - in.Tx.back().Value);
        --in.Stat.BytesOut;
        in.Tx.pop_back();
    }
    in.TxFreeUs = in.Tx.empty() ? in.NowUs : in.Tx.back().EndUs;
}

void StopScan(Instrument& in) {
    if (in.ScanMode >= 0) Log(in, "scan stopped after " + std::to_string(in.ScanTick) + " ticks");
    in.ScanMode = -1;
}

double IntervalUsExact(const Instrument& in) {
    return (static_cast<double>(in.Reg.TimerPreset) + 1.0) * 1.0e6 / ScanClockHz(in);
}

void PutWord(Instrument& in, std::uint32_t count, std::int64_t at) {
    std::int32_t n = ConvBytesOf(in.Reg);
    for (std::int32_t i = 0; i < n; ++i) Send(in, static_cast<std::uint8_t>(count >> (8 * i)), at);
}

double AveragingUs(const Registers& reg) {
    return static_cast<double>(reg.AvgCount) * 1.0e6 / OutputRateHz(reg);
}

// The count of one averaged conversion of channel that ends at endUs.
std::uint32_t Convert(const Instrument& in, int channel, std::int64_t endUs) {
    std::int64_t from = endUs - DelayUs(AveragingUs(in.Reg));
    return CountFor(in.Reg, InputMean(in, channel & 0x0F, from, endUs));
}

void WakeUp(Instrument& in) {
    StopScan(in);
    DropUnsent(in);
    Reply(in, {SyncReply});
    in.State = Phase::Synced;
    in.BufLen = 0;
    Log(in, "wake-up answered");
}

// A break on the line: the instrument drops back to its power-up speed and
// waits for a wake-up; its registers stay as they were.
void LineReset(Instrument& in) {
    StopScan(in);
    DropUnsent(in);
    in.Baud = PowerUpBaud;
    in.SpeedIndex = PowerUpSpeedIndex;
    in.BaudChangeUs = -1;
    in.State = Phase::Command;
    in.BufLen = 0;
    ++in.Stat.Breaks;
    Log(in, "break: back to 300 baud");
}

void StartScan(Instrument& in, int mode) {
    in.ScanMode = mode;
    in.ScanStartUs = in.NowUs;
    in.ScanTick = 0;
    in.NextScanUs = in.ScanStartUs + std::max<std::int64_t>(1, DelayUs(IntervalUsExact(in)));
    Log(in, "scan mode " + std::to_string(mode) + " started, " + std::to_string(ScanBytes(in, mode)) +
                " bytes every " + std::to_string(ScanIntervalUs(in)) + " us");
}

void ScanTickAt(Instrument& in) {
    std::int64_t t = in.NextScanUs;
    ++in.ScanTick;
    double next = static_cast<double>(in.ScanTick + 1) * IntervalUsExact(in);
    in.NextScanUs = std::max(t + 1, in.ScanStartUs + DelayUs(next));
    // A scan whose turn comes while the last one is still being converted or
    // sent is skipped; the sequence number shows the gap.
    if (in.TxFreeUs > t) {
        ++in.Stat.ScansSkipped;
        return;
    }
    const Registers& r = in.Reg;
    std::uint8_t seq = static_cast<std::uint8_t>(in.ScanTick - 1);
    if (in.ScanMode == 0) {
        std::int64_t ready = t + DelayUs(AveragingUs(r));
        PutWord(in, Convert(in, r.ChanCode >> 4, ready), ready);
        ++in.Stat.Scans;
        return;
    }
    // Each channel of a scan costs two conversions for the filter to settle
    // after the switch, then the averaged ones.
    double chanUs = (static_cast<double>(r.AvgCount) + 2.0) * 1.0e6 / OutputRateHz(r);
    int first = r.ScanConfig[ScanConfigFirstChannel] & 0x0F;
    int count = r.ScanConfig[ScanConfigCount];
    std::vector<int> chans;
    for (int i = 0; i < count; ++i) chans.push_back((first + i) & 0x0F);
    if (in.ScanMode == 2) {
        chans.push_back(r.ScanConfig[ScanConfigExtraA] & 0x0F);
        chans.push_back(r.ScanConfig[ScanConfigExtraB] & 0x0F);
    }
    std::vector<std::uint32_t> counts;
    for (std::size_t i = 0; i < chans.size(); ++i)
        counts.push_back(Convert(in, chans[i], t + DelayUs(static_cast<double>(i + 1) * chanUs)));
    std::int64_t ready = t + DelayUs(static_cast<double>(chans.size()) * chanUs);
    Send(in, LeadByte, ready);
    for (std::uint32_t c : counts) PutWord(in, c, ready);
    std::uint8_t further = (r.ScanConfig[ScanConfigFurther] & 1) ? in.Cfg.DigIn : seq;
    Send(in, further, ready);
    ++in.Stat.Scans;
}

void CounterWrite(Instrument& in, std::uint8_t data) {
    // The channel code latch also drives the counter chip: select when bits 2
    // and 7 are set, register address in bits 0-1 (3: the control word).
    std::uint8_t code = in.Reg.ChanCode;
    if ((code & 0x84) != 0x84) {
        Log(in, "counter byte " + Hex2(data) + " with no counter selected (code " + Hex2(code) + ")");
        return;
    }
    int addr = code & 3;
    if (addr == 3) {
        int sel = data >> 6, rw = (data >> 4) & 3;
        if (sel == 3 || rw == 0) return; // read-back and latch commands change nothing here
        Counter& c = in.Counters[static_cast<std::size_t>(sel)];
        c.Control = data;
        c.Loaded = false;
        c.HighNext = false;
        return;
    }
    Counter& c = in.Counters[static_cast<std::size_t>(addr)];
    int rw = (c.Control >> 4) & 3;
    if (rw == 1) {
        c.Count = data;
        c.Loaded = true;
    } else if (rw == 2) {
        c.Count = static_cast<std::uint16_t>(data << 8);
        c.Loaded = true;
    } else if (!c.HighNext) {
        c.LowByte = data;
        c.HighNext = true;
    } else {
        c.Count = static_cast<std::uint16_t>(c.LowByte | (data << 8));
        c.HighNext = false;
        c.Loaded = true;
        Log(in, "counter " + std::to_string(addr) + " loaded with " + std::to_string(c.Count));
    }
}

void Command(Instrument& in, std::uint8_t code, std::uint8_t arg) {
    Registers& r = in.Reg;
    bool scanning = in.ScanMode >= 0;
    // While scanning the line belongs to the scan stream: commands that
    // would reply are ignored, except stop, sleep and a new start.
    if (scanning && code >= 0x80 && code != 0x88 && code != 0x89 && code != 0x8A &&
        code != 0x8B && code != 0x8C) {
        Log(in, "command " + Hex2(code) + " ignored while scanning");
        return;
    }
    switch (code) {
    case 0x01: r.ChanCode = arg; break;
    case 0x02: r.DigOut = arg; break;
    case 0x03: r.FilterSel = arg; break;
    case 0x04: r.AvgCount = 1u << std::min<int>(arg, 31); break;
    case 0x07: CounterWrite(in, arg); break;
    case 0x80: Reply(in, {Echo(in, 0x80), in.Cfg.DigIn}); break;
    case 0x81: {
        Reply(in, {Echo(in, 0x81)});
        std::int64_t ready = ReplyAt(in) + DelayUs(AveragingUs(r));
        PutWord(in, Convert(in, r.ChanCode >> 4, ready), ready);
        break;
    }
    case 0x82:
    case 0x83: {
        // Calibration takes nine conversion periods (under a second at the
        // slowest rate); the data bytes are the reading of the calibrated
        // channel afterwards.
        Reply(in, {Echo(in, code)});
        std::int64_t ready = ReplyAt(in) + DelayUs(9.0e6 / OutputRateHz(r));
        std::int64_t from = ready - DelayUs(1.0e6 / OutputRateHz(r));
        PutWord(in, CountFor(r, InputMean(in, (arg >> 4) & 0x0F, from, ready)), ready);
        break;
    }
    case 0x84:
        Reply(in, {Echo(in, 0x84)});
        in.State = Phase::ModeFrames;
        in.BufLen = 0;
        break;
    case 0x86: Reply(in, {Echo(in, 0x86), in.Cfg.Version}); break;
    case 0x87: {
        std::int64_t at = ReplyAt(in);
        Send(in, Echo(in, 0x87), at);
        Send(in, in.Checksum, at); // the sum so far, the echo included
        in.Checksum = 0;
        break;
    }
    case 0x88:
        StopScan(in);
        DropUnsent(in);
        Reply(in, {Echo(in, SleepReply)});
        in.State = Phase::Asleep;
        Log(in, "asleep");
        break;
    case 0x89: Reply(in, {Echo(in, 0x89)}); StartScan(in, 1); break;
    case 0x8B: Reply(in, {Echo(in, 0x8B)}); StartScan(in, 0); break;
    case 0x8C: Reply(in, {Echo(in, 0x8C)}); StartScan(in, 2); break;
    case 0x8A:
        // The scan under way still goes out; the echo ends the stream.
        StopScan(in);
        Reply(in, {Echo(in, 0x8A)});
        break;
    default: Log(in, "unknown command " + Hex2(code) + " " + Hex2(arg)); break;
    }
}

bool FrameOk(const std::uint8_t* f) {
    return static_cast<std::uint8_t>(f[0] + f[1]) == f[2];
}

void FinishSetupMode(Instrument& in) {
    const std::uint8_t* b = in.Buf.data();
    in.BufLen = 0;
    if (!FrameOk(b) || !FrameOk(b + 3) || !FrameOk(b + 6) || !FrameOk(b + 9)) {
        ++in.Stat.BadFrames;
        in.State = Phase::Command;
        Log(in, "set-up download with a bad check byte: no echo");
        return;
    }
    in.Stat.Frames += 4;
    Registers& r = in.Reg;
    r.ModeHigh = b[0];
    r.ModeMid = b[1];
    r.ModeLow = b[3];
    r.AvgCount = b[6] == 0 ? 1u : b[6];
    r.FilterSel = b[7];
    Reply(in, {r.ModeHigh, Echo(in, r.ModeMid), r.ModeLow});
    in.State = Phase::SetupTimer;
    Log(in, "set-up: mode " + Hex2(r.ModeHigh) + " " + Hex2(r.ModeMid) + " " + Hex2(r.ModeLow) +
                ", averaging " + std::to_string(r.AvgCount) + ", filter " + std::to_string(r.FilterSel));
}

void FinishSetupTimer(Instrument& in) {
    const std::uint8_t* b = in.Buf.data();
    in.BufLen = 0;
    in.State = Phase::Command;
    for (int i = 0; i < 15; i += 3)
        if (!FrameOk(b + i)) {
            ++in.Stat.BadFrames;
            Log(in, "timer download with a bad check byte: kept the old timer and configuration");
            return;
        }
    in.Stat.Frames += 5;
    Registers& r = in.Reg;
    r.TimerPreset = static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
                    (static_cast<std::uint32_t>(b[3]) << 16);
    r.ScanConfig = {b[4], b[6], b[7], b[9], b[10], b[12]};
    Log(in, "timer preset " + std::to_string(r.TimerPreset) + ", configuration " + Hex2(b[4]) + " " +
                Hex2(b[6]) + " " + Hex2(b[7]) + " " + Hex2(b[9]) + " " + Hex2(b[10]) + " " + Hex2(b[12]));
}

void FinishModeFrames(Instrument& in) {
    const std::uint8_t* b = in.Buf.data();
    in.BufLen = 0;
    in.State = Phase::Command;
    if (!FrameOk(b) || !FrameOk(b + 3)) {
        ++in.Stat.BadFrames;
        Log(in, "mode frames with a bad check byte: no echo");
        return;
    }
    in.Stat.Frames += 2;
    Registers& r = in.Reg;
    r.ModeHigh = b[0];
    r.ModeMid = b[1];
    r.ModeLow = b[3];
    Reply(in, {r.ModeHigh, Echo(in, r.ModeMid), r.ModeLow});
    Log(in, "mode " + Hex2(r.ModeHigh) + " " + Hex2(r.ModeMid) + " " + Hex2(r.ModeLow));
}

void CommandByte(Instrument& in, std::uint8_t b, bool paused) {
    if (in.BufLen > 0 && paused) {
        ++in.Stat.BadFrames;
        Log(in, "partial frame dropped after a pause");
        in.BufLen = 0;
    }
    if (in.BufLen == 0 && b == 0x00) {
        WakeUp(in);
        return;
    }
    in.Buf[static_cast<std::size_t>(in.BufLen++)] = b;
    if (in.BufLen < 3) return;
    if (FrameOk(in.Buf.data())) {
        in.BufLen = 0;
        ++in.Stat.Frames;
        Command(in, in.Buf[0], in.Buf[1]);
        return;
    }
    // A bad check byte: slide by one byte to find the frame boundary again.
    ++in.Stat.BadFrames;
    in.Buf[0] = in.Buf[1];
    in.Buf[1] = in.Buf[2];
    in.BufLen = 2;
}

void ProcessByte(Instrument& in, std::uint8_t b, std::int64_t startUs) {
    bool paused = startUs - in.LastActivityUs > PauseUs;
    switch (in.State) {
    case Phase::Asleep:
        if (b == 0x00) WakeUp(in);
        break;
    case Phase::Command: CommandByte(in, b, paused); break;
    case Phase::Synced:
        if (b == 0x00) {
            WakeUp(in);
        } else if (b == 0x88) {
            // The sign-on proper; the running checksum starts here, as the
            // host's does.
            in.State = Phase::SpeedRequest;
            in.Checksum = 0;
        } else {
            in.State = Phase::Command;
            in.BufLen = 0;
            CommandByte(in, b, false);
        }
        break;
    case Phase::SpeedRequest:
        if (b <= 5) {
            std::int64_t end = Reply(in, {Echo(in, b)});
            // The new speed holds once the echo has gone out.
            in.PendingBaud = LineSpeeds[b];
            in.PendingSpeedIndex = b;
            in.BaudChangeUs = end;
            in.State = Phase::AwaitSync;
            Log(in, "speed request " + std::to_string(b) + ": " + std::to_string(LineSpeeds[b]) + " baud");
        } else {
            in.State = Phase::Command;
            in.BufLen = 0;
            Log(in, "speed request " + Hex2(b) + " refused");
        }
        break;
    case Phase::AwaitSync:
        in.State = Phase::SetupMode;
        in.BufLen = 0;
        break;
    case Phase::SetupMode:
    case Phase::SetupTimer:
    case Phase::ModeFrames:
        if (paused) {
            ++in.Stat.BadFrames;
            Log(in, "download abandoned after a pause");
            in.State = Phase::Command;
            in.BufLen = 0;
            CommandByte(in, b, false);
            break;
        }
        in.Buf[static_cast<std::size_t>(in.BufLen++)] = b;
        if (in.State == Phase::SetupMode && in.BufLen == 12) FinishSetupMode(in);
        else if (in.State == Phase::SetupTimer && in.BufLen == 15) FinishSetupTimer(in);
        else if (in.State == Phase::ModeFrames && in.BufLen == 6) FinishModeFrames(in);
        break;
    }
}

void Deliver(Instrument& in, std::uint8_t v, std::int64_t ms) {
    in.Out.push_back(OutByte{ms, v});
}

// The byte at the head of the transmitter has left the line.
void TxDone(Instrument& in) {
    Instrument::TxByte t = in.Tx.front();
    in.Tx.pop_front();
    in.LastActivityUs = std::max(in.LastActivityUs, t.EndUs);
    std::int64_t ms = CeilMs(t.EndUs);
    const Faults& f = in.Cfg.Fault;
    if (f.LineGone || in.HostBaud <= 0) {
        ++in.Stat.Lost;
        return;
    }
    if (in.HostBaud < t.Baud) { // too short for the host's receiver
        ++in.Stat.Lost;
        return;
    }
    if (in.HostBaud > t.Baud) { // the host takes it as a break
        Deliver(in, 0x00, ms);
        return;
    }
    if (Chance(in, f.NoiseProbability)) {
        ++in.Stat.Noise;
        Deliver(in, static_cast<std::uint8_t>(NextRandom(in.Rng)), ms);
    }
    if (Chance(in, f.DropProbability)) {
        ++in.Stat.Lost;
        return;
    }
    Deliver(in, t.Value, ms);
}

void RxDone(Instrument& in) {
    Instrument::RxByte r = in.Rx.front();
    in.Rx.pop_front();
    const Faults& f = in.Cfg.Fault;
    if (f.LineGone || Chance(in, f.DropFromHostProbability)) return;
    if (r.Baud < in.Baud) {
        in.LastActivityUs = std::max(in.LastActivityUs, r.EndUs);
        LineReset(in);
        return;
    }
    if (r.Baud > in.Baud) return; // too short for the instrument's receiver
    ProcessByte(in, r.Value, r.StartUs);
    in.LastActivityUs = std::max(in.LastActivityUs, r.EndUs);
}

constexpr std::int64_t Never = std::numeric_limits<std::int64_t>::max();

void RunTo(Instrument& in, std::int64_t us) {
    for (;;) {
        // Ties: a byte leaving the line first, then a speed change, then
        // input, then the scan timer.
        std::int64_t tx = in.Tx.empty() ? Never : in.Tx.front().EndUs;
        std::int64_t baud = in.BaudChangeUs >= 0 ? in.BaudChangeUs : Never;
        std::int64_t rx = in.Rx.empty() ? Never : in.Rx.front().EndUs;
        std::int64_t scan = in.ScanMode >= 0 ? in.NextScanUs : Never;
        std::int64_t t = std::min({tx, baud, rx, scan});
        if (t == Never || t > us) break;
        in.NowUs = std::max(in.NowUs, t);
        if (t == tx) {
            TxDone(in);
        } else if (t == baud) {
            in.Baud = in.PendingBaud;
            in.SpeedIndex = in.PendingSpeedIndex;
            in.BaudChangeUs = -1;
        } else if (t == rx) {
            RxDone(in);
        } else {
            ScanTickAt(in);
        }
    }
    in.NowUs = std::max(in.NowUs, us);
}

} // namespace

std::array<Signal, Channels> DefaultSignals() {
    std::array<Signal, Channels> s{};
    for (int k = 0; k < Channels; ++k) s[static_cast<std::size_t>(k)].Offset = 250.0 * (k + 1);
    return s;
}

void PowerUp(Instrument& inst, const Config& cfg, std::int64_t tMs) {
    inst = Instrument{};
    inst.Cfg = cfg;
    inst.NowUs = MsToUs(tMs);
    inst.RxFreeUs = inst.TxFreeUs = inst.LastActivityUs = inst.NowUs;
    inst.Rng = cfg.Fault.Seed;
}

void Feed(Instrument& inst, std::uint8_t b, std::int64_t tMs) {
    std::int64_t t = std::max(MsToUs(tMs), inst.NowUs);
    RunTo(inst, t);
    if (inst.HostBaud <= 0) return; // nothing is written on a closed port
    std::int64_t start = std::max(t, inst.RxFreeUs);
    std::int64_t end = start + ByteUs(inst.HostBaud);
    inst.RxFreeUs = end;
    inst.Rx.push_back(Instrument::RxByte{start, end, inst.HostBaud, b});
    ++inst.Stat.BytesIn;
}

void SetHostBaud(Instrument& inst, std::int32_t baud, std::int64_t tMs) {
    RunTo(inst, MsToUs(tMs));
    std::int32_t b = baud > 0 ? baud : 0;
    if (b != inst.HostBaud) Log(inst, b ? "host at " + std::to_string(b) + " baud" : "host closed the port");
    inst.HostBaud = b;
}

void SetFaults(Instrument& inst, const Faults& faults, std::int64_t tMs) {
    RunTo(inst, MsToUs(tMs));
    if (faults.Seed != inst.Cfg.Fault.Seed) inst.Rng = faults.Seed;
    if (faults.LineGone != inst.Cfg.Fault.LineGone) Log(inst, faults.LineGone ? "line gone" : "line back");
    inst.Cfg.Fault = faults;
}

void Advance(Instrument& inst, std::int64_t tMs) { RunTo(inst, MsToUs(tMs)); }

std::int64_t NextOutputTime(const Instrument& inst) {
    std::int64_t t = Never;
    if (!inst.Out.empty()) t = inst.Out.front().TimeMs;
    if (!inst.Tx.empty()) t = std::min(t, CeilMs(inst.Tx.front().EndUs));
    if (!inst.Rx.empty()) t = std::min(t, CeilMs(inst.Rx.front().EndUs));
    if (inst.BaudChangeUs >= 0) t = std::min(t, CeilMs(inst.BaudChangeUs));
    if (inst.ScanMode >= 0) t = std::min(t, CeilMs(inst.NextScanUs));
    return t;
}

void TakeOutput(Instrument& inst, std::int64_t tMs, std::vector<OutByte>& out) {
    RunTo(inst, MsToUs(tMs));
    while (!inst.Out.empty() && inst.Out.front().TimeMs <= tMs) {
        out.push_back(inst.Out.front());
        inst.Out.pop_front();
    }
}

std::int32_t ConvBytesOf(const Registers& reg) { return (reg.ModeMid & 0x80) ? 3 : 2; }
bool BipolarOf(const Registers& reg) { return (reg.ModeMid & 0x10) == 0; }
std::int32_t GainOf(const Registers& reg) { return 1 << ((reg.ModeHigh >> 2) & 7); }

std::int32_t FilterCodeOf(const Registers& reg) {
    std::int32_t code = ((reg.ModeMid & 7) << 8) | reg.ModeLow;
    return code == 0 ? 2048 : code;
}

double OutputRateHz(const Registers& reg) { return 19531.25 / FilterCodeOf(reg); }

double ScanClockHz(const Instrument& inst) {
    double base = inst.Cfg.Version > 100 ? 4882.8125 : 3906.25;
    return base / static_cast<double>(1 << std::clamp(inst.SpeedIndex, 0, 5));
}

std::int64_t ScanIntervalUs(const Instrument& inst) {
    return std::max<std::int64_t>(1, DelayUs(IntervalUsExact(inst) + 0.5));
}

std::int32_t ScanBytes(const Instrument& inst, int mode) {
    std::int32_t cb = ConvBytesOf(inst.Reg), n = inst.Reg.ScanConfig[ScanConfigCount];
    if (mode == 0) return cb;
    if (mode == 2) return (n + 2) * cb + 2;
    return n * cb + 2;
}

std::uint32_t CountFor(const Registers& reg, double v) {
    double x = v * GainOf(reg) / 5000.0;
    double f = BipolarOf(reg) ? (x + 1.0) / 2.0 : x;
    // Rounded at the word's own resolution, clamped to its range.
    double full = ConvBytesOf(reg) == 3 ? 16777216.0 : 65536.0;
    double raw = std::floor(f * full + 0.5);
    if (!(raw > 0.0)) return 0;
    if (raw >= full - 1.0) return static_cast<std::uint32_t>(full - 1.0);
    return static_cast<std::uint32_t>(raw);
}

double InputMean(const Instrument& inst, int channel, std::int64_t fromUs, std::int64_t toUs) {
    const Signal& s = inst.Cfg.Signals[static_cast<std::size_t>(channel & 0x0F)];
    if (s.Amplitude == 0.0 || !(s.FrequencyHz > 0.0)) return s.Offset;
    double w = 2.0 * 3.14159265358979323846 * s.FrequencyHz;
    double t0 = static_cast<double>(fromUs) * 1e-6, t1 = static_cast<double>(toUs) * 1e-6;
    if (t1 - t0 < 1e-9) return s.Offset + s.Amplitude * std::sin(w * t1);
    return s.Offset + s.Amplitude * (std::cos(w * t0) - std::cos(w * t1)) / (w * (t1 - t0));
}

} // namespace sadc::sim
