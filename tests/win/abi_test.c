/*
 * abi_test.c - SADCLINK.dll as an existing application meets it: loaded by
 * name with LoadLibraryA, every export looked up by name and by ordinal, and
 * every one called through a bare pointer with the machine state checked
 * around the call (abi_call.h).
 *
 * No instrument is needed. The calls run in an order that keeps them short:
 * first on the closed slot, then with the NUL device attached as the port
 * (it takes every byte and never answers, and before any sign-on every reply
 * wait ends at once). The few fixed waits (the sleep command, the filter
 * delay, the calibrations, a scan that never comes) cost about 11 s in all.
 *
 * Usage: abi_test.exe  (SADCLINK.dll beside it). Exit status 0 when every
 * check passed.
 */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <windows.h>

#include "abi_call.h"
#include "sadclink.h"

enum ResultKind { Status, NoResult, Float64, Int32, ScanCheck, Handle };

typedef struct Export {
    const char *Name;
    int Ordinal;
    int ArgBytes; /* what the 32-bit callee removes */
    enum ResultKind Result;
} Export;

static const Export Exports[] = {
    {"SignOn", 1, 4, Status},           {"RemoteAvg", 2, 4, Status},
    {"FullScaleCal", 3, 4, Status},     {"OffsetCal", 4, 4, Status},
    {"SysCal", 5, 4, Status},           {"Counts2Volts", 6, 12, Float64},
    {"GetDigIn", 7, 4, Status},         {"SetDigOut", 8, 4, Status},
    {"GetVer", 9, 4, Status},           {"GetConversion", 10, 4, Status},
    {"SetChanCode", 11, 4, Status},     {"StartScanning", 12, 4, Status},
    {"GetOneScan", 13, 8, Status},      {"StopScanning", 14, 4, Status},
    {"Gconv", 15, 8, NoResult},         {"RemoveFromBuffer", 16, 8, NoResult},
    {"SetFilter", 17, 4, Status},       {"SendADMode", 18, 4, Status},
    {"GetCheckSum", 19, 0, Status},     {"CloseDevice", 20, 0, Status},
    {"GotoSleep", 21, 0, Status},       {"WriteCntr", 22, 12, Status},
    {"FilterDelay", 23, 4, Int32},      {"CheckScanTime", 24, 12, ScanCheck},
    {"GetComHandle", 25, 4, Handle},    {"SetComHandle", 26, 4, NoResult},
};
enum { ExportCount = (int)(sizeof Exports / sizeof Exports[0]) };

static HMODULE Dll;
static const void *Entry[ExportCount];
static int Failures;
static int Checks;
static int Called[ExportCount];

static void Check(int ok, const char *what, const char *detail) {
    ++Checks;
    if (ok) return;
    ++Failures;
    printf("FAIL: %s%s%s\n", what, detail ? ": " : "", detail ? detail : "");
}

static const Export *Find(const char *name) {
    for (int i = 0; i < ExportCount; ++i)
        if (strcmp(Exports[i].Name, name) == 0) return &Exports[i];
    printf("no export named %s in the table\n", name);
    return NULL;
}

/* Calls an export with the checks every call owes its caller, and returns the raw result. */
static AbiOutcome Call(const char *name, int nargs, AbiArg a0, AbiArg a1, AbiArg a2) {
    AbiOutcome out;
    const Export *e = Find(name);
    const AbiArg args[3] = {a0, a1, a2};
    char detail[160];
    memset(&out, 0, sizeof out);
    if (!e || !Entry[e->Ordinal - 1]) {
        Check(0, name, "not callable");
        return out;
    }
    Called[e->Ordinal - 1] = 1;
    if (nargs * 4 != e->ArgBytes) Check(0, name, "the test passes the wrong number of arguments");
    AbiCall(Entry[e->Ordinal - 1], args, nargs, e->Result == Float64, &out);

    snprintf(detail, sizeof detail, "%lld bytes left on the stack after the call (expected 0: %d removed)",
             (long long)out.StackLeft, e->ArgBytes);
    Check(out.StackLeft == 0, name, detail);
    Check(out.Preserved == 1, name, "a callee-saved register or the direction flag was not preserved");
#if defined(__i386__)
    snprintf(detail, sizeof detail, "%d x87 registers in use after the call, expected %d", (int)out.FpuDepth,
             e->Result == Float64 ? 1 : 0);
    Check(out.FpuDepth == (e->Result == Float64 ? 1 : 0), name, detail);
#endif
    if (e->Result == Status) {
        /* Callers look at the low 16 bits only. */
        unsigned v = (unsigned)(out.Raw & 0xFFFFu);
        snprintf(detail, sizeof detail, "status 0x%04X, expected 0 or 1", v);
        Check(v == 0 || v == 1, name, detail);
    } else if (e->Result == ScanCheck) {
        unsigned v = (unsigned)(out.Raw & 0xFFFFu);
        snprintf(detail, sizeof detail, "result 0x%04X, expected 0, 1 or 2", v);
        Check(v <= 2, name, detail);
    }
    return out;
}

