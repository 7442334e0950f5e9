#!/usr/bin/python3
"""The block exchange of a load, scripted as a user would with python-can's socketcand interface.

Untimed: the start bootloader request to the sensor (0xC3), "V" until the bootloader answers,
both sectors erased, BOOT_BEG. Timed: each 8-byte block on channel 15, waiting for its echo,
then the terminating block of zeros. Untimed again: BOOT_END and REBOOTME.

usage: python_can_peer.py PORT BUS IMAGE
       python_can_peer.py --serial PATH IMAGE   (python-can's slcan interface on a serial line)
Prints "blocks N stream_ns T"; exits 3 when python-can is not installed.
"""

import logging
import sys
import time

try:
    import can
except ImportError:
    print("python-can is not installed", file=sys.stderr)
    sys.exit(3)

COMMAND_ID = 0x00FFF2B1  # command channel 2
DATA_ID = 0x00FFFFB1  # command channel 15: the image blocks


def main():
    port, bus_name, image_path = sys.argv[1], sys.argv[2], sys.argv[3]
    with open(image_path, "rb") as f:
        image = f.read()
    # python-can warns about the blank that follows each frame of the bus host; quiet it.
    logging.getLogger("can").setLevel(logging.ERROR)
    if port == "--serial":
        bus = can.Bus(interface="slcan", channel=bus_name, bitrate=1000000)
    else:
        bus = can.Bus(interface="socketcand", host="127.0.0.1", port=int(port), channel=bus_name)

    def send(arbitration_id, data):
        bus.send(can.Message(arbitration_id=arbitration_id, is_extended_id=True, data=data))

    def reply(arbitration_id, timeout):
        deadline = time.monotonic() + timeout
        while (left := deadline - time.monotonic()) > 0:
            msg = bus.recv(left)
            if msg is not None and msg.arbitration_id == arbitration_id:
                return msg
        return None

    def exchange(data, timeout=2.0):
        send(COMMAND_ID, data)
        return reply(COMMAND_ID, timeout)

    send(0x18EFC300, b"\xf0\xff\xff\x80BOOT")  # start the bootloader, from address 0
    if not any(exchange(b"V", 0.1) for _ in range(40)):
        sys.exit("the bootloader did not start")
    for erase in (b"\x45\x08\x01\x00\x00", b"\x45\x08\x02\x00\x00"):
        if exchange(erase) is None:
            sys.exit("an erase was not acknowledged")
    if exchange(b"BOOT_BEG") is None:
        sys.exit("BOOT_BEG was not echoed")

    blocks = [image[i : i + 8] for i in range(0, len(image), 8)] + [bytes(8)]
    began = time.perf_counter_ns()
    for block in blocks:
        send(DATA_ID, block)
        echo = reply(DATA_ID, 1.0)
        if echo is None or bytes(echo.data) != block:
            sys.exit("a block was not echoed")
    ended = time.perf_counter_ns()

    if exchange(b"BOOT_END") is None:
        sys.exit("BOOT_END was not echoed")
    send(COMMAND_ID, b"REBOOTME")
    bus.shutdown()
    print(f"blocks {len(blocks)} stream_ns {ended - began}")


if __name__ == "__main__":
    main()
