// sadclink_bench: whole exchanges with a scripted instrument over a
// pseudo-terminal in real time, timed and charged to the calling thread's CPU.
//
// Built twice from this file: against the library as shipped (waits sleep in
// the platform's wait primitive) and against the spinning baseline (the same
// sources with every sleep and input wait returning at once). Each build
// prints its figures as "key<TAB>value" lines; bench/table.py sets the two
// side by side. Progress goes to stderr.
//
//   sadclink_bench [--short] [--only SECTION,...]
//     --short  a few seconds, for CI
//     --only   idle, latency, latencyslice, signon, slowscan, sustained
//   BENCH_VERBOSE=1 prints each late reply and the scan count as it goes.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

#include "bench/pty_peer.h"
#include "bench/signon_floor.h"
#include "interface/module_state.h"
#include "link/port_io.h"
#include "sadclink.h"

namespace bench {
namespace {

#if defined(BENCH_SPINNING)
constexpr const char* Variant = "spinning";
#else
constexpr const char* Variant = "sleeping";
#endif

struct Settings {
    double IdleS;          // length of each idle wait
    int Replies;           // latency samples
    int SignOns9600;       // timed sign-ons at 9600 baud
    int SignOns300;        // and at 300 baud
    double SlowScanS;      // interval of the slow scan
    int SlowScans;         // slow scans timed
    double SustainedS;     // paced stream
    double UnpacedS;       // unpaced stream
};

constexpr Settings Full{2.0, 1000, 10, 4, 2.0, 2, 30.0, 10.0};
constexpr Settings Short{0.25, 50, 1, 1, 0.25, 2, 1.0, 0.5};

constexpr int ScanBytesPerScan = 4 * 3 + 2;

int Failures = 0;

void Put(const char* key, double value) { std::printf("%s\t%.6g\n", key, value); }
void PutText(const char* key, const char* value) { std::printf("%s\t%s\n", key, value); }

bool Require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "[%s] FAILED: %s\n", Variant, what);
        ++Failures;
    }
    return ok;
}

void Note(const char* what) { std::fprintf(stderr, "[%s] %s\n", Variant, what); }

double ThreadCpuS() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double WallS() { return static_cast<double>(NowNs()) * 1e-9; }

// Voluntary context switches of the calling thread: how often it slept.
long Sleeps() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_nvcsw;
}

// CPU time, in clock ticks, of the whole machine (busy) and of this process:
// the difference is what other processes took while a figure was measured.
struct MachineTicks {
    long long Busy = 0, Own = 0;
};

MachineTicks ReadMachineTicks() {
    MachineTicks t;
    if (std::FILE* f = std::fopen("/proc/stat", "r")) {
        long long user, nice, system, idle, iowait, irq, softirq, steal;
        if (std::fscanf(f, "cpu %lld %lld %lld %lld %lld %lld %lld %lld", &user, &nice, &system, &idle,
                        &iowait, &irq, &softirq, &steal) == 8)
            t.Busy = user + nice + system + irq + softirq + steal;
        std::fclose(f);
    }
    if (std::FILE* f = std::fopen("/proc/self/stat", "r")) {
        // Fields 14 and 15, after the command name in parentheses.
        char line[1024];
        if (std::fgets(line, sizeof line, f)) {
            const char* p = std::strrchr(line, ')');
            long long utime = 0, stime = 0;
            if (p && std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lld %lld", &utime,
                                 &stime) == 2)
                t.Own = utime + stime;
        }
        std::fclose(f);
    }
    return t;
}

struct Span {
    double Wall = 0, Cpu = 0;
    long Sleeps = 0;
    double OtherCores = 0; // CPU of other processes per wall second
    double PerWall() const { return Wall > 0 ? Cpu / Wall : 0; }
    double SleepsPerS() const { return Wall > 0 ? static_cast<double>(Sleeps) / Wall : 0; }
};

