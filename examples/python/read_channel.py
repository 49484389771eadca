#!/usr/bin/env python3
"""Sign on, print what the instrument reports, take a few readings on one channel.

    read_channel.py [--port COM1 | --device /dev/ttyUSB0] [--channel 0] [--count 5]
"""
import argparse
import sys

import sadclink


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", default="COM1", help="COM1 .. COM16 (default COM1)")
    parser.add_argument("--device", help="a serial device or pseudo-terminal path instead of --port")
    parser.add_argument("--channel", type=int, default=0)
    parser.add_argument("--count", type=int, default=5)
    opts = parser.parse_args()

    try:
        with sadclink.Instrument(opts.port, device=opts.device) as inst:
            print(f"signed on: version {inst.version}, output rate {inst.rate:.3f} Hz")
            for _ in range(opts.count):
                print(f"channel {opts.channel}: {inst.read(opts.channel):10.4f}")
            if not inst.checksum_ok():
                raise sadclink.SadclinkError("GetCheckSum", "the instrument's checksum differs")
    except sadclink.SadclinkError as exc:
        print(f"read_channel.py: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
