// POSIX serial ports over termios, and the monotonic clock.
//
// Ports are opened non-blocking, so a read returns at once with what has
// arrived (the Win32 read time-outs the protocol relies on) and a write never
// blocks on a stuck line. Waits sleep in poll() until input arrives.
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

namespace sadc {
namespace {

int Fd(PortHandle h) {
    if (h == InvalidHandle || h > 0x7fffffff) return -1;
    return static_cast<int>(h);
}

std::uint32_t PosixTickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                       static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

void PosixPeekMessages() {}

// A sleep of ms ends on the millisecond boundary at which the tick count has
// moved on by ms, not ms after the call: the library's clock reads whole
// milliseconds, so an ms-long sleep would overshoot each deadline by the
// fraction of the millisecond the wait began in (up to 1 ms per wait).
#if defined(__linux__) && !defined(SADCLINK_SPIN_WAITS)
#define SADCLINK_TICK_ALIGNED_SLEEPS 1
std::int64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

std::int64_t TickBoundaryNs(std::int64_t nowNs, std::uint32_t ms) {
    return (nowNs / 1000000 + static_cast<std::int64_t>(ms)) * 1000000;
}

timespec AsTimespec(std::int64_t ns) {
    if (ns < 0) ns = 0;
    return timespec{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
}
#endif

void PosixSleep(std::uint32_t ms) {
#if defined(SADCLINK_SPIN_WAITS)
    (void)ms;
#elif defined(SADCLINK_TICK_ALIGNED_SLEEPS)
    if (ms == 0) {
        timespec none{0, 0};
        nanosleep(&none, nullptr);
        return;
    }
    timespec until = AsTimespec(TickBoundaryNs(NowNs(), ms));
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
#else
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
#endif
}

void PosixWaitInput(PortHandle h, std::uint32_t ms) {
#if defined(SADCLINK_SPIN_WAITS)
    (void)h;
    (void)ms;
#else
    int fd = Fd(h);
    if (fd < 0) {
        PosixSleep(ms);
        return;
    }
    pollfd p{fd, POLLIN, 0};
#if defined(SADCLINK_TICK_ALIGNED_SLEEPS)
    std::int64_t now = NowNs();
    timespec left = AsTimespec(TickBoundaryNs(now, ms) - now);
    int r = ppoll(&p, 1, &left, nullptr);
#else
    int r = poll(&p, 1, static_cast<int>(ms));
#endif
    // A hung-up or broken line reports at once and forever; rest instead of
    // spinning on it.
    if (r < 0 || (r > 0 && !(p.revents & POLLIN))) PosixSleep(ms);
#endif
}

// "COMn" names the entry COMn of the directory in SADCLINK_PORTS, usually a
// symbolic link to a tty; without the variable it is /dev/ttyS(n-1).
bool ResolvePortName(const char* name, char* path, std::size_t size) {
    if (std::strncmp(name, "COM", 3) != 0) return false;
    char* end = nullptr;
    long n = std::strtol(name + 3, &end, 10);
    if (end == name + 3 || *end != '\0' || n < 1 || n > 256) return false;
    const char* dir = std::getenv("SADCLINK_PORTS");
    int len = (dir && *dir) ? std::snprintf(path, size, "%s/COM%ld", dir, n)
                            : std::snprintf(path, size, "/dev/ttyS%ld", n - 1);
    return len > 0 && static_cast<std::size_t>(len) < size;
}

PortHandle PosixOpenPort(const char* name) {
    char path[4096];
    if (!ResolvePortName(name, path, sizeof path)) return InvalidHandle;
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return InvalidHandle;
    // Exclusive use, as the Win32 open without sharing gives: TIOCEXCL keeps
    // out other opens of the device, the lock also other processes of root.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return InvalidHandle;
    }
    ioctl(fd, TIOCEXCL);
#if defined(__linux__) && defined(TIOCGSERIAL)
    // Ask the driver to hand over each byte at once; on FTDI adapters this
    // cuts the 16 ms latency timer to about 1 ms. Ignored where unsupported.
    serial_struct ss{};
    if (ioctl(fd, TIOCGSERIAL, &ss) == 0) {
        ss.flags |= ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &ss);
    }
#endif
    return static_cast<PortHandle>(fd);
}

speed_t SpeedOf(std::int32_t baud) {
    switch (baud) {
    case 110: return B110;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B0;
    }
}

int PosixConfigureLine(PortHandle h, const char* mode, std::int32_t baud) {
    (void)mode;
    int fd = Fd(h);
    speed_t speed = SpeedOf(baud);
    if (fd < 0 || speed == B0) return 0;
    termios t{};
    if (tcgetattr(fd, &t) != 0) return 0;
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
#if defined(CRTSCTS)
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0) return 0;
    // DTR held on, RTS held off; a pseudo-terminal has no modem lines.
    int dtr = TIOCM_DTR, rts = TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &dtr);
    ioctl(fd, TIOCMBIC, &rts);
    return 1;
}