struct Meter {
    double Wall0 = WallS(), Cpu0 = ThreadCpuS();
    long Sleeps0 = Sleeps();
    MachineTicks Machine0 = ReadMachineTicks();
    Span Read() const {
        Span s{WallS() - Wall0, ThreadCpuS() - Cpu0, Sleeps() - Sleeps0, 0};
        MachineTicks m = ReadMachineTicks();
        double other = static_cast<double>((m.Busy - Machine0.Busy) - (m.Own - Machine0.Own)) /
                       static_cast<double>(sysconf(_SC_CLK_TCK));
        s.OtherCores = s.Wall > 0 ? std::max(0.0, other / s.Wall) : 0;
        return s;
    }
};

// CPU cost of one sleep in poll() and the wake-up after it, on this machine
// at this moment: the yardstick for the figures that are wake-ups times cost.
double WakeCostUs() {
    int p[2];
    if (pipe(p) != 0) return 0;
    constexpr int Wakes = 200;
    double c0 = ThreadCpuS();
    for (int i = 0; i < Wakes; ++i) {
        pollfd f{p[0], POLLIN, 0};
        poll(&f, 1, 1);
    }
    double c1 = ThreadCpuS();
    close(p[0]);
    close(p[1]);
    return (c1 - c0) / Wakes * 1e6;
}

// The library's millisecond clock reads floor(monotonic ms) minus the whole
// millisecond it was loaded at; that offset turns a monotonic instant into a
// clock reading with its fraction, which the sign-on floor needs.
std::int64_t ClockOriginMs() {
    for (;;) {
        std::int64_t a = NowNs() / 1'000'000;
        std::int64_t e = sadc::ClockMs64();
        std::int64_t b = NowNs() / 1'000'000;
        if (a == b) return a - e;
    }
}

double LibraryMs(std::int64_t origin) { return static_cast<double>(NowNs()) / 1e6 - static_cast<double>(origin); }

// Four 24-bit channels in scan mode 1 at the converter's fastest rate, no
// averaging: the set-up with the shortest scan interval at 9600 baud. The
// input queue is larger than a Linux terminal's 4 KB, so the overflow test
// can only fire when the library really falls behind.
DeviceRecord BenchRecord(std::int16_t speedIndex) {
    DeviceRecord r{};
    r.ComPort = 0;
    r.ScanTime = 1.0;
    r.NumChans = 4;
    r.ScanMode = 1;
    r.ConvBytes = 3;
    r.Bipolar = 1;
    r.FilterSel = 2;
    r.Gain = 1;
    r.DataRate = 19531.25f;
    r.SpeedIndex = speedIndex;
    r.CounterPreset = 0;
    r.AvgCount = 1;
    r.OutQueueSize = 4096;
    r.InQueueSize = 8192;
    return r;
}

double Percentile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    double pos = q * static_cast<double>(v.size() - 1);
    std::size_t i = static_cast<std::size_t>(pos);
    double f = pos - static_cast<double>(i);
    return i + 1 < v.size() ? v[i] * (1 - f) + v[i + 1] * f : v[i];
}

