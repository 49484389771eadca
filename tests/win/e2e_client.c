/*
 * e2e_client.c - a plain Windows application of SADCLINK.dll: it includes
 * sadclink.h, links the DLL's import library and talks to an instrument on a
 * real COM port through the Win32 serial layer. Under Wine the port is a
 * pseudo-terminal with sadc-sim behind it.
 *
 * It signs on, reads the version and the digital inputs, sets the outputs,
 * takes conversions, checks the running checksum, checks the scan interval,
 * scans in mode 1 for a few scans, stops, checks the checksum again and
 * closes. Every call is timed, to show what the Win32 waits cost.
 *
 * Usage: e2e_client.exe ComPort SpeedIndex [options]
 *   --version N           the firmware version the instrument reports
 *   --expect CH=VALUE     channel CH reads VALUE on the 5000 scale (repeatable)
 *   --scan-channels A,B.. the channels of each scan, in order (default 0,1,2,3)
 *   --scan-config V0,..   the six ScanConfig values downloaded at sign-on
 *                         (default: sadc-sim's, the first scan channel and the
 *                         number of scan channels, then zeros)
 *   --scans K             scans to take (default 3)
 *   --scan-time S         scan interval in seconds (default 0.5)
 *   --tolerance T         allowed difference on the 5000 scale (default 5)
 *   --bipolar B           0 or 1 (default 1)
 * Exit status 0 when everything matched.
 */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>

#include "sadclink.h"

enum { MaxChannels = 16 };

typedef struct Options {
    int ComPort, SpeedIndex, Version, Scans, Bipolar;
    double ScanTime, Tolerance;
    int HaveExpect[MaxChannels];
    double Expect[MaxChannels];
    int ScanChannels[MaxChannels], NumScanChannels;
    int ScanConfig[6], HaveScanConfig;
} Options;

static int Failures;

static void Report(int ok, DWORD ms, const char *what) {
    printf("%-4s %6lu ms  %s\n", ok ? "ok" : "FAIL", (unsigned long)ms, what);
    if (!ok) ++Failures;
}

static int ParseList(const char *text, int *out, int max) {
    int n = 0;
    while (*text && n < max) {
        char *end;
        long v = strtol(text, &end, 0);
        if (end == text) break;
        out[n++] = (int)v;
        text = *end == ',' ? end + 1 : end;
    }
    return n;
}

static int ParseOptions(int argc, char **argv, Options *o) {
    memset(o, 0, sizeof *o);
    o->Version = -1;
    o->Scans = 3;
    o->Bipolar = 1;
    o->ScanTime = 0.5;
    o->Tolerance = 5.0;
    o->NumScanChannels = 4;
    for (int i = 0; i < 4; ++i) o->ScanChannels[i] = i;
    if (argc < 3) return 0;
    o->ComPort = atoi(argv[1]);
    o->SpeedIndex = atoi(argv[2]);
    for (int i = 3; i + 1 < argc; i += 2) {
        const char *k = argv[i], *v = argv[i + 1];
        if (strcmp(k, "--version") == 0) o->Version = atoi(v);
        else if (strcmp(k, "--scans") == 0) o->Scans = atoi(v);
        else if (strcmp(k, "--bipolar") == 0) o->Bipolar = atoi(v);
        else if (strcmp(k, "--scan-time") == 0) o->ScanTime = atof(v);
        else if (strcmp(k, "--tolerance") == 0) o->Tolerance = atof(v);
        else if (strcmp(k, "--scan-channels") == 0) o->NumScanChannels = ParseList(v, o->ScanChannels, MaxChannels);
        else if (strcmp(k, "--scan-config") == 0) o->HaveScanConfig = ParseList(v, o->ScanConfig, 6) == 6;
        else if (strcmp(k, "--expect") == 0) {
            int ch = atoi(v);
            const char *eq = strchr(v, '=');
            if (!eq || ch < 0 || ch >= MaxChannels) return 0;
            o->HaveExpect[ch] = 1;
            o->Expect[ch] = atof(eq + 1);
        } else return 0;
    }
    if (!o->HaveScanConfig) {
        /* sadc-sim's meaning: the first channel, then the conversions a scan holds. */
        o->ScanConfig[0] = o->ScanChannels[0];
        o->ScanConfig[1] = o->NumScanChannels;
    }
    return o->ComPort >= 0 && o->ComPort < 16 && o->SpeedIndex >= 0 && o->SpeedIndex < 6 && o->Scans > 0 &&
           o->NumScanChannels > 0;
}

static void SetUp(DeviceRecord *r, const Options *o) {
    memset(r, 0, sizeof *r);
    r->ComPort = (int16_t)o->ComPort;
    r->SpeedIndex = (int16_t)o->SpeedIndex;
    r->ScanTime = o->ScanTime;
    r->NumChans = (int16_t)o->NumScanChannels;
    r->ScanMode = 1;
    for (int i = 0; i < 6; ++i) r->ScanConfig[i] = (int16_t)o->ScanConfig[i];
    r->Channel = 0;
    r->Code = 0;
    r->ConvBytes = 3;
    r->Bipolar = (int16_t)o->Bipolar;
    r->FilterSel = 2;
    r->Gain = 1;
    r->DataRate = 100.0f;
    r->AvgCount = 1;
    r->CounterPreset = 0;
    r->OutQueueSize = 1024;
    r->InQueueSize = 4096;
}

