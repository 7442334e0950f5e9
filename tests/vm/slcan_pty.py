#!/usr/bin/env python3
"""A serial-line CAN adapter on a pseudo terminal: a CAN interface with real bit timing.

Creates the interface (the kernel's slcan line discipline on the terminal side of a pty), prints
its name on one line, then records every byte the driver sends to the "adapter" (its ASCII
commands: "S8\\r" sets 1000 kbit/s, "O\\r" opens, "T<id><len><data>\\r" is an extended frame) into
the file given, until its standard input closes. Needs root and the slcan module.

    slcan_pty.py RECORD             a pty of its own, the adapter's side recorded into RECORD
    slcan_pty.py --attach TERMINAL  the driver on a terminal whose other side is an adapter
                                    already (canbus-host --slcan-pty), nothing recorded
"""

import fcntl
import os
import select
import struct
import sys
import termios

N_SLCAN = 17
SIOCGIFNAME = 0x8910


def main():
    if sys.argv[1] == "--attach":
        slave = os.open(sys.argv[2], os.O_RDWR | os.O_NOCTTY)
        fcntl.ioctl(slave, termios.TIOCSETD, struct.pack("i", N_SLCAN))
        print(fcntl.ioctl(slave, SIOCGIFNAME, bytes(16)).split(b"\0", 1)[0].decode(), flush=True)
        sys.stdin.read()  # until its standard input closes
        os.close(slave)
        return
    record_path = sys.argv[1]
    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSETD, struct.pack("i", N_SLCAN))
    name = fcntl.ioctl(slave, SIOCGIFNAME, bytes(16)).split(b"\0", 1)[0].decode()
    print(name, flush=True)
    with open(record_path, "wb", buffering=0) as record:
        while True:
            ready, _, _ = select.select([master, sys.stdin], [], [])
            if master in ready:
                record.write(os.read(master, 4096))
            if sys.stdin in ready and not os.read(sys.stdin.fileno(), 4096):
                break
    os.close(slave)  # the interface goes away with its terminal
    os.close(master)


if __name__ == "__main__":
    main()