static int StatusOf(AbiOutcome o) { return (int)(int16_t)(uint16_t)(o.Raw & 0xFFFFu); }

static void ExpectStatus(const char *name, AbiOutcome o, int expected) {
    char detail[96];
    snprintf(detail, sizeof detail, "status %d, expected %d", StatusOf(o), expected);
    Check(StatusOf(o) == expected, name, detail);
}

static AbiArg RecordArg(DeviceRecord *r) { return (AbiArg)(uintptr_t)r; }

/* --- The export directory as seen through the loader ------------------------- */

static void LookUpExports(void) {
    char detail[160];
    for (int i = 0; i < ExportCount; ++i) {
        FARPROC byName = GetProcAddress(Dll, Exports[i].Name);
        FARPROC byOrdinal = GetProcAddress(Dll, MAKEINTRESOURCEA(Exports[i].Ordinal));
        snprintf(detail, sizeof detail, "by name %p, by ordinal %d %p", (void *)(uintptr_t)byName,
                 Exports[i].Ordinal, (void *)(uintptr_t)byOrdinal);
        Check(byName != NULL && byName == byOrdinal, Exports[i].Name, detail);
        memcpy(&Entry[i], &byName, sizeof Entry[i]);

        /* The decorated forms a compiler would produce must not be exported. */
        char decorated[64];
        snprintf(decorated, sizeof decorated, "_%s@%d", Exports[i].Name, Exports[i].ArgBytes);
        Check(GetProcAddress(Dll, decorated) == NULL, decorated, "exported, but names must be undecorated");
        snprintf(decorated, sizeof decorated, "%s@%d", Exports[i].Name, Exports[i].ArgBytes);
        Check(GetProcAddress(Dll, decorated) == NULL, decorated, "exported, but names must be undecorated");
    }
    Check(GetProcAddress(Dll, MAKEINTRESOURCEA(27)) == NULL, "ordinal 27", "exported, but there are 26");
}

/* --- Calls -------------------------------------------------------------------- */

static void FillReserved(DeviceRecord *r) {
    memset(r->Reserved1, 0xA1, sizeof r->Reserved1);
    memset(r->Reserved2, 0xA2, sizeof r->Reserved2);
    memset(r->Reserved4, 0xA4, sizeof r->Reserved4);
}

static void CheckReserved(const DeviceRecord *r, const char *after) {
    int ok = 1;
    for (size_t i = 0; i < sizeof r->Reserved1; ++i) ok &= r->Reserved1[i] == 0xA1;
    for (size_t i = 0; i < sizeof r->Reserved2; ++i) ok &= r->Reserved2[i] == 0xA2;
    for (size_t i = 0; i < sizeof r->Reserved4; ++i) ok &= r->Reserved4[i] == 0xA4;
    Check(ok, after, "a reserved area of the record changed");
}

