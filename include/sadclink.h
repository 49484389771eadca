/*
 * sadclink.h - the public interface of the sadclink library.
 *
 * sadclink drives a serial data-acquisition instrument: a 24-bit sigma-delta
 * converter, digital input and output lines, three 16-bit counters and a scan
 * timer. On 32-bit Windows the library is SADCLINK.dll with 26 stdcall exports
 * (undecorated names, ordinals 1 to 26); on 64-bit Windows it is a DLL with the
 * same names, ordinals and record layout in the x64 convention, where a HANDLE,
 * and so the slot GetComHandle fills, is 64 bits wide; on Linux and macOS it
 * is libsadclink.so with the same names, argument order and record layout, in
 * the platform's C calling convention.
 *
 * Error model: every export returns its result directly. A status is a 16-bit
 * value, 1 for success and 0 for failure; callers examine only those 16 bits.
 * GetConversion and GetOneScan also store a cause in ErrorCode; nothing is ever
 * logged or shown, and nothing is thrown.
 *
 * Thread safety: none. All module state (the port table, the current port, the
 * reply time limit, the reply bytes, the running checksum, the scan buffer fill
 * level) exists once per process. Calls must not overlap, neither from several
 * threads nor from code running on the calling thread while an export waits.
 *
 * Usable from C (C99 or later) and C++.
 */
#ifndef SADCLINK_H
#define SADCLINK_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  define SADC_CALL __stdcall
#  if defined(SADCLINK_BUILDING)
#    define SADC_API __declspec(dllexport)
#  else
#    define SADC_API
#  endif
#else
#  define SADC_CALL
#  if defined(SADCLINK_BUILDING) && defined(__GNUC__)
#    define SADC_API __attribute__((visibility("default")))
#  else
#    define SADC_API
#  endif
#endif

#if defined(__GNUC__)
#  define SADC_EXTENSION __extension__
#else
#  define SADC_EXTENSION
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status of an export: 1 success, 0 failure. Only the 16 bits count. */
typedef int16_t SadcStatus;

/*
 * A serial port handle. On Windows this is the Win32 HANDLE (32 bits in a
 * 32-bit process, 64 bits in a 64-bit one). On POSIX systems it is the file
 * descriptor widened to a pointer-sized value. A closed slot holds
 * SADC_INVALID_HANDLE, which has every bit set (INVALID_HANDLE_VALUE).
 */
typedef void *SadcHandle;
#define SADC_INVALID_HANDLE ((SadcHandle)(intptr_t)-1)

#pragma pack(push, 2)
/*
 * The caller-owned parameter and result block: 96 bytes, little-endian,
 * packed to 2 bytes so that ScanTime sits at offset 2. The library keeps no
 * pointer to it between calls.
 */
typedef struct DeviceRecord {
    int16_t  ComPort;       /*  0: port number from 0 (0 is COM1), 0..15 */
    double   ScanTime;      /*  2: scan interval, seconds */
    int16_t  NumChans;      /* 10: conversions per scan in scan modes 1 and 2 */
    int16_t  ScanMode;      /* 12: 0, 1 or 2; other values act as 1 */
    int16_t  ScanConfig[6]; /* 14: six set-up bytes downloaded at sign-on */
    uint8_t  Reserved1[2];  /* 26: never read or written by the library */
    int16_t  DigIn;         /* 28: digital inputs as last read */
    int16_t  Version;       /* 30: firmware version as last read */
    int16_t  Channel;       /* 32: input channel, 0..15 */
    int16_t  Code;          /* 34: low four bits of the channel code byte */
    int32_t  Counts;        /* 36: raw value of the last conversion */
    double   ScaledValue;   /* 40: Counts on the 5000 full-scale unit */
    uint8_t  Reserved2[4];  /* 48: never read or written by the library */
    int16_t  ConvBytes;     /* 52: data bytes per conversion, 2 or 3 */
    int16_t  Bipolar;       /* 54: 0 unipolar, any other value bipolar */
    SADC_EXTENSION union {
        /* 56: cause of the last failure of GetConversion or GetOneScan.
         * Written whole, as an int32: its upper two bytes are the ones also
         * named Reserved3, so those two bytes are NOT free for application
         * data. */
        int32_t ErrorCode;
        SADC_EXTENSION struct {
            uint8_t ErrorCodeLow[2]; /* 56 */
            uint8_t Reserved3[2];    /* 58: the upper half of ErrorCode */
        };
    };
    int16_t  FilterSel;     /* 60: settling selection 0, 1, 2 */
    int16_t  Gain;          /* 62: 1, 2, 4 ... 128 */
    float    DataRate;      /* 64: requested, then achieved output rate, Hz */
    int16_t  ModeLow;       /* 68: converter mode bytes, written by the library */
    int16_t  ModeMid;       /* 70 */
    int16_t  ModeHigh;      /* 72 */
    int16_t  SpeedIndex;    /* 74: 0..5 = 9600, 4800, 2400, 1200, 600, 300 baud */
    uint8_t  Reserved4[2];  /* 76: never read or written by the library */
    int16_t  ModeBits;      /* 78: bits 0-1 of ModeHigh */
    int32_t  CounterPreset; /* 80: count preset into counters 0 and 1 */
    uint32_t AvgCount;      /* 84: conversions averaged into one reading */
    int32_t  OutQueueSize;  /* 88: driver output queue size, bytes */
    int32_t  InQueueSize;   /* 92: driver input queue size, bytes */
} DeviceRecord;
#pragma pack(pop)