int PosixSetQueueSizes(PortHandle h, std::int32_t, std::int32_t) {
    // The kernel's tty buffers have fixed sizes; the request is only checked
    // against an open port.
    int fd = Fd(h);
    return fd >= 0 && fcntl(fd, F_GETFD) != -1;
}

int PosixSetReadTimeouts(PortHandle h) {
    int fd = Fd(h);
    if (fd < 0) return 0;
    int flags = fcntl(fd, F_GETFL);
    return flags != -1 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) != -1;
}

int PosixWriteByte(PortHandle h, std::uint8_t b) {
    int fd = Fd(h);
    if (fd < 0) return 0;
    ssize_t n;
    do {
        n = write(fd, &b, 1);
    } while (n < 0 && errno == EINTR);
    return n == 1;
}

int PosixReadByte(PortHandle h, std::uint8_t* b) {
    int fd = Fd(h);
    if (fd < 0) return 0;
    std::uint8_t v = 0;
    ssize_t n;
    do {
        n = read(fd, &v, 1);
    } while (n < 0 && errno == EINTR);
    if (n != 1) return 0;
    *b = v;
    return 1;
}

void PosixPurge(PortHandle h, std::uint32_t flags) {
    int fd = Fd(h);
    if (fd < 0) return;
    bool tx = flags & PurgeTxClear, rx = flags & PurgeRxClear;
    if (tx && rx) tcflush(fd, TCIOFLUSH);
    else if (tx) tcflush(fd, TCOFLUSH);
    else if (rx) tcflush(fd, TCIFLUSH);
}

void PosixQueryStatus(PortHandle h, CommStatusBlock* status) {
    *status = CommStatusBlock{};
    int fd = Fd(h);
    if (fd < 0) return;
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) == 0 && n > 0) status->cbInQue = static_cast<std::uint32_t>(n);
#if defined(TIOCOUTQ)
    n = 0;
    if (ioctl(fd, TIOCOUTQ, &n) == 0 && n > 0) status->cbOutQue = static_cast<std::uint32_t>(n);
#endif
}

int PosixDrainOutput(PortHandle h, std::uint32_t ms) {
    // Polls the output queue count rather than calling tcdrain, which has no
    // bound on a stuck adapter.
    int fd = Fd(h);
    if (fd < 0) return 0;
    std::uint32_t start = PosixTickCount();
    for (;;) {
        CommStatusBlock s{};
        PosixQueryStatus(h, &s);
        if (s.cbOutQue == 0) return 1;
        if (PosixTickCount() - start >= ms) return 0;
        timespec ts{0, 1000000L};
        nanosleep(&ts, nullptr);
    }
}

void PosixClosePort(PortHandle h) {
    int fd = Fd(h);
    if (fd < 0) return;
    // Exclusive use ends with the handle. A pseudo-terminal keeps its tty
    // (and the flag) while its master is open, so without this only root
    // could open it again: every sign-on re-opens the port.
    ioctl(fd, TIOCNXCL);
    close(fd);
}

} // namespace

const PlatformOps NativePlatform = {
    PosixTickCount,     PosixPeekMessages, PosixSleep,       PosixWaitInput,
    PosixOpenPort,      PosixConfigureLine, PosixSetQueueSizes, PosixSetReadTimeouts,
    PosixWriteByte,     PosixReadByte,     PosixPurge,       PosixQueryStatus,
    PosixDrainOutput,   PosixClosePort,
};

} // namespace sadc
