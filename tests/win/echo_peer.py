#!/usr/bin/env python3
"""A serial peer for the Win32 port test: a pseudo-terminal that sends back
every byte it receives, linked where Wine looks for a COM port.

Usage: echo_peer.py LINK   (e.g. $WINEPREFIX/dosdevices/com12)
Prints the slave's path once the link is in place; runs until terminated.
"""
import os
import select
import signal
import sys
import tty


def main():
    link = sys.argv[1]
    master, slave = os.openpty()
    tty.setraw(slave)
    # Holding the slave open keeps the master readable while the port is closed
    # and re-opened on the other side.
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print(os.ttyname(slave), flush=True)
    try:
        while True:
            ready, _, _ = select.select([master], [], [], 1.0)
            if ready:
                data = os.read(master, 256)
                if data:
                    os.write(master, data)
    finally:
        if os.path.islink(link):
            os.unlink(link)


if __name__ == "__main__":
    main()