#if defined(__cplusplus)
#  define SADC_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#  define SADC_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif
SADC_STATIC_ASSERT(sizeof(DeviceRecord) == 96, "DeviceRecord is 96 bytes");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, ComPort) == 0, "ComPort at 0");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, ScanTime) == 2, "ScanTime at 2");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, NumChans) == 10, "NumChans at 10");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, ScanMode) == 12, "ScanMode at 12");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, ScanConfig) == 14, "ScanConfig at 14");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, Reserved1) == 26, "Reserved1 at 26");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, DigIn) == 28, "DigIn at 28");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, Version) == 30, "Version at 30");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, Channel) == 32, "Channel at 32");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, Code) == 34, "Code at 34");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, Counts) == 36, "Counts at 36");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, ScaledValue) == 40, "ScaledValue at 40");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, Reserved2) == 48, "Reserved2 at 48");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, ConvBytes) == 52, "ConvBytes at 52");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, Bipolar) == 54, "Bipolar at 54");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, ErrorCode) == 56, "ErrorCode at 56");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, Reserved3) == 58, "Reserved3 at 58");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, FilterSel) == 60, "FilterSel at 60");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, Gain) == 62, "Gain at 62");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, DataRate) == 64, "DataRate at 64");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, ModeLow) == 68, "ModeLow at 68");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, ModeMid) == 70, "ModeMid at 70");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, ModeHigh) == 72, "ModeHigh at 72");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, SpeedIndex) == 74, "SpeedIndex at 74");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, Reserved4) == 76, "Reserved4 at 76");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, ModeBits) == 78, "ModeBits at 78");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, CounterPreset) == 80, "CounterPreset at 80");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, AvgCount) == 84, "AvgCount at 84");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, OutQueueSize) == 88, "OutQueueSize at 88");
SADC_STATIC_ASSERT(offsetof(DeviceRecord, InQueueSize) == 92, "InQueueSize at 92");

/* ErrorCode values (the library writes it on failures only, never clears it). */
#define SADC_ERR_DATA_LATE    1  /* GetConversion: data bytes late; GetOneScan: no lead byte 0xF0 */
#define SADC_ERR_SCAN_TIMEOUT 2  /* GetOneScan: scan incomplete in ScanTime + 2 s; signed on again */
#define SADC_ERR_OVERFLOW     3  /* GetOneScan: driver holds more than InQueueSize - 10 bytes */
#define SADC_ERR_SCAN_TIMEOUT_10 10 /* GetOneScan: as 2, the last byte this call received was 10 */

/* --- The 26 exports, by ordinal ------------------------------------------ */

/* 1: Open the port of ComPort, wake the instrument, agree the line speed,
 *    download the set-up and read the version. 1 signed on, 0 not. */
