#include "sim/pty_runner.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace sadc::sim {
namespace {

// Longest sleep of the serving loop: bounds how late a stop is noticed.
constexpr int MaxPollMs = 10;
// Rest between looks at a closed slave, which polls as hung up at once; its
// bytes wait in the queue meanwhile, so this adds no more than this latency.
constexpr int ClosedRestMs = 5;

std::int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int32_t BaudOf(speed_t s) {
    switch (s) {
    case B50: return 50;
    case B110: return 110;
    case B300: return 300;
    case B600: return 600;
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return 0;
    }
}

std::string Stamp(std::int64_t ms) {
    char b[32];
    std::snprintf(b, sizeof b, "%10.3f s", static_cast<double>(ms) / 1000.0);
    return b;
}

void Emit(PtySim& s, const std::string& line) {
    if (!s.Trace) return;
    if (s.TraceSink) {
        s.TraceSink(line);
    } else {
        std::fputs(line.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
}

void TraceBytes(PtySim& s, std::int64_t ms, const char* who, const std::uint8_t* b, std::size_t n) {
    if (!s.Trace || n == 0) return;
    std::string line = Stamp(ms) + "  " + who;
    char hex[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(hex, sizeof hex, " %02X", b[i]);
        line += hex;
    }
    Emit(s, line);
}

// Called with the lock held: the instrument's notes go to the trace.
void FlushNotes(PtySim& s, std::vector<std::string>& lines) {
    while (!s.Inst.Notes.empty()) {
        lines.push_back(Stamp(s.Inst.Notes.front().TimeMs) + "  --   " + s.Inst.Notes.front().Text);
        s.Inst.Notes.pop_front();
    }
}

// Called with the lock held: the host's port speed as the slave's settings
// say, or 0 while no one holds the slave open.
void TrackLine(PtySim& s, bool hungUp, std::int64_t now) {
    std::int32_t baud = 0;
    if (!hungUp) {
        termios t{};
        if (tcgetattr(s.Master, &t) == 0) baud = BaudOf(cfgetospeed(&t));
    }
    if (baud != s.HostBaud) {
        s.HostBaud = baud;
        SetHostBaud(s.Inst, baud, now);
    }
}

void WriteAll(PtySim& s, const std::vector<OutByte>& out) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(out.size());
    for (const OutByte& b : out) bytes.push_back(b.Value);
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(s.Master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            // The host's input queue is full (it is not reading): a real
            // line would overrun too.
            Emit(s, Stamp(PtyNowMs(s)) + "  --   " + std::to_string(bytes.size() - done) +
                        " bytes lost: the host's input queue is full");
            break;
        }
    }
}

void Rest(int ms) {
    timespec ts{0, static_cast<long>(ms) * 1000000L};
    nanosleep(&ts, nullptr);
}

} // namespace

std::int64_t PtyNowMs(const PtySim& s) { return (SteadyNs() - s.StartNs) / 1000000; }

bool OpenPty(PtySim& s, const Config& cfg, std::string& error) {
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m < 0) {
        error = std::string("posix_openpt: ") + std::strerror(errno);
        return false;
    }
    const char* name = nullptr;
    if (grantpt(m) != 0 || unlockpt(m) != 0 || (name = ptsname(m)) == nullptr) {
        error = std::string("pseudo-terminal set-up: ") + std::strerror(errno);
        close(m);
        return false;
    }
    fcntl(m, F_SETFD, FD_CLOEXEC);
    // Raw at 300 baud from the start, so that nothing is echoed or
    // translated before the host sets the line up itself.
    termios t{};
    if (tcgetattr(m, &t) == 0) {
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&t, B300);
        cfsetospeed(&t, B300);
        tcsetattr(m, TCSANOW, &t);
    }
    s.Master = m;
    s.SlavePath = name;
    s.StartNs = SteadyNs();
    s.StopFlag = false;
    Config c = cfg;
    if (s.Trace) c.KeepNotes = true;
    PowerUp(s.Inst, c, 0);
    s.HostBaud = 0;
    return true;
}

