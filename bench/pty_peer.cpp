#include "bench/pty_peer.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

namespace bench {

namespace {

constexpr std::uint8_t SyncByte = 0x00;
constexpr std::uint8_t SyncReply = 0x03;
constexpr std::uint8_t SpeedRequest = 0x88;
constexpr std::uint8_t LeadByte = 0xF0;
constexpr std::uint8_t CmdGetVer = 0x86;
constexpr std::uint8_t CmdScan1 = 0x89;
constexpr std::uint8_t CmdStop = 0x8A;
constexpr int DownloadBytes = 12; // mode, low mode, averaging, end frame
constexpr int TimerBytes = 15;    // scan timer and six configuration bytes
// The unpaced stream keeps this much ahead of what the terminal has taken.
constexpr std::size_t BulkAhead = 16384;

int BaudOf(speed_t s) {
    switch (s) {
    case B300: return 300;
    case B600: return 600;
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    default: return 9600;
    }
}

// Ten bit-times (start, eight data, stop) at the speed the library set.
std::int64_t ByteNs(const Peer& p) {
    termios t{};
    int baud = 9600;
    if (tcgetattr(p.Slave, &t) == 0) baud = BaudOf(cfgetospeed(&t));
    return 10'000'000'000LL / baud;
}

void Send(Peer& p, std::initializer_list<std::uint8_t> bytes, std::int64_t at) {
    std::int64_t b = ByteNs(p);
    for (std::uint8_t v : bytes) {
        p.OutFree = std::max(at, p.OutFree) + b;
        p.Out.push_back({v, p.OutFree, false});
    }
}

double ScanClockHz(const Peer& p, int speedIndex) {
    double base = p.Version > 100 ? 4882.8125 : 3906.25;
    return base / static_cast<double>(1 << speedIndex);
}

int SpeedIndexOf(const Peer& p) {
    switch (static_cast<int>(10'000'000'000LL / ByteNs(p))) {
    case 9600: return 0;
    case 4800: return 1;
    case 2400: return 2;
    case 1200: return 3;
    case 600: return 4;
    default: return 5;
    }
}

void QueueScan(Peer& p, std::int64_t start) {
    std::int64_t b = ByteNs(p);
    for (std::uint8_t v : ScanBytes(p, p.Seq)) {
        p.OutFree = std::max(start, p.OutFree) + b;
        p.Out.push_back({v, p.OutFree, false});
    }
    ++p.Seq;
    p.ScansStarted.store(p.Seq);
}

void Command(Peer& p, std::int64_t at) {
    std::uint8_t cmd = p.Frame[0];
    if (((p.Frame[0] + p.Frame[1]) & 0xFF) != p.Frame[2]) return; // a bad frame is ignored
    switch (cmd) {
    case CmdGetVer:
        if (p.Now.RandomDelay) {
            std::uniform_int_distribution<std::int64_t> late(0, 4'000'000);
            std::int64_t due = at + late(p.Random);
            p.OutFree = std::max(p.OutFree, due);
            p.Out.push_back({CmdGetVer, due, true});
            p.Out.push_back({p.Version, due, true});
        } else {
            Send(p, {CmdGetVer, p.Version}, at);
        }
        break;
    case CmdScan1:
        Send(p, {CmdScan1}, at);
        p.Streaming = true;
        p.Seq = 0;
        p.NextScanAt = p.OutFree + p.ScanIntervalNs;
        break;
    case CmdStop:
        // The scan under way is finished, then the stop echo ends the stream.
        p.Streaming = false;
        if (p.BulkPos < p.Bulk.size()) {
            std::size_t scan = static_cast<std::size_t>(2 + p.ScanChans * p.ScanConvBytes);
            p.Bulk.resize(p.BulkPos + (p.Bulk.size() - p.BulkPos) % scan);
            p.Bulk.push_back(CmdStop);
        } else {
            Send(p, {CmdStop}, at);
        }
        break;
    default:
        break; // channel, averaging and counter frames need no answer
    }
}

// One byte from the library, at the moment its stop bit reached the instrument.
void Receive(Peer& p, std::uint8_t b, std::int64_t at) {
    if (p.Now.Silent) return;
    switch (p.State) {
    case PeerState::Asleep:
    case PeerState::Awake:
        if (b == SyncByte) {
            Send(p, {SyncReply}, at);
            p.State = PeerState::Awake;
        } else if (b == SpeedRequest && p.State == PeerState::Awake) {
            p.State = PeerState::SpeedNext;
        }
        break;
    case PeerState::SpeedNext:
        Send(p, {b}, at); // the echo goes out at the old speed; both ends then change
        p.State = PeerState::SyncNext;
        break;
    case PeerState::SyncNext:
        if (b == SyncByte) {
            p.State = PeerState::Download;
            p.Frame.clear();
        }
        break;
    case PeerState::Download:
        p.Frame.push_back(b);
        if (static_cast<int>(p.Frame.size()) == DownloadBytes) {
            Send(p, {p.Frame[0], p.Frame[1], p.Frame[3]}, at);
            p.State = PeerState::Timer;
            p.Frame.clear();
        }
        break;
    case PeerState::Timer:
        p.Frame.push_back(b);
        if (static_cast<int>(p.Frame.size()) == TimerBytes) {
            // Frames L,M,sum and H,cfg0,sum: the timer preset is N - 1.
            double n = p.Frame[0] + 256.0 * p.Frame[1] + 65536.0 * p.Frame[3] + 1.0;
            p.ScanIntervalNs = static_cast<std::int64_t>(n / ScanClockHz(p, SpeedIndexOf(p)) * 1e9);
            p.State = PeerState::Command;
            p.Frame.clear();
        }
        break;
    case PeerState::Command:
        if (p.Frame.empty() && b == SyncByte) {
            // A wake-up between frames: a new sign-on (or the byte after a stop).
            Send(p, {SyncReply}, at);
            p.State = PeerState::Awake;
            p.Streaming = false;
            break;
        }
        p.Frame.push_back(b);
        if (p.Frame.size() == 3) {
            Command(p, at);
            p.Frame.clear();
        }
        break;
    }
}

void WriteDue(Peer& p, std::int64_t now) {
    std::uint8_t buf[512];
    std::size_t n = 0;
    bool stamped = false;
    while (n < sizeof buf && n < p.Out.size() && p.Out[n].Due <= now) {
        buf[n] = p.Out[n].Byte;
        stamped = stamped || p.Out[n].Stamped;
        ++n;
    }
    if (n == 0) return;
    if (stamped) {
        p.ReadableStamp.store(0, std::memory_order_release);
        p.ReplyStamp.store(NowNs(), std::memory_order_release);
    }
    ssize_t w = write(p.Master, buf, n);
    if (w <= 0) return; // the terminal is full; tried again on the next pass
    if (stamped) {
        // The kernel moves the bytes to the terminal's input on a worker
        // thread; the moment they become readable splits the latency into
        // the kernel's part and the library's.
        pollfd f{p.Slave, POLLIN, 0};
        timespec limit{0, 20'000'000};
        if (ppoll(&f, 1, &limit, nullptr) == 1 && (f.revents & POLLIN))
            p.ReadableStamp.store(NowNs(), std::memory_order_release);
    }
    p.Out.erase(p.Out.begin(), p.Out.begin() + w);
    p.BytesSent.fetch_add(static_cast<std::uint64_t>(w));
}

void WriteBulk(Peer& p) {
    if (p.Streaming && p.Now.Unpaced) {
        while (p.Bulk.size() - p.BulkPos < BulkAhead) {
            std::vector<std::uint8_t> s = ScanBytes(p, p.Seq);
            p.Bulk.insert(p.Bulk.end(), s.begin(), s.end());
            ++p.Seq;
        }
        p.ScansStarted.store(p.Seq);
    }
    if (p.BulkPos >= p.Bulk.size()) return;
    ssize_t w = write(p.Master, p.Bulk.data() + p.BulkPos, p.Bulk.size() - p.BulkPos);
    if (w > 0) {
        p.BulkPos += static_cast<std::size_t>(w);
        p.BytesSent.fetch_add(static_cast<std::uint64_t>(w));
    }
    if (p.BulkPos > 65536) {
        p.Bulk.erase(p.Bulk.begin(), p.Bulk.begin() + static_cast<std::ptrdiff_t>(p.BulkPos));
        p.BulkPos = 0;
    }
}

void ReadInbound(Peer& p) {
    std::uint8_t buf[512];
    ssize_t n = read(p.Master, buf, sizeof buf);
    if (n <= 0) return;
    p.Idle.store(false);
    std::int64_t t = NowNs();
    std::int64_t b = ByteNs(p);
    for (ssize_t i = 0; i < n; ++i) {
        p.InFree = std::max(t, p.InFree) + b;
        p.In.push_back({buf[i], p.InFree});
    }
}

void TakeControl(Peer& p) {
    std::lock_guard<std::mutex> g(p.Lock);
    if (p.TakenGen == p.WantedGen) return;
    if (p.Wanted.EndStreams != p.Now.EndStreams) {
        p.Streaming = false;
        p.Out.clear();
        p.Bulk.clear();
        p.BulkPos = 0;
        p.In.clear();
        p.Frame.clear();
        p.State = PeerState::Asleep;
    }
    p.Now = p.Wanted;
    p.TakenGen = p.WantedGen;
    p.Taken.notify_all();
}

void RunPeer(Peer* pp) {
    Peer& p = *pp;
    // Wake-ups as close to each byte's due time as the scheduler allows; the
    // library under test keeps the default slack.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    // Where allowed, the instrument runs ahead of every ordinary task, so
    // its line timing and its stamps do not wait for the scheduler.
    sched_param fifo{};
    fifo.sched_priority = 10;
    p.RealTime = pthread_setschedparam(pthread_self(), SCHED_FIFO, &fifo) == 0;
    while (!p.Quit.load()) {
        TakeControl(p);
        std::int64_t now = NowNs();
        while (!p.In.empty() && p.In.front().At <= now) {
            InByte b = p.In.front();
            p.In.pop_front();
            Receive(p, b.Byte, b.At);
        }
        if (p.Streaming && !p.Now.Unpaced) {
            while (p.NextScanAt <= now) {
                QueueScan(p, p.NextScanAt);
                p.NextScanAt += p.ScanIntervalNs;
            }
        }
        WriteDue(p, now);
        // The unpaced stream follows the paced scans already queued.
        if (p.Out.empty()) WriteBulk(p);
        bool bulkLeft = p.BulkPos < p.Bulk.size() || (p.Streaming && p.Now.Unpaced);

        std::int64_t wake = LLONG_MAX;
        if (!p.In.empty()) wake = std::min(wake, p.In.front().At);
        if (!p.Out.empty()) wake = std::min(wake, p.Out.front().Due);
        if (p.Streaming && !p.Now.Unpaced) wake = std::min(wake, p.NextScanAt);
        p.Idle.store(p.In.empty() && p.Out.empty() && !bulkLeft && !p.Streaming);

        bool wantOut = bulkLeft && p.Out.empty();
        pollfd fds[2] = {{p.Master, static_cast<short>(POLLIN | (wantOut ? POLLOUT : 0)), 0},
                         {p.WakeRead, POLLIN, 0}};
        timespec ts{};
        timespec* tsp = nullptr;
        if (wake != LLONG_MAX) {
            std::int64_t d = std::max<std::int64_t>(0, wake - NowNs());
            ts.tv_sec = static_cast<time_t>(d / 1'000'000'000);
            ts.tv_nsec = static_cast<long>(d % 1'000'000'000);
            tsp = &ts;
        }
        if (ppoll(fds, 2, tsp, nullptr) < 0) continue;
        if (fds[1].revents & POLLIN) {
            char drain[64];
            while (read(p.WakeRead, drain, sizeof drain) > 0) {
            }
        }
        if (fds[0].revents & POLLIN) ReadInbound(p);
    }
}

template <typename Edit>
void Change(Peer& p, Edit edit) {
    std::unique_lock<std::mutex> g(p.Lock);
    edit(p.Wanted);
    std::uint64_t gen = ++p.WantedGen;
    char one = 1;
    if (write(p.WakeWrite, &one, 1) < 0) {
    }
    p.Taken.wait(g, [&] { return p.TakenGen >= gen; });
}

} // namespace

std::int64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

std::uint32_t ScanValue(std::uint64_t seq, int ch, int convBytes) {
    std::uint64_t mask = convBytes == 3 ? 0xFFFFFF : 0xFFFF;
    return static_cast<std::uint32_t>((seq * 7 + static_cast<std::uint64_t>(ch) * 0x10101) & mask);
}

std::vector<std::uint8_t> ScanBytes(const Peer& p, std::uint64_t seq) {
    std::vector<std::uint8_t> s;
    s.reserve(static_cast<std::size_t>(2 + p.ScanChans * p.ScanConvBytes));
    s.push_back(LeadByte);
    for (int ch = 0; ch < p.ScanChans; ++ch) {
        std::uint32_t v = ScanValue(seq, ch, p.ScanConvBytes);
        for (int k = 0; k < p.ScanConvBytes; ++k) s.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
    }
    s.push_back(static_cast<std::uint8_t>(seq));
    return s;
}

bool StartPeer(Peer& p, const std::string& dir) {
    p.Master = posix_openpt(O_RDWR | O_NOCTTY);
    if (p.Master < 0 || grantpt(p.Master) != 0 || unlockpt(p.Master) != 0) {
        std::perror("posix_openpt");
        return false;
    }
    const char* name = ptsname(p.Master);
    if (!name) {
        std::perror("ptsname");
        return false;
    }
    p.SlavePath = name;
    p.Slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (p.Slave < 0) {
        std::perror("open slave");
        return false;
    }
    termios t{};
    tcgetattr(p.Slave, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B300);
    cfsetospeed(&t, B300);
    tcsetattr(p.Slave, TCSANOW, &t);
    fcntl(p.Master, F_SETFL, fcntl(p.Master, F_GETFL) | O_NONBLOCK);
    int wake[2];
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        std::perror("pipe");
        return false;
    }
    p.WakeRead = wake[0];
    p.WakeWrite = wake[1];
    p.LinkPath = dir + "/COM1";
    unlink(p.LinkPath.c_str());
    if (symlink(name, p.LinkPath.c_str()) != 0) {
        std::perror("symlink");
        return false;
    }
    p.Thread = std::thread(RunPeer, &p);
    return true;
}

void StopPeer(Peer& p) {
    if (p.Thread.joinable()) {
        p.Quit.store(true);
        char one = 1;
        if (write(p.WakeWrite, &one, 1) < 0) {
        }
        p.Thread.join();
    }
    if (!p.LinkPath.empty()) unlink(p.LinkPath.c_str());
    for (int fd : {p.Master, p.Slave, p.WakeRead, p.WakeWrite})
        if (fd >= 0) close(fd);
}

void SetSilent(Peer& p, bool on) {
    Change(p, [&](PeerControl& c) { c.Silent = on; });
}
void SetRandomDelay(Peer& p, bool on) {
    Change(p, [&](PeerControl& c) { c.RandomDelay = on; });
}
void SetUnpaced(Peer& p, bool on) {
    Change(p, [&](PeerControl& c) { c.Unpaced = on; });
}
void EndStream(Peer& p) {
    Change(p, [&](PeerControl& c) { ++c.EndStreams; });
}

bool WaitIdle(Peer& p, int ms) {
    // Bytes still in the terminal have not reached the peer yet: idle only
    // when nothing is waiting there either, twice in a row.
    std::int64_t end = NowNs() + static_cast<std::int64_t>(ms) * 1'000'000;
    int quiet = 0;
    while (NowNs() < end) {
        int waiting = 0;
        ioctl(p.Master, FIONREAD, &waiting);
        if (p.Idle.load() && waiting == 0) {
            if (++quiet >= 2) return true;
        } else {
            quiet = 0;
        }
        timespec ts{0, 2'000'000};
        nanosleep(&ts, nullptr);
    }
    return false;
}

} // namespace bench