/* A set-up within every valid range: 4 channels of 3 bytes at 100 Hz, scan mode 1. */
static void SaneRecord(DeviceRecord *r) {
    memset(r, 0, sizeof *r);
    r->ComPort = 15; /* COM16: not present in the test's Wine prefix */
    r->ScanTime = 1.0;
    r->NumChans = 4;
    r->ScanMode = 1;
    r->Version = 101;
    r->Channel = 2;
    r->Code = 5;
    r->ConvBytes = 3;
    r->Bipolar = 0;
    r->FilterSel = 2;
    r->Gain = 1;
    r->DataRate = 100.0f;
    r->SpeedIndex = 0;
    r->CounterPreset = 0;
    r->AvgCount = 8;
    r->OutQueueSize = 1024;
    r->InQueueSize = 1024;
    FillReserved(r);
}

/* The handle slot: exactly sizeof(HANDLE) bytes are written at out. */
static SadcHandle ReadHandle(const char *when, SadcHandle expected) {
    unsigned char slot[2 * sizeof(SadcHandle)];
    SadcHandle got;
    char detail[160];
    memset(slot, 0xCC, sizeof slot);
    AbiOutcome o = Call("GetComHandle", 1, (AbiArg)(uintptr_t)slot, 0, 0);
    memcpy(&got, slot, sizeof got);
    snprintf(detail, sizeof detail, "%s: returned %p, stored %p, expected %p", when,
             (void *)(uintptr_t)o.Raw, got, expected);
    Check((uintptr_t)o.Raw == (uintptr_t)expected && got == expected, "GetComHandle", detail);
    int tail = 1;
    for (size_t i = sizeof(SadcHandle); i < sizeof slot; ++i) tail &= slot[i] == 0xCC;
    Check(tail, "GetComHandle", "wrote beyond the handle slot");
    return got;
}

static void Scaling(void) {
    struct {
        int32_t Counts;
        uint32_t ConvBytesSlot, BipolarSlot; /* whole 32-bit slots: only the low 16 bits count */
        double Expected, Tolerance;
    } cases[] = {
        {0, 3, 1, -5000.0, 0.0},
        {0, 0xABCD0003u, 0x12340001u, -5000.0, 0.0},
        {0, 3, 0xFFFFu, -5000.0, 0.0}, /* bipolar -1 is bipolar too */
        {0, 3, 0x00010000u, 0.0, 0.0}, /* low half 0: unipolar */
        {16777215, 3, 0, 4999.9993, 1e-3},
        {65535, 2, 0, 4999.9233, 1e-3},
        {65535, 0x77770002u, 0, 4999.9233, 1e-3},
        {8388608, 3, 1, -0.0004, 1e-4},
    };
    char detail[160];
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        AbiOutcome o = Call("Counts2Volts", 3, (AbiArg)(uint32_t)cases[i].Counts, cases[i].ConvBytesSlot,
                            cases[i].BipolarSlot);
        snprintf(detail, sizeof detail, "Counts2Volts(%ld, 0x%08lX, 0x%08lX) = %.7f, expected %.7f",
                 (long)cases[i].Counts, (unsigned long)cases[i].ConvBytesSlot,
                 (unsigned long)cases[i].BipolarSlot, o.Real, cases[i].Expected);
        Check(fabs(o.Real - cases[i].Expected) <= cases[i].Tolerance, "Counts2Volts", detail);
    }
}

static void ScanTimeCheck(void) {
    DeviceRecord r;
    double maxTime = -1.0, minTime = -1.0;
    char detail[200];
    SaneRecord(&r);
    AbiOutcome o = Call("CheckScanTime", 3, RecordArg(&r), (AbiArg)(uintptr_t)&maxTime,
                        (AbiArg)(uintptr_t)&minTime);
    snprintf(detail, sizeof detail, "result %d, maxTime %.7f, minTime %.7f, ScanTime %.7f", StatusOf(o), maxTime,
             minTime, r.ScanTime);
    /* 4883 ticks of 0.2048 ms, between 2573 ticks and the timer's 16533203. */
    Check(StatusOf(o) == 1 && fabs(maxTime - 3385.9999744) < 1e-6 && fabs(minTime - 0.5269504) < 1e-9 &&
              fabs(r.ScanTime - 1.0000384) < 1e-9,
          "CheckScanTime", detail);
    CheckReserved(&r, "CheckScanTime");
}

