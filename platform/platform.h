// The operating system seen through one small table.
//
// The protocol code never includes an OS header: it reaches ports, the clock,
// sleeping and the message queue only through the operations below. Three
// tables implement them: Win32 (platform_win32.cpp), POSIX (platform_posix.cpp)
// and the virtual platform of the tests (tests/virtual_platform.cpp), which
// runs the whole protocol on a virtual clock.
//
// Contract common to every port operation: the handle is whatever the port
// table holds. It may be closed, never opened, or a value attached by the
// application; an operation on such a handle fails the way its result says
// and never blocks or crashes.
#pragma once

#include <cstdint>

namespace sadc {

// Pointer-sized port handle; all bits set means "no open port".
using PortHandle = std::uintptr_t;
inline constexpr PortHandle InvalidHandle = ~PortHandle(0);

// What the driver reports of a port (the Win32 error word and COMSTAT block).
struct CommStatusBlock {
    std::uint32_t Errors;   // error word
    std::uint32_t Flags;    // status flags
    std::uint32_t cbInQue;  // bytes waiting in the input queue
    std::uint32_t cbOutQue; // bytes waiting in the output queue
};

// Purge flags, as the Win32 values.
inline constexpr std::uint32_t PurgeTxClear = 0x04;
inline constexpr std::uint32_t PurgeRxClear = 0x08;

struct PlatformOps {
    // Free-running millisecond count, wrapping at 2^32. Never blocks.
    std::uint32_t (*TickCount)();

    // Looks at the calling thread's message queue without removing anything
    // (PeekMessageA, PM_NOREMOVE). A no-op where there is no message queue.
    void (*PeekMessages)();

    // Sleeps about ms milliseconds (0 yields). Bounded by ms plus the
    // scheduler's granularity.
    void (*Sleep)(std::uint32_t ms);

    // Returns when input is waiting on the port or ms milliseconds have
    // passed, whichever comes first. Returns at once on a closed port after
    // sleeping ms (so callers' loops stay bounded and idle).
    void (*WaitInput)(PortHandle h, std::uint32_t ms);

    // Opens the port named "COMn" for exclusive, synchronous read and write.
    // Returns InvalidHandle on failure. Never blocks on modem lines.
    PortHandle (*OpenPort)(const char* name);

    // Applies the line settings. mode is the Win32 mode string such as
    // "COM1:300,n,8,1" (the Win32 table hands it to BuildCommDCBA), baud its
    // speed: 8 data bits, no parity, 1 stop bit, no flow control, DTR on,
    // RTS off. Returns nonzero on success.
    int (*ConfigureLine)(PortHandle h, const char* mode, std::int32_t baud);

    // Asks the driver for queue sizes. Returns nonzero on success.
    int (*SetQueueSizes)(PortHandle h, std::int32_t inQueue, std::int32_t outQueue);

    // Makes reads return at once with what has arrived, and bounds writes.
    // Returns nonzero on success.
    int (*SetReadTimeouts)(PortHandle h);

    // Writes one byte without blocking for longer than the driver's write
    // bound. Returns 1 when the byte was taken, 0 otherwise (closed port,
    // queue full, error).
    int (*WriteByte)(PortHandle h, std::uint8_t b);

    // Reads one byte if one is waiting; never blocks. Returns the count read,
    // 0 or 1; on 0, *b is untouched.
    int (*ReadByte)(PortHandle h, std::uint8_t* b);

    // Discards the driver queues named by flags (PurgeTxClear, PurgeRxClear).
    void (*Purge)(PortHandle h, std::uint32_t flags);

    // Fills *status from the driver; on failure leaves it zeroed. Never blocks.
    void (*QueryStatus)(PortHandle h, CommStatusBlock* status);

    // Waits until the output queue has gone out on the line or ms have
    // passed. Returns nonzero when it drained.
    int (*DrainOutput)(PortHandle h, std::uint32_t ms);

    // Closes the port. Harmless on an invalid or closed handle.
    void (*ClosePort)(PortHandle h);
};

// The table in force. Starts as the operating system's own; tests and tools
// may install another before they call the library.
extern const PlatformOps* Platform;

// The operating system's own table (Win32 or POSIX).
extern const PlatformOps NativePlatform;

} // namespace sadc
