/*
 * consumer: the smallest application of the installed library. Built once
 * through find_package(sadclink) and once through pkg-config, it proves that
 * the installed header, library and package files fit together.
 *
 *   consumer none COMn     no instrument on COMn: SignOn must fail cleanly
 *   consumer COMn          an instrument on COMn: sign on, read, close
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sadclink.h>

static int Fail(const char *what) {
    fprintf(stderr, "consumer: %s\n", what);
    return 1;
}

static DeviceRecord SetUp(int comPort) {
    DeviceRecord rec;
    memset(&rec, 0, sizeof rec);
    rec.ComPort = (int16_t)comPort;
    rec.DataRate = 100.0f;
    rec.Gain = 1;
    rec.ConvBytes = 3;
    rec.AvgCount = 1;
    rec.FilterSel = 2;
    rec.ScanTime = 0.5;
    rec.InQueueSize = 4096;
    rec.OutQueueSize = 4096;
    return rec;
}

int main(int argc, char **argv) {
    if (argc < 2) return Fail("usage: consumer [none] COM1..COM16");
    int expectInstrument = strcmp(argv[1], "none") != 0;
    const char *port = argv[argc > 2 ? 2 : 1];
    if (strncmp(port, "COM", 3) != 0 || atoi(port + 3) < 1 || atoi(port + 3) > 16)
        return Fail("usage: consumer [none] COM1..COM16");
    if (sizeof(DeviceRecord) != 96) return Fail("the header's DeviceRecord is not 96 bytes");
    DeviceRecord rec = SetUp(atoi(port + 3) - 1);

    if (!expectInstrument) {
        SadcStatus s = SignOn(&rec);
        SadcHandle h = 0;
        if (s != 0) return Fail("SignOn succeeded where no instrument is");
        if (GetComHandle(&h) != SADC_INVALID_HANDLE || h != SADC_INVALID_HANDLE)
            return Fail("a failed SignOn left a port open");
        printf("consumer: SignOn on %s failed cleanly (status 0, port closed)\n", port);
        return 0;
    }

    if (SignOn(&rec) != 1) return Fail("SignOn failed");
    printf("consumer: signed on at %s, version %d, rate %.3f Hz\n", port, rec.Version, (double)rec.DataRate);
    rec.Channel = 0;
    SetChanCode(&rec);
    if (GetConversion(&rec) != 1) {
        CloseDevice();
        return Fail("GetConversion failed");
    }
    printf("consumer: channel 0 reads %.4f (counts %ld)\n", rec.ScaledValue, (long)rec.Counts);
    if (rec.ScaledValue != Counts2Volts(rec.Counts, rec.ConvBytes, rec.Bipolar)) {
        CloseDevice();
        return Fail("ScaledValue is not Counts2Volts(Counts)");
    }
    int checksum = GetCheckSum();
    CloseDevice();
    if (checksum != 1) return Fail("the instrument's checksum differs");
    return 0;
}