// r is signed on at 9600 baud.
void IdleWaits(Peer& peer, DeviceRecord& r, const Settings& s) {
    WaitIdle(peer, 5000);
    double signedOnTimeout = sadc::Module.ReplyTimeout;
    Put("reply_timeout_s", signedOnTimeout);

    // A reply wait on a silent line, as long as the sign-on set it (2 s plus
    // one conversion); the short run shortens it.
    SetSilent(peer, true);
    if (s.IdleS < 2.0) sadc::Module.ReplyTimeout = s.IdleS;
    Meter m;
    SadcStatus st = GetVer(&r);
    Span reply = m.Read();
    SetSilent(peer, false);
    sadc::Module.ReplyTimeout = signedOnTimeout;
    Require(st == 0, "GetVer on a silent line reported success");
    Put("idle_reply_cpu", reply.PerWall());
    Put("idle_reply_wall_s", reply.Wall);
    Put("idle_reply_sleeps_per_s", reply.SleepsPerS());

    m = Meter{};
    sadc::DelaySeconds(static_cast<float>(s.IdleS));
    Span delay = m.Read();
    Put("idle_delay_cpu", delay.PerWall());
    Put("idle_delay_wall_s", delay.Wall);
    Put("idle_delay_sleeps_per_s", delay.SleepsPerS());

    // 18.2 ticks a second; one tick more than the span so the wait lasts it.
    std::int32_t ticks = static_cast<std::int32_t>(std::ceil(s.IdleS * 18.2)) + 1;
    m = Meter{};
    sadc::WaitTicks(ticks);
    Span tick = m.Read();
    Put("idle_ticks_cpu", tick.PerWall());
    Put("idle_ticks_wall_s", tick.Wall);
    Put("idle_ticks_sleeps_per_s", tick.SleepsPerS());
}

// tag names the figures: "latency", or "latency_slice" for the run with a
// short scheduler slice.
void ReplyLatency(Peer& peer, DeviceRecord& r, const Settings& s, const char* tag) {
    char key[64];
    auto put = [&](const char* what, double v) {
        std::snprintf(key, sizeof key, "%s_%s", tag, what);
        Put(key, v);
    };
    WaitIdle(peer, 5000);
    SetRandomDelay(peer, true);
    std::vector<double> ms, kernel, take;
    ms.reserve(static_cast<std::size_t>(s.Replies));
    Meter m;
    for (int i = 0; i < s.Replies; ++i) {
        std::int64_t before = peer.ReplyStamp.load(std::memory_order_acquire);
        SadcStatus st = GetVer(&r);
        std::int64_t back = NowNs();
        std::int64_t stamp = peer.ReplyStamp.load(std::memory_order_acquire);
        if (!Require(st == 1 && stamp != before, "GetVer with a late reply")) break;
        ms.push_back(static_cast<double>(back - stamp) / 1e6);
        // The peer may see the bytes readable a moment after the library has
        // taken them; only stamps that fall between count.
        std::int64_t readable = peer.ReadableStamp.load(std::memory_order_acquire);
        if (readable >= stamp && readable <= back) {
            kernel.push_back(static_cast<double>(readable - stamp) / 1e6);
            take.push_back(static_cast<double>(back - readable) / 1e6);
        }
        if (std::getenv("BENCH_VERBOSE") && ms.back() > 0.5)
            std::fprintf(stderr, "[%s] reply %d taken %.3f ms late\n", Variant, i, ms.back());
    }
    Span all = m.Read();
    SetRandomDelay(peer, false);
    put("other_cores", all.OtherCores);
    put("n", static_cast<double>(ms.size()));
    put("median_ms", Percentile(ms, 0.5));
    put("p99_ms", Percentile(ms, 0.99));
    put("max_ms", Percentile(ms, 1.0));
    put("cpu", all.PerWall());
    put("split_n", static_cast<double>(take.size()));
    put("kernel_median_ms", Percentile(kernel, 0.5));
    put("kernel_p99_ms", Percentile(kernel, 0.99));
    put("take_median_ms", Percentile(take, 0.5));
    put("take_p99_ms", Percentile(take, 0.99));
    PutText("peer_realtime", peer.RealTime.load() ? "yes" : "no");
}

