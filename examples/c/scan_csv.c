/*
 * scan_csv: sign on, scan four channels (scan mode 1) and write the scans as
 * CSV: a time column and one column per channel, in the 5000 full-scale unit.
 *
 *   scan_csv [COMn] [scans] [file.csv]           defaults: COM1 10 scan.csv
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sadclink.h>

enum { Channels = 4 };

static int PortNumber(const char *name) {
    if (strncmp(name, "COM", 3) != 0) return -1;
    int n = atoi(name + 3);
    return (n >= 1 && n <= 16) ? n - 1 : -1;
}

int main(int argc, char **argv) {
    const char *port = argc > 1 ? argv[1] : "COM1";
    int scans = argc > 2 ? atoi(argv[2]) : 10;
    const char *path = argc > 3 ? argv[3] : "scan.csv";
    int comPort = PortNumber(port);
    if (comPort < 0 || scans < 1) {
        fprintf(stderr, "usage: scan_csv [COM1..COM16] [scans] [file.csv]\n");
        return 2;
    }

    DeviceRecord rec;
    memset(&rec, 0, sizeof rec);
    rec.ComPort = (int16_t)comPort;
    rec.SpeedIndex = 0;
    rec.DataRate = 100.0f;
    rec.Gain = 1;
    rec.ConvBytes = 3;
    rec.AvgCount = 1;
    rec.FilterSel = 2;
    rec.ScanTime = 0.5;   /* loaded into the instrument's scan timer at sign-on */
    rec.NumChans = Channels;
    rec.ScanMode = 1;
    /* The instrument's set-up bytes: a scan starts at channel 0 and holds
     * NumChans conversions. */
    rec.ScanConfig[0] = 0;
    rec.ScanConfig[1] = Channels;
    rec.InQueueSize = 4096;
    rec.OutQueueSize = 4096;

    if (SignOn(&rec) != 1) {
        fprintf(stderr, "scan_csv: no instrument signed on at %s\n", port);
        return 1;
    }
    double longest = 0, shortest = 0;
    if (CheckScanTime(&rec, &longest, &shortest) == 0) {
        fprintf(stderr, "scan_csv: a scan interval of %g s lies outside %g .. %g s\n",
                rec.ScanTime, shortest, longest);
        CloseDevice();
        return 1;
    }
    FILE *out = fopen(path, "w");
    if (!out) {
        perror(path);
        CloseDevice();
        return 1;
    }
    fprintf(out, "time_s");
    for (int c = 0; c < Channels; c++) fprintf(out, ",ch%d", c);
    fprintf(out, "\n");

    /* Room for one scan: the lead byte, the conversions and one further byte. */
    int32_t buffer[Channels * 3 + 2 + 16];
    int status = 0;
    if (StartScanning(&rec) != 1) {
        fprintf(stderr, "scan_csv: the instrument did not start scanning\n");
        status = 1;
    }
    for (int s = 0; status == 0 && s < scans; s++) {
        rec.ErrorCode = 0;
        if (GetOneScan(&rec, buffer) != 1) {
            fprintf(stderr, "scan_csv: scan %d failed (error code %ld)\n", s + 1, (long)rec.ErrorCode);
            status = 1;
            break;
        }
        fprintf(out, "%.4f", s * rec.ScanTime);
        for (int c = 0; c < Channels; c++) {
            Gconv(&rec, buffer); /* takes one conversion off the head */
            fprintf(out, ",%.4f", rec.ScaledValue);
        }
        fprintf(out, "\n");
        RemoveFromBuffer((int32_t)(sizeof buffer / sizeof buffer[0]), buffer); /* the further byte */
    }
    if (StopScanning(&rec) != 1 && status == 0) {
        fprintf(stderr, "scan_csv: the instrument did not stop scanning cleanly\n");
        status = 1;
    }
    fclose(out);
    CloseDevice();
    if (status == 0) printf("%d scans of %d channels written to %s\n", scans, Channels, path);
    return status;
}
