/*
 * read_channel: sign on, print what the instrument reports, take a few
 * conversions on one channel, close.
 *
 *   read_channel [COMn] [channel] [count]        defaults: COM1 0 5
 *
 * On Linux, COMn is the entry COMn of the folder in $SADCLINK_PORTS (for
 * example a link to /dev/ttyUSB0, or to the pseudo-terminal of sadc-sim).
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sadclink.h>

static int PortNumber(const char *name) {
    if (strncmp(name, "COM", 3) != 0) return -1;
    int n = atoi(name + 3);
    return (n >= 1 && n <= 16) ? n - 1 : -1;
}

int main(int argc, char **argv) {
    const char *port = argc > 1 ? argv[1] : "COM1";
    int channel = argc > 2 ? atoi(argv[2]) : 0;
    int count = argc > 3 ? atoi(argv[3]) : 5;
    int comPort = PortNumber(port);
    if (comPort < 0 || channel < 0 || channel > 15 || count < 1) {
        fprintf(stderr, "usage: read_channel [COM1..COM16] [channel 0..15] [count]\n");
        return 2;
    }

    /* The set-up: 9600 baud, 24-bit unipolar words at about 100 Hz, gain 1. */
    DeviceRecord rec;
    memset(&rec, 0, sizeof rec);
    rec.ComPort = (int16_t)comPort;
    rec.SpeedIndex = 0;
    rec.DataRate = 100.0f;
    rec.Gain = 1;
    rec.ConvBytes = 3;
    rec.Bipolar = 0;
    rec.AvgCount = 1;
    rec.FilterSel = 2;
    rec.ScanTime = 0.5;
    rec.InQueueSize = 4096;
    rec.OutQueueSize = 4096;

    if (SignOn(&rec) != 1) {
        fprintf(stderr, "read_channel: no instrument signed on at %s\n", port);
        return 1;
    }
    printf("signed on at %s: version %d, output rate %.3f Hz\n", port, rec.Version, (double)rec.DataRate);

    rec.Channel = (int16_t)channel;
    rec.Code = 0;
    SetChanCode(&rec);
    int status = 0;
    for (int i = 0; i < count; i++) {
        rec.ErrorCode = 0; /* the library writes it on failures only */
        if (GetConversion(&rec) != 1) {
            fprintf(stderr, "read_channel: conversion %d on channel %d failed (error code %ld)\n",
                    i + 1, channel, (long)rec.ErrorCode);
            status = 1;
            break;
        }
        printf("channel %d: %10.4f  (counts %ld)\n", channel, rec.ScaledValue, (long)rec.Counts);
    }
    if (status == 0 && GetCheckSum() != 1) {
        fprintf(stderr, "read_channel: the instrument's checksum differs from the bytes received\n");
        status = 1;
    }
    CloseDevice();
    return status;
}
