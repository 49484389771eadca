// Win32 serial ports through the Comm API, GetTickCount and PeekMessageA.
//
// The port is opened for synchronous transfers; the read time-outs make a read
// return at once with what has arrived. Windows has no way to sleep until a
// byte arrives on a non-overlapped handle, so the input wait looks at the
// driver's input count once a millisecond (Sleep(1) lasts up to one scheduler
// tick, by default 15.6 ms, which bounds the added reply latency).
#include "platform/platform.h"

#include <cstring>

#include <windows.h>

namespace sadc {
namespace {

HANDLE H(PortHandle h) { return reinterpret_cast<HANDLE>(h); }

// The module's device control block: zero at load, filled by BuildCommDCBA
// at every port set-up and kept between calls.
DCB ModuleDcb;

std::uint32_t WinTickCount() { return GetTickCount(); }

void WinPeekMessages() {
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
}

void WinSleep(std::uint32_t ms) {
#if defined(SADCLINK_SPIN_WAITS)
    (void)ms;
#else
    Sleep(ms);
#endif
}

std::uint32_t InQueue(HANDLE h) {
    DWORD errors = 0;
    COMSTAT cs;
    std::memset(&cs, 0, sizeof cs);
    if (!ClearCommError(h, &errors, &cs)) return 0;
    return cs.cbInQue;
}

void WinWaitInput(PortHandle h, std::uint32_t ms) {
#if defined(SADCLINK_SPIN_WAITS)
    (void)h;
    (void)ms;
#else
    DWORD start = GetTickCount();
    for (;;) {
        if (h != InvalidHandle && InQueue(H(h)) > 0) return;
        if (GetTickCount() - start >= ms) return;
        Sleep(1);
    }
#endif
}

PortHandle WinOpenPort(const char* name) {
    // The device namespace form opens COM10 and above as well as COM1 to COM9.
    char path[64] = "\\\\.\\";
    if (std::strlen(name) > sizeof path - 5) return InvalidHandle;
    std::strcat(path, name);
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return InvalidHandle;
    return reinterpret_cast<PortHandle>(h);
}

int WinConfigureLine(PortHandle h, const char* mode, std::int32_t) {
    ModuleDcb.DCBlength = sizeof ModuleDcb;
    if (!BuildCommDCBA(mode, &ModuleDcb)) return 0;
    ModuleDcb.fDtrControl = DTR_CONTROL_ENABLE;
    ModuleDcb.fRtsControl = RTS_CONTROL_DISABLE;
    return SetCommState(H(h), &ModuleDcb) ? 1 : 0;
}

int WinSetQueueSizes(PortHandle h, std::int32_t inQueue, std::int32_t outQueue) {
    return SetupComm(H(h), static_cast<DWORD>(inQueue), static_cast<DWORD>(outQueue)) ? 1 : 0;
}

int WinSetReadTimeouts(PortHandle h) {
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = 0;
    // A write with no time-out can block for ever on a stuck adapter; each
    // one-byte write is bounded here, and the byte writer retries until its
    // own 3 s deadline.
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = 100;
    return SetCommTimeouts(H(h), &t) ? 1 : 0;
}

int WinWriteByte(PortHandle h, std::uint8_t b) {
    DWORD written = 0;
    BOOL ok = WriteFile(H(h), &b, 1, &written, nullptr);
    return (ok && written == 1) ? 1 : 0;
}

int WinReadByte(PortHandle h, std::uint8_t* b) {
    DWORD read = 0;
    std::uint8_t v = 0;
    ReadFile(H(h), &v, 1, &read, nullptr);
    if (read != 1) return 0;
    *b = v;
    return 1;
}

void WinPurge(PortHandle h, std::uint32_t flags) { PurgeComm(H(h), flags); }

void WinQueryStatus(PortHandle h, CommStatusBlock* status) {
    *status = CommStatusBlock{};
    DWORD errors = 0;
    COMSTAT cs;
    // Wine on a pseudo-terminal succeeds without filling the block.
    std::memset(&cs, 0, sizeof cs);
    if (!ClearCommError(H(h), &errors, &cs)) return;
    DWORD flags = 0;
    std::memcpy(&flags, &cs, sizeof flags);
    status->Errors = errors;
    status->Flags = flags;
    status->cbInQue = cs.cbInQue;
    status->cbOutQue = cs.cbOutQue;
}

int WinDrainOutput(PortHandle h, std::uint32_t ms) {
    // FlushFileBuffers has no bound on a stuck adapter: poll the count instead.
    DWORD start = GetTickCount();
    for (;;) {
        CommStatusBlock s;
        WinQueryStatus(h, &s);
        if (s.cbOutQue == 0) return 1;
        if (GetTickCount() - start >= ms) return 0;
        Sleep(1);
    }
}

void WinClosePort(PortHandle h) {
    if (h != InvalidHandle) CloseHandle(H(h));
}

} // namespace

const PlatformOps NativePlatform = {
    WinTickCount,   WinPeekMessages,  WinSleep,         WinWaitInput,
    WinOpenPort,    WinConfigureLine, WinSetQueueSizes, WinSetReadTimeouts,
    WinWriteByte,   WinReadByte,      WinPurge,         WinQueryStatus,
    WinDrainOutput, WinClosePort,
};

} // namespace sadc