/* The value read against the one the instrument was told to give, if any. */
static void CheckValue(const Options *o, int channel, double value, const char *where) {
    char what[160];
    if (!o->HaveExpect[channel]) return;
    snprintf(what, sizeof what, "%s: channel %d reads %.3f, expected %.3f", where, channel, value,
             o->Expect[channel]);
    Report(fabs(value - o->Expect[channel]) <= o->Tolerance, 0, what);
}

int main(int argc, char **argv) {
    Options o;
    DeviceRecord r;
    char what[200];
    DWORD t;
    setvbuf(stdout, NULL, _IONBF, 0);
    if (!ParseOptions(argc, argv, &o)) {
        printf("usage: e2e_client.exe ComPort SpeedIndex [--version N] [--expect CH=VALUE]... "
               "[--scan-channels A,B,..] [--scan-config V0,..,V5] [--scans K] [--scan-time S] "
               "[--tolerance T] [--bipolar B]\n");
        return 2;
    }
    SetUp(&r, &o);
    printf("%d-bit client, COM%d (ComPort %d), SpeedIndex %d\n", (int)(8 * sizeof(void *)), o.ComPort + 1,
           o.ComPort, o.SpeedIndex);

    t = GetTickCount();
    int16_t s = SignOn(&r);
    snprintf(what, sizeof what, "SignOn: version %d, achieved rate %.3f Hz", r.Version, (double)r.DataRate);
    Report(s == 1, GetTickCount() - t, what);
    if (s != 1) return 1;

    SadcHandle h = SADC_INVALID_HANDLE;
    SadcHandle got = GetComHandle(&h);
    Report(got == h && h != SADC_INVALID_HANDLE, 0, "GetComHandle: the signed-on port");

    int16_t version = r.Version;
    r.Version = -1;
    t = GetTickCount();
    s = GetVer(&r);
    snprintf(what, sizeof what, "GetVer: %d", r.Version);
    Report(s == 1 && r.Version == version && (o.Version < 0 || r.Version == o.Version), GetTickCount() - t, what);

    t = GetTickCount();
    s = GetDigIn(&r);
    snprintf(what, sizeof what, "GetDigIn: 0x%02X", (unsigned)r.DigIn);
    Report(s == 1, GetTickCount() - t, what);
    t = GetTickCount();
    s = SetDigOut(0x5A);
    Report(s == 1, GetTickCount() - t, "SetDigOut(0x5A)");

    /* Single conversions on every channel the scan will hold. */
    for (int i = 0; i < o.NumScanChannels; ++i) {
        r.Channel = (int16_t)o.ScanChannels[i];
        SetChanCode(&r);
        t = GetTickCount();
        s = GetConversion(&r);
        snprintf(what, sizeof what, "GetConversion on channel %d: Counts 0x%06lX, %.3f", r.Channel,
                 (unsigned long)r.Counts, r.ScaledValue);
        Report(s == 1, GetTickCount() - t, what);
        if (s == 1) CheckValue(&o, r.Channel, r.ScaledValue, "conversion");
    }
    r.Channel = 0;
    SetChanCode(&r);
    t = GetTickCount();
    s = GetCheckSum();
    Report(s == 1, GetTickCount() - t, "GetCheckSum after the conversions");

    double maxTime = 0.0, minTime = 0.0;
    s = CheckScanTime(&r, &maxTime, &minTime);
    snprintf(what, sizeof what, "CheckScanTime: %d, ScanTime %.7f s within %.7f .. %.3f s", s, r.ScanTime, minTime,
             maxTime);
    Report(s == 1, 0, what);

    /* Mode 1: lead byte 0xF0, NumChans conversions and one further byte a scan. */
    int32_t buffer[4 * (MaxChannels * 3 + 2)];
    t = GetTickCount();
    s = StartScanning(&r);
    Report(s == 1, GetTickCount() - t, "StartScanning, mode 1");
    for (int k = 0; k < o.Scans; ++k) {
        r.ErrorCode = 0;
        t = GetTickCount();
        s = GetOneScan(&r, buffer);
        snprintf(what, sizeof what, "GetOneScan %d (ErrorCode %ld)", k + 1, (long)r.ErrorCode);
        Report(s == 1, GetTickCount() - t, what);
        if (s != 1) break;
        for (int i = 0; i < o.NumScanChannels; ++i) {
            Gconv(&r, buffer);
            snprintf(what, sizeof what, "scan %d", k + 1);
            CheckValue(&o, o.ScanChannels[i], r.ScaledValue, what);
        }
        RemoveFromBuffer(1, buffer); /* the further byte that ends a mode-1 scan */
    }
    t = GetTickCount();
    s = StopScanning(&r);
    Report(s == 1, GetTickCount() - t, "StopScanning");
    t = GetTickCount();
    s = GetCheckSum();
    Report(s == 1, GetTickCount() - t, "GetCheckSum after scanning: every byte accounted for");

    t = GetTickCount();
    s = CloseDevice();
    Report(s == 1, GetTickCount() - t, "CloseDevice");
    got = GetComHandle(&h);
    Report(got == SADC_INVALID_HANDLE && h == SADC_INVALID_HANDLE, 0, "GetComHandle: slot closed");

    printf("%s\n", Failures == 0 ? "end to end: all passed" : "end to end: FAILED");
    return Failures == 0 ? 0 : 1;
}