void ServePty(PtySim& s) {
    std::vector<OutByte> out;
    std::vector<std::string> notes;
    std::uint8_t buf[512];
    bool hungUp = false;
    while (!s.StopFlag.load()) {
        std::int64_t now = PtyNowMs(s), next;
        out.clear();
        notes.clear();
        {
            std::lock_guard<std::mutex> g(s.Lock);
            TrackLine(s, hungUp, now);
            TakeOutput(s.Inst, now, out);
            next = NextOutputTime(s.Inst);
            FlushNotes(s, notes);
        }
        for (const std::string& n : notes) Emit(s, n);
        if (!out.empty()) {
            std::vector<std::uint8_t> v;
            for (const OutByte& b : out) v.push_back(b.Value);
            TraceBytes(s, now, "inst", v.data(), v.size());
            if (!hungUp) WriteAll(s, out);
        }

        int timeout = MaxPollMs;
        if (next != INT64_MAX) timeout = static_cast<int>(std::max<std::int64_t>(0, std::min<std::int64_t>(next - now, MaxPollMs)));
        pollfd p{s.Master, POLLIN, 0};
        int r = poll(&p, 1, timeout);
        if (r < 0) {
            if (errno != EINTR) Rest(ClosedRestMs);
            continue;
        }
        // No one holds the slave open: the host has closed its port (Linux
        // reports a hang-up and reads fail with EIO until it opens again).
        // What it wrote before closing is still taken, at its last speed.
        bool hup = r > 0 && (p.revents & POLLHUP);
        ssize_t n = 0;
        if (r > 0 && (p.revents & POLLIN)) {
            n = read(s.Master, buf, sizeof buf);
            if (n < 0 && errno == EIO) hup = true;
        }
        if (n > 0) {
            std::int64_t at = PtyNowMs(s);
            {
                std::lock_guard<std::mutex> g(s.Lock);
                // The host sets the speed before it writes, so the speed is
                // looked at again before its bytes go in.
                TrackLine(s, false, at);
                for (ssize_t i = 0; i < n; ++i) Feed(s.Inst, buf[i], at);
            }
            TraceBytes(s, at, "host", buf, static_cast<std::size_t>(n));
        } else if (hup && timeout > 0) {
            Rest(std::min(timeout, ClosedRestMs));
        }
        hungUp = hup;
    }
}

bool StartPty(PtySim& s, std::string& error) {
    if (s.Master < 0) {
        error = "the pseudo-terminal is not open";
        return false;
    }
    s.StopFlag = false;
    try {
        s.Thread = std::thread([&s] { ServePty(s); });
    } catch (const std::exception& e) {
        error = std::string("thread: ") + e.what();
        return false;
    }
    return true;
}

void StopPty(PtySim& s) {
    s.StopFlag = true;
    if (s.Thread.joinable()) s.Thread.join();
    for (const std::string& l : s.Links) unlink(l.c_str());
    s.Links.clear();
    if (s.Master >= 0) close(s.Master);
    s.Master = -1;
}

bool PlaceLink(PtySim& s, const std::string& path, std::string& error) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error = path + " exists and is not a link";
            return false;
        }
        unlink(path.c_str());
    }
    if (symlink(s.SlavePath.c_str(), path.c_str()) != 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    s.Links.push_back(path);
    return true;
}

std::string ComLinkPath(const std::string& dir, int n) { return dir + "/COM" + std::to_string(n); }

std::string WineLinkPath(const std::string& prefix, int n) {
    return prefix + "/dosdevices/com" + std::to_string(n);
}

void WithInstrument(PtySim& s, const std::function<void(Instrument&, std::int64_t)>& fn) {
    std::lock_guard<std::mutex> g(s.Lock);
    fn(s.Inst, PtyNowMs(s));
}

} // namespace sadc::sim