void SignOnTimes(Peer& peer, std::int16_t speedIndex, int runs, const char* tag) {
    std::int64_t origin = ClockOriginMs();
    std::vector<double> actual, floors, excess;
    SignOnFloor first{};
    for (int i = 0; i < runs; ++i) {
        DeviceRecord r = BenchRecord(speedIndex);
        // The counter presets of the last sign-on must have left the line.
        WaitIdle(peer, 10000);
        double start = LibraryMs(origin);
        SadcStatus st = SignOn(&r);
        double end = LibraryMs(origin);
        if (!Require(st == 1, "timed sign-on")) return;
        SignOnFloor f = SignOnFloorAt(start, speedIndex);
        if (i == 0) first = f;
        actual.push_back(end - start);
        floors.push_back(f.TotalMs);
        excess.push_back((end - start) / f.TotalMs - 1.0);
    }
    char key[64];
    auto put = [&](const char* what, double v) {
        std::snprintf(key, sizeof key, "signon%s_%s", tag, what);
        Put(key, v);
    };
    put("n", static_cast<double>(actual.size()));
    put("ms", Percentile(actual, 0.5));
    put("floor_ms", Percentile(floors, 0.5));
    put("excess_pct", 100 * Percentile(excess, 0.5));
    put("worst_excess_pct", 100 * Percentile(excess, 1.0));
    put("floor_waits_ms", first.WaitsMs);
    put("floor_line_ms", first.LineMs);
}

struct StreamCount {
    std::uint64_t Scans = 0;
    std::uint64_t BytesLost = 0;
    int Errors = 0;
    Span Time;
    double FirstAt = 0, LastAt = 0; // when the first and the last scan were taken
    // Scans per second between the first scan taken and the last, so the
    // wait for the first one does not count.
    double PerS() const { return Scans > 1 ? static_cast<double>(Scans - 1) / (LastAt - FirstAt) : 0; }
};

// Takes scans for the given time (or up to most scans), checking each against the sequence the
// instrument sends; a gap in the sequence counts its bytes as lost.
StreamCount TakeScans(DeviceRecord& r, std::uint64_t& next, double seconds,
                      std::uint64_t most = ~std::uint64_t(0)) {
    StreamCount c;
    std::int32_t buf[64];
    Meter m;
    while (c.Scans < most && m.Read().Wall < seconds) {
        if (GetOneScan(&r, buf) != 1) {
            std::fprintf(stderr, "[%s] GetOneScan failed, ErrorCode %d\n", Variant, r.ErrorCode);
            ++c.Errors;
            break;
        }
        std::uint32_t v[4];
        for (std::uint32_t& x : v) {
            Gconv(&r, buf);
            x = static_cast<std::uint32_t>(r.Counts);
        }
        double at = WallS();
        if (c.Scans == 0) c.FirstAt = at;
        c.LastAt = at;
        std::int32_t tail = buf[0];
        RemoveFromBuffer(1, buf);
        // Which scan was this? The instrument numbers them.
        std::uint64_t found = next;
        bool matched = false;
        for (std::uint64_t seq = next; seq < next + 100000 && !matched; ++seq) {
            matched = v[0] == ScanValue(seq, 0, 3) && v[1] == ScanValue(seq, 1, 3) &&
                      v[2] == ScanValue(seq, 2, 3) && v[3] == ScanValue(seq, 3, 3) &&
                      tail == static_cast<std::int32_t>(seq & 0xFF);
            if (matched) found = seq;
        }
        if (matched) {
            c.BytesLost += (found - next) * ScanBytesPerScan;
            next = found + 1;
        } else {
            c.BytesLost += ScanBytesPerScan; // corrupted
            ++next;
        }
        ++c.Scans;
        if (std::getenv("BENCH_VERBOSE") && c.Scans % 40 == 0 && c.Scans * 14 < 100000) {
            Span sofar = m.Read();
            std::fprintf(stderr, "[%s] %llu scans, %.1f s, CPU %.4f, sleeps %ld\n", Variant,
                         static_cast<unsigned long long>(c.Scans), sofar.Wall, sofar.PerWall(), sofar.Sleeps);
        }
    }
    c.Time = m.Read();
    return c;
}

