// A scripted instrument on the master side of a pseudo-terminal, running on
// its own thread in the benchmark's process and keeping real line timing.
//
// A pseudo-terminal moves bytes at once, so the peer imposes the line itself:
// a byte takes ten bit-times at the speed the library set on its end (read
// from the terminal's settings), in each direction. A byte the library writes
// reaches the instrument when its stop bit would have gone out behind the
// bytes before it; a byte the instrument sends is handed to the terminal when
// its own stop bit is done.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// CLOCK_MONOTONIC in nanoseconds.
std::int64_t NowNs();

// What the bench asks of the instrument. Changed only through the Set
// functions below, which return once the peer has taken the change.
struct PeerControl {
    bool Silent = false;      // answers nothing at all
    bool RandomDelay = false; // GetVer answered 0-4 ms late, both bytes at once, stamped
    bool Unpaced = false;     // the scan stream as fast as the pseudo-terminal takes it
    std::uint64_t EndStreams = 0; // each increment ends the stream and forgets the sign-on
};

// The instrument's view of the sign-on and command exchange.
enum class PeerState { Asleep, Awake, SpeedNext, SyncNext, Download, Timer, Command };

struct InByte {
    std::uint8_t Byte;
    std::int64_t At; // when its stop bit has reached the instrument
};

struct OutByte {
    std::uint8_t Byte;
    std::int64_t Due; // when the instrument's UART has sent it
    bool Stamped;     // the reply the latency figure times
};

struct Peer {
    int Master = -1;
    int Slave = -1; // kept open so the terminal survives the library's re-opens
    int WakeRead = -1, WakeWrite = -1;
    std::string SlavePath;
    std::string LinkPath;
    std::uint8_t Version = 101;
    int ScanChans = 4;
    int ScanConvBytes = 3;

    std::thread Thread;
    std::atomic<bool> Quit{false};

    std::mutex Lock;
    std::condition_variable Taken;
    PeerControl Wanted;          // under Lock
    std::uint64_t WantedGen = 0; // under Lock
    std::uint64_t TakenGen = 0;  // under Lock

    // Published by the peer thread.
    std::atomic<bool> Idle{true};
    std::atomic<bool> RealTime{false}; // the peer thread got SCHED_FIFO
    std::atomic<std::int64_t> ReplyStamp{0}; // NowNs just before the stamped reply was written
    // NowNs when that reply became readable at the library's end (the kernel
    // has handed it to the terminal's input), or 0 when not seen.
    std::atomic<std::int64_t> ReadableStamp{0};
    std::atomic<std::uint64_t> ScansStarted{0};
    std::atomic<std::uint64_t> BytesSent{0};

    // Peer thread only.
    PeerControl Now;
    PeerState State = PeerState::Asleep;
    std::vector<std::uint8_t> Frame;
    std::deque<InByte> In;
    std::deque<OutByte> Out;
    std::int64_t InFree = 0, OutFree = 0;
    std::vector<std::uint8_t> Bulk;
    std::size_t BulkPos = 0;
    bool Streaming = false;
    std::int64_t ScanIntervalNs = 0;
    std::int64_t NextScanAt = 0;
    std::uint64_t Seq = 0;
    std::mt19937 Random{12345};
};

// Makes the pseudo-terminal, links dir/COM1 to its slave end and starts the
// peer thread. Returns false (with a message on stderr) when it cannot.
bool StartPeer(Peer& p, const std::string& dir);
void StopPeer(Peer& p);

void SetSilent(Peer& p, bool on);
void SetRandomDelay(Peer& p, bool on);
void SetUnpaced(Peer& p, bool on);
// Ends the scan stream at once, drops what is queued and waits for a new
// wake-up, as an instrument that was switched off and on again.
void EndStream(Peer& p);

// Waits until every byte the library wrote has been handled and everything
// queued has gone out, up to ms milliseconds. Returns true when idle.
bool WaitIdle(Peer& p, int ms);

// The contents of scan number seq: lead byte 0xF0, the conversions least
// significant byte first, then one byte holding seq.
std::vector<std::uint8_t> ScanBytes(const Peer& p, std::uint64_t seq);
// The value of conversion ch of scan seq (24 bits).
std::uint32_t ScanValue(std::uint64_t seq, int ch, int convBytes);

} // namespace bench