static void ClosedSlot(void) {
    int32_t buffer[8] = {11, 12, 13, 14, 15, 16, 17, 18};
    ReadHandle("straight after loading", SADC_INVALID_HANDLE);
    ExpectStatus("CloseDevice", Call("CloseDevice", 0, 0, 0, 0), 1); /* nothing open: returns at once */

    /* An empty scan buffer: nothing to remove, nothing touched. */
    Call("RemoveFromBuffer", 2, 0, (AbiArg)(uintptr_t)buffer, 0);
    Call("RemoveFromBuffer", 2, 5, (AbiArg)(uintptr_t)buffer, 0);
    Check(buffer[0] == 11 && buffer[7] == 18, "RemoveFromBuffer", "changed an empty buffer");

    DeviceRecord r;
    SaneRecord(&r);
    DWORD start = GetTickCount();
    ExpectStatus("SignOn", Call("SignOn", 1, RecordArg(&r), 0, 0), 0);
    printf("SignOn on COM16, which the prefix does not have: status 0 after %lu ms\n",
           (unsigned long)(GetTickCount() - start));
    ReadHandle("after a failed SignOn on ComPort 15", SADC_INVALID_HANDLE);
    CheckReserved(&r, "SignOn");
}

/* The current slot (15 since the failed sign-on) holds the NUL device. */
static HANDLE AttachNul(void) {
    HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    Check(nul != INVALID_HANDLE_VALUE, "CreateFileA(NUL)", "cannot open the NUL device");
    Call("SetComHandle", 1, (AbiArg)(uintptr_t)nul, 0, 0);
    ReadHandle("after SetComHandle(NUL)", nul);
    return nul;
}

static void HandleWidth(void) {
    /* Every bit of the handle survives the round trip: 64 of them on Win64. */
#if defined(_WIN64)
    SadcHandle wide = (SadcHandle)(uintptr_t)0x89ABCDEF01234567ull;
#else
    SadcHandle wide = (SadcHandle)(uintptr_t)0x89ABCDEFu;
#endif
    Call("SetComHandle", 1, (AbiArg)(uintptr_t)wide, 0, 0);
    ReadHandle("after SetComHandle with every handle bit used", wide);
    Call("SetComHandle", 1, (AbiArg)(uintptr_t)SADC_INVALID_HANDLE, 0, 0);
    ReadHandle("after SetComHandle(INVALID_HANDLE_VALUE)", SADC_INVALID_HANDLE);
}