void SlowScan(Peer& peer, const Settings& s) {
    DeviceRecord r = BenchRecord(0);
    r.ScanTime = s.SlowScanS;
    if (!Require(SignOn(&r) == 1, "sign-on before the slow scan")) return;
    WaitIdle(peer, 5000);
    if (!Require(StartScanning(&r) == 1, "StartScanning (slow scan)")) return;
    std::uint64_t next = 0;
    // The first scan comes one interval after the start: the loop starts
    // right after a scan, so each timed call waits a whole interval.
    StreamCount warm = TakeScans(r, next, 1e9, 1);
    Require(warm.Errors == 0, "first slow scan");
    double wall = 0, cpu = 0;
    long sleeps = 0;
    for (int i = 0; i < s.SlowScans; ++i) {
        StreamCount one = TakeScans(r, next, 1e9, 1);
        Require(one.Errors == 0 && one.BytesLost == 0, "slow scan");
        wall += one.Time.Wall;
        cpu += one.Time.Cpu;
        sleeps += one.Time.Sleeps;
    }
    EndStream(peer);
    Put("idle_scan_cpu", wall > 0 ? cpu / wall : 0);
    Put("idle_scan_wall_s", s.SlowScans > 0 ? wall / s.SlowScans : 0);
    Put("idle_scan_sleeps_per_s", wall > 0 ? static_cast<double>(sleeps) / wall : 0);
}

// signedOn holds the achieved rate and the version of a sign-on, which the
// scan-timing rules need.
void Sustained(Peer& peer, const DeviceRecord& signedOn, const Settings& s) {
    DeviceRecord r = signedOn;
    double maxTime = 0, minTime = 0;
    r.ScanTime = 0;
    CheckScanTime(&r, &maxTime, &minTime);
    r.ScanTime = minTime;
    Require(CheckScanTime(&r, &maxTime, &minTime) == 1, "the shortest interval passes CheckScanTime");
    Put("scan_interval_s", r.ScanTime);
    if (!Require(SignOn(&r) == 1, "sign-on with the shortest interval")) return;
    WaitIdle(peer, 5000);
    Put("wake_cost_before_us", WakeCostUs());
    if (!Require(StartScanning(&r) == 1, "StartScanning (sustained)")) return;

    std::uint64_t next = 0;
    StreamCount paced = TakeScans(r, next, s.SustainedS);
    Put("scan_other_cores", paced.Time.OtherCores);
    Put("scan_cpu_per_sleep_us", paced.Time.Sleeps > 0 ? paced.Time.Cpu / static_cast<double>(paced.Time.Sleeps) * 1e6 : 0);
    Require(paced.Errors == 0, "paced stream");
    Put("scan_expected_per_s", 1.0 / r.ScanTime);
    Put("scan_per_s", paced.PerS());
    Put("scan_bytes_lost", static_cast<double>(paced.BytesLost));
    Put("scan_cpu", paced.Time.PerWall());
    Put("scan_sleeps_per_s", paced.Time.SleepsPerS());
    Put("scan_n", static_cast<double>(paced.Scans));

    // The same stream with the line unpaced: the terminal's own speed.
    SetUnpaced(peer, true);
    StreamCount fast = TakeScans(r, next, s.UnpacedS);
    Require(fast.Errors == 0, "unpaced stream");
    EndStream(peer);
    SetUnpaced(peer, false);
    Put("wake_cost_after_us", WakeCostUs());
    double perS = fast.PerS();
    Put("unpaced_per_s", perS);
    Put("unpaced_bytes_per_s", perS * ScanBytesPerScan);
    Put("unpaced_bytes_lost", static_cast<double>(fast.BytesLost));
    Put("unpaced_cpu", fast.Time.PerWall());
    Put("unpaced_sleeps_per_s", fast.Time.SleepsPerS());
}