SADC_API SadcStatus SADC_CALL SignOn(DeviceRecord *record);
/* 2: Send the averaging exponent of AvgCount; sets the reply time limit. */
SADC_API SadcStatus SADC_CALL RemoteAvg(DeviceRecord *record);
/* 3: Full-scale calibration on the record's channel code. */
SADC_API SadcStatus SADC_CALL FullScaleCal(DeviceRecord *record);
/* 4: Offset (zero) calibration on the record's channel code. */
SADC_API SadcStatus SADC_CALL OffsetCal(DeviceRecord *record);
/* 5: System calibration at gain 1 on channel codes 0x70 and 0x60, then the
 *    caller's gain restored and its offset calibrated. */
SADC_API SadcStatus SADC_CALL SysCal(DeviceRecord *record);
/* 6: Scale a raw count to the 5000 full-scale unit (bipolar: -5000..+5000). */
SADC_API double SADC_CALL Counts2Volts(int32_t counts, int16_t convBytes, int16_t bipolar);
/* 7: Read the digital inputs into DigIn. */
SADC_API SadcStatus SADC_CALL GetDigIn(DeviceRecord *record);
/* 8: Set the digital outputs to the low 8 bits of value. */
SADC_API SadcStatus SADC_CALL SetDigOut(int32_t value);
/* 9: Read the firmware version into Version. */
SADC_API SadcStatus SADC_CALL GetVer(DeviceRecord *record);
/* 10: Take one conversion on the selected channel into Counts and ScaledValue. */
SADC_API SadcStatus SADC_CALL GetConversion(DeviceRecord *record);
/* 11: Select the channel code Channel * 16 + Code. */
SADC_API SadcStatus SADC_CALL SetChanCode(DeviceRecord *record);
/* 12: Start scanning in ScanMode and wait for the start echo. */
SADC_API SadcStatus SADC_CALL StartScanning(DeviceRecord *record);
/* 13: Append one whole scan to scanBuffer (lead byte removed in modes 1, 2). */
SADC_API SadcStatus SADC_CALL GetOneScan(DeviceRecord *record, int32_t *scanBuffer);
/* 14: Stop scanning, discard the tail of the stream, restore the channel. */
SADC_API SadcStatus SADC_CALL StopScanning(DeviceRecord *record);
/* 15: Take one conversion off the head of scanBuffer into Counts, ScaledValue. */
SADC_API void SADC_CALL Gconv(DeviceRecord *record, int32_t *scanBuffer);
/* 16: Drop count elements from the head of scanBuffer. */
SADC_API void SADC_CALL RemoveFromBuffer(int32_t count, int32_t *scanBuffer);
/* 17: Send the filter byte (low 8 bits of value). */
SADC_API SadcStatus SADC_CALL SetFilter(int16_t value);
/* 18: Compute and load the converter mode bytes; checks the echo. */
SADC_API SadcStatus SADC_CALL SendADMode(DeviceRecord *record);
/* 19: Compare the instrument's running checksum with the bytes received. */
SADC_API SadcStatus SADC_CALL GetCheckSum(void);
/* 20: Send the stop command and close the current port. Always 1. */
SADC_API SadcStatus SADC_CALL CloseDevice(void);
/* 21: Send the instrument to sleep; 1 when it answered 0x80. */
SADC_API SadcStatus SADC_CALL GotoSleep(void);
/* 22: Load value into counter 0, 1 or 2. */
SADC_API SadcStatus SADC_CALL WriteCntr(DeviceRecord *record, int32_t counter, int32_t value);
/* 23: Wait for the converter filter to settle: 8.5 s for 0, else 0.5 s.
 *    Returns the millisecond clock reading that ended the wait. */
SADC_API int32_t SADC_CALL FilterDelay(int16_t selection);
/* 24: Round ScanTime to the scan clock and check it against the limits the
 *    set-up allows: 0 outside, 1 inside, 2 inside after halving AvgCount. */
SADC_API int16_t SADC_CALL CheckScanTime(DeviceRecord *record, double *maxTime, double *minTime);
/* 25: Store the current port's handle at out and return it. The slot at out
 *     is a whole HANDLE: 4 bytes in a 32-bit process, 8 in a 64-bit one. */
SADC_API SadcHandle SADC_CALL GetComHandle(SadcHandle *out);
/* 26: Attach handle as the current port, without sign-on. */
SADC_API void SADC_CALL SetComHandle(SadcHandle handle);

#ifdef __cplusplus
}
#endif

#endif /* SADCLINK_H */