static void SilentPort(void) {
    DeviceRecord r;
    int32_t buffer[16] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    char detail[160];
    SaneRecord(&r);
    r.Version = 77;
    r.DigIn = 55;
    r.ErrorCode = 0x5555;

    AttachNul();
    /* The commands without a reply report that their frame went out. */
    ExpectStatus("SetDigOut", Call("SetDigOut", 1, 0x1FF, 0, 0), 1);
    ExpectStatus("SetChanCode", Call("SetChanCode", 1, RecordArg(&r), 0, 0), 1);
    ExpectStatus("SetFilter", Call("SetFilter", 1, 0x12340005u, 0, 0), 1);
    ExpectStatus("WriteCntr", Call("WriteCntr", 3, RecordArg(&r), 2, 1000), 1);

    /* Those that wait for a reply find none and leave the record alone. */
    ExpectStatus("GetVer", Call("GetVer", 1, RecordArg(&r), 0, 0), 0);
    Check(r.Version == 77, "GetVer", "changed Version without a reply");
    ExpectStatus("GetDigIn", Call("GetDigIn", 1, RecordArg(&r), 0, 0), 0);
    Check(r.DigIn == 55, "GetDigIn", "changed DigIn without a reply");
    ExpectStatus("GetConversion", Call("GetConversion", 1, RecordArg(&r), 0, 0), 0);
    snprintf(detail, sizeof detail, "ErrorCode %ld, expected 1 (no echo arrived)", (long)r.ErrorCode);
    Check(r.ErrorCode == SADC_ERR_DATA_LATE, "GetConversion", detail);
    ExpectStatus("GetCheckSum", Call("GetCheckSum", 0, 0, 0, 0), 0);
    ExpectStatus("StartScanning", Call("StartScanning", 1, RecordArg(&r), 0, 0), 0);
    ExpectStatus("StopScanning", Call("StopScanning", 1, RecordArg(&r), 0, 0), 0);

    /* A conversion taken off the head of the caller's buffer. */
    r.ErrorCode = 0;
    Call("Gconv", 2, RecordArg(&r), (AbiArg)(uintptr_t)buffer, 0);
    AbiOutcome scaled = Call("Counts2Volts", 3, 0x030201, 3, 0);
    snprintf(detail, sizeof detail, "Counts 0x%lX, ScaledValue %.6f, expected 0x30201 and %.6f", (long)r.Counts,
             r.ScaledValue, scaled.Real);
    Check(r.Counts == 0x030201 && r.ScaledValue == scaled.Real, "Gconv", detail);

    /* The fixed waits: 0.5 s each. */
    ExpectStatus("GotoSleep", Call("GotoSleep", 0, 0, 0, 0), 0);
    AbiOutcome t = Call("FilterDelay", 1, 0x00020001u, 0, 0);
    snprintf(detail, sizeof detail, "returned %ld ms, expected at least 500 (it waited 500 ms since load)",
             (long)(int32_t)(uint32_t)t.Raw);
    Check((int32_t)(uint32_t)t.Raw >= 500, "FilterDelay", detail);

    /* Calibrations wait 2 s each for a reply that does not come. */
    ExpectStatus("OffsetCal", Call("OffsetCal", 1, RecordArg(&r), 0, 0), 0);
    ExpectStatus("FullScaleCal", Call("FullScaleCal", 1, RecordArg(&r), 0, 0), 0);
    ExpectStatus("SysCal", Call("SysCal", 1, RecordArg(&r), 0, 0), 0);

    /* A scan that never comes: ScanTime + 2 s, a pause, a new sign-on on COM16
     * that fails, which closes the slot. */
    r.ScanTime = 0.01;
    ExpectStatus("GetOneScan", Call("GetOneScan", 2, RecordArg(&r), (AbiArg)(uintptr_t)buffer, 0), 0);
    snprintf(detail, sizeof detail, "ErrorCode %ld, expected 2", (long)r.ErrorCode);
    Check(r.ErrorCode == 2, "GetOneScan", detail);
    ReadHandle("after GetOneScan's sign-on failed", SADC_INVALID_HANDLE);

    /* These two set the reply time limit, so they come last. */
    AttachNul();
    ExpectStatus("SendADMode", Call("SendADMode", 1, RecordArg(&r), 0, 0), 0);
    ExpectStatus("RemoteAvg", Call("RemoteAvg", 1, RecordArg(&r), 0, 0), 1);
    ExpectStatus("CloseDevice", Call("CloseDevice", 0, 0, 0, 0), 1);
    ReadHandle("after CloseDevice", SADC_INVALID_HANDLE);
    CheckReserved(&r, "the calls on the silent port");
}

int main(void) {
    setvbuf(stdout, NULL, _IONBF, 0);
    Dll = LoadLibraryA("SADCLINK.dll");
    if (!Dll) {
        printf("FAIL: LoadLibraryA(\"SADCLINK.dll\") failed, error %lu\n", (unsigned long)GetLastError());
        return 1;
    }
    char path[MAX_PATH] = "";
    GetModuleFileNameA(Dll, path, sizeof path);
    printf("loaded %s (%d-bit)\n", path, (int)(8 * sizeof(void *)));

    if (AbiSelfTest() != 0) {
        printf("FAIL: the call thunk does not see a broken convention; nothing below could be trusted\n");
        return 1;
    }
    LookUpExports();
    Scaling();
    ScanTimeCheck();
    ClosedSlot();
    HandleWidth();
    SilentPort();

    for (int i = 0; i < ExportCount; ++i)
        if (!Called[i]) Check(0, Exports[i].Name, "never called");
    printf("%d checks, %d failed\n", Checks, Failures);
    return Failures == 0 ? 0 : 1;
}
