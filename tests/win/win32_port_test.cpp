// win32_port_test.cpp - the Win32 platform table on a real COM port above
// COM9, with an echoing peer behind it (echo_peer.py under Wine).
//
// Every operation the protocol uses is checked for the result it reports:
// the device namespace open, the mode string, the read time-outs that make a
// read return at once, single-byte transfers, the driver's input count, the
// purge, the bounded input wait, and what each does on a closed handle. The
// round-trip figures are printed, not asserted.
//
// Usage: win32_port_test.exe COM12 [COM13]   (the second name must not exist)
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include <windows.h>

#include "platform/platform.h"

namespace {

int Failures = 0;

void Check(bool ok, const char* what) {
    std::printf("%-4s %s\n", ok ? "ok" : "FAIL", what);
    if (!ok) ++Failures;
}

const sadc::PlatformOps& P = sadc::NativePlatform;

// Waits for one byte the way a reply wait does: poll, then the bounded wait.
bool ReadWithin(sadc::PortHandle h, std::uint8_t* b, DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        if (P.ReadByte(h, b) == 1) return true;
        DWORD spent = GetTickCount() - start;
        if (spent >= ms) return false;
        P.WaitInput(h, ms - spent);
    }
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 2) {
        std::printf("usage: win32_port_test.exe COMn [COMm that does not exist]\n");
        return 2;
    }
    const char* name = argv[1];
    char mode[64];
    std::snprintf(mode, sizeof mode, "%s:9600,n,8,1", name);

    // Windows opens COM10 and above only as \\.\COMn; the plain name must fail
    // here for the test to show that the library does not rely on it.
    HANDLE plain = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD plainError = GetLastError();
    if (plain != INVALID_HANDLE_VALUE) CloseHandle(plain);
    std::printf("     plain CreateFileA(\"%s\"): %s (error %lu)\n", name,
                plain == INVALID_HANDLE_VALUE ? "fails" : "opens", static_cast<unsigned long>(plainError));

    sadc::PortHandle h = P.OpenPort(name);
    Check(h != sadc::InvalidHandle, "OpenPort opens a port above COM9");
    if (h == sadc::InvalidHandle) return 1;
    // Windows grants a COM port to one handle at a time; Wine does not, so this is shown only.
    sadc::PortHandle second = P.OpenPort(name);
    std::printf("     a second OpenPort of the same port %s\n", second == sadc::InvalidHandle ? "fails" : "opens too");
    if (second != sadc::InvalidHandle) P.ClosePort(second);
    Check(P.ConfigureLine(h, mode, 9600) != 0, "ConfigureLine takes the mode string COMn:9600,n,8,1");
    Check(P.SetQueueSizes(h, 4096, 1024) != 0, "SetQueueSizes");
    Check(P.SetReadTimeouts(h) != 0, "SetReadTimeouts");
    P.Purge(h, sadc::PurgeTxClear | sadc::PurgeRxClear);

    std::uint8_t b = 0xEE;
    Check(P.ReadByte(h, &b) == 0 && b == 0xEE, "ReadByte with nothing waiting returns 0 and leaves the byte");

    // One byte out and back.
    Check(P.WriteByte(h, 0x55) == 1, "WriteByte takes a byte");
    Check(ReadWithin(h, &b, 2000) && b == 0x55, "the echo comes back through ReadByte");

    // The driver's input count, which the scan reader's overflow test reads.
    for (int v = 1; v <= 3; ++v) P.WriteByte(h, static_cast<std::uint8_t>(v));
    Check(P.DrainOutput(h, 1000) != 0, "DrainOutput: the output queue empties");
    sadc::CommStatusBlock s{};
    DWORD start = GetTickCount();
    do {
        P.QueryStatus(h, &s);
        if (s.cbInQue < 3) Sleep(5);
    } while (s.cbInQue < 3 && GetTickCount() - start < 2000);
    Check(s.cbInQue == 3, "QueryStatus counts the 3 bytes waiting in the input queue");
    P.Purge(h, sadc::PurgeRxClear);
    Check(P.ReadByte(h, &b) == 0, "Purge discards the input queue");

    // Round trips through the bounded wait: what a one-byte reply costs.
    std::vector<DWORD> trips;
    for (int i = 0; i < 40; ++i) {
        std::uint8_t out = static_cast<std::uint8_t>(0x40 + i), in = 0;
        LARGE_INTEGER f, t0, t1;
        QueryPerformanceFrequency(&f);
        QueryPerformanceCounter(&t0);
        P.WriteByte(h, out);
        bool got = ReadWithin(h, &in, 2000);
        QueryPerformanceCounter(&t1);
        if (!got || in != out) {
            Check(false, "a round trip lost or changed its byte");
            break;
        }
        trips.push_back(static_cast<DWORD>((t1.QuadPart - t0.QuadPart) * 1000000 / f.QuadPart));
    }
    if (!trips.empty()) {
        std::sort(trips.begin(), trips.end());
        std::printf("     one-byte round trip at 9600 baud through the peer: median %lu us, max %lu us (%zu trips)\n",
                    static_cast<unsigned long>(trips[trips.size() / 2]), static_cast<unsigned long>(trips.back()),
                    trips.size());
    }

    P.ClosePort(h);

    // A closed slot: every operation fails at once, and the wait stays bounded.
    const sadc::PortHandle closed = sadc::InvalidHandle;
    Check(P.WriteByte(closed, 0x00) == 0, "WriteByte on a closed slot fails");
    Check(P.ReadByte(closed, &b) == 0, "ReadByte on a closed slot finds nothing");
    s = sadc::CommStatusBlock{1, 1, 1, 1};
    P.QueryStatus(closed, &s);
    Check(s.Errors == 0 && s.cbInQue == 0 && s.cbOutQue == 0, "QueryStatus on a closed slot leaves a zeroed block");
    start = GetTickCount();
    P.WaitInput(closed, 50);
    DWORD waited = GetTickCount() - start;
    std::printf("     WaitInput(closed, 50 ms) returned after %lu ms\n", static_cast<unsigned long>(waited));
    P.ClosePort(closed);

    if (argc > 2) {
        Check(P.OpenPort(argv[2]) == sadc::InvalidHandle, "OpenPort of a port the system does not have fails");
    }
    std::printf("%s\n", Failures == 0 ? "Win32 port layer: all passed" : "Win32 port layer: FAILED");
    return Failures == 0 ? 0 : 1;
}