// The library asks the driver for low-latency mode at every open; a
// pseudo-terminal has no such setting and refuses the request, which the
// library ignores. Reported so the table says what was exercised.
void LowLatencyNote() {
    int fd = static_cast<int>(sadc::CurrentHandle());
#if defined(__linux__) && defined(TIOCGSERIAL)
    serial_struct ss{};
    if (ioctl(fd, TIOCGSERIAL, &ss) == 0)
        PutText("low_latency", (ss.flags & ASYNC_LOW_LATENCY) ? "set" : "not set");
    else
        PutText("low_latency", errno == ENOTTY ? "refused by the pty (ENOTTY), ignored" : std::strerror(errno));
#else
    (void)fd;
    PutText("low_latency", "not available on this system");
#endif
}

// A shorter scheduler slice for the calling thread (Linux 6.12 and later
// take sched_runtime as the slice of an ordinary task): on a busy machine a
// thread woken by its byte then runs at once instead of waiting out the
// running task's slice (3 ms by default).
// 0 returns to the default slice. Returns true when the kernel took it.
bool AskForSlice(long us) {
#if defined(__linux__) && defined(SYS_sched_setattr)
    struct {
        std::uint32_t size, policy;
        std::uint64_t flags;
        std::int32_t nice;
        std::uint32_t priority;
        std::uint64_t runtime, deadline, period;
        std::uint32_t util_min, util_max;
    } attr{};
    attr.size = sizeof attr;
    attr.runtime = static_cast<std::uint64_t>(us) * 1000;
    long r = syscall(SYS_sched_setattr, 0, &attr, 0);
    if (r != 0) std::fprintf(stderr, "[%s] slice of %ld us refused: %s\n", Variant, us, std::strerror(errno));
    return r == 0;
#else
    (void)us;
    return false;
#endif
}

} // namespace
} // namespace bench

int main(int argc, char** argv) {
    using namespace bench;
    bool shortRun = false;
    std::string only; // comma-separated sections; empty runs them all
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--short") == 0) {
            shortRun = true;
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            only = std::string(",") + argv[++i] + ",";
        } else {
            std::fprintf(stderr, "usage: %s [--short] [--only idle,latency,latencyslice,signon,slowscan,sustained]\n", argv[0]);
            return 2;
        }
    }
    auto wanted = [&](const char* section) {
        return only.empty() || only.find(std::string(",") + section + ",") != std::string::npos;
    };
    const Settings& s = shortRun ? Short : Full;

    char dir[] = "/tmp/sadclink-bench-XXXXXX";
    if (!mkdtemp(dir)) {
        std::perror("mkdtemp");
        return 2;
    }
    setenv("SADCLINK_PORTS", dir, 1);
    Peer peer;
    if (!StartPeer(peer, dir)) return 2;

    PutText("variant", Variant);
    PutText("mode", shortRun ? "short" : "full");
    DeviceRecord base = BenchRecord(0);
    if (Require(SignOn(&base) == 1, "sign-on at 9600 baud")) {
        LowLatencyNote();
        if (wanted("idle")) {
            Note("idle waits");
            IdleWaits(peer, base, s);
        }
        if (wanted("latency")) {
            Note("reply latency");
            ReplyLatency(peer, base, s, "latency");
        }
        if (wanted("latencyslice")) {
            // The same with the calling thread asking the scheduler for a
            // 100 us slice, as an application that needs the latency on a
            // busy machine may do; the library leaves scheduling alone.
            Note("reply latency with a 100 us slice");
            if (AskForSlice(100)) {
                ReplyLatency(peer, base, s, "latency_slice");
                AskForSlice(0);
            }
        }
    }
    if (wanted("signon")) {
        Note("sign-on at 9600 baud");
        SignOnTimes(peer, 0, s.SignOns9600, "9600");
        Note("sign-on at 300 baud");
        SignOnTimes(peer, 5, s.SignOns300, "300");
    }
    if (wanted("slowscan")) {
        Note("slow scan");
        SlowScan(peer, s);
    }
    if (wanted("sustained")) {
        Note("sustained scanning");
        Sustained(peer, base, s);
    }
    CloseDevice();
    Put("failures", Failures);

    StopPeer(peer);
    rmdir(dir);
    return Failures == 0 ? 0 : 1;
}
