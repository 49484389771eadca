// The three-byte command frame, the command codes and the exports that are
// one frame and at most one reply.
#pragma once

#include <cstdint>

#include "sadclink.h"

namespace sadc {

// Command codes. Below 0x80 the instrument sends no reply.
inline constexpr std::int32_t CmdSetChan = 0x01;
inline constexpr std::int32_t CmdSetDigOut = 0x02;
inline constexpr std::int32_t CmdSetFilter = 0x03;
inline constexpr std::int32_t CmdRemoteAvg = 0x04;
inline constexpr std::int32_t CmdCounterData = 0x07;
inline constexpr std::int32_t CmdGetDigIn = 0x80;
inline constexpr std::int32_t CmdGetConversion = 0x81;
inline constexpr std::int32_t CmdOffsetCal = 0x82;
inline constexpr std::int32_t CmdFullScaleCal = 0x83;
inline constexpr std::int32_t CmdSendADMode = 0x84;
inline constexpr std::int32_t CmdGetVer = 0x86;
inline constexpr std::int32_t CmdGetCheckSum = 0x87;
inline constexpr std::int32_t CmdSleep = 0x88;
inline constexpr std::int32_t CmdScan1 = 0x89;
inline constexpr std::int32_t CmdStop = 0x8A;
inline constexpr std::int32_t CmdScan0 = 0x8B;
inline constexpr std::int32_t CmdScan2 = 0x8C;

inline constexpr std::int32_t SyncByte = 0x00;  // wake-up and line-settling byte
inline constexpr std::int32_t SyncReply = 0x03; // the instrument's answer to the wake-up

// first, second, (first + second) mod 256, each the low 8 bits. Returns 1 when
// the check byte was written.
std::int32_t SendFrame(std::int32_t first, std::int32_t second);

// Reads every byte waiting into dest (each overwriting the last) until none
// is left; returns how many came. Bounded, so an instrument that never stops
// sending cannot hold the caller.
inline constexpr std::int32_t MaxDrainBytes = 65536;
std::int32_t DrainInput(std::uint8_t* dest);

SadcStatus GetVer(DeviceRecord* record);
SadcStatus GetDigIn(DeviceRecord* record);
SadcStatus SetDigOut(std::int32_t value);
SadcStatus SetChanCode(DeviceRecord* record);
SadcStatus SetFilter(std::int16_t value);
SadcStatus GetCheckSum();
SadcStatus GotoSleep();
SadcStatus CloseDevice();

} // namespace sadc
