#!/usr/bin/env python3
"""Writes the seed corpora in fuzz/corpus/<target>/: a few well-formed inputs per target, from
which the fuzzers mutate. Run it again after changing an input layout; the fuzzers keep what they
find in a corpus folder of their own (see run-fuzzers.sh), not here."""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as handle:
        handle.write(data)


def command_line():
    seeds = {
        "file": [b"a"],
        "file_address": [b"a", b"0xC3"],
        "resume": [b"0x00", b"b"],
        "two_files": [b"a", b"b"],
        "folder": [b"d"],
        "odd_size": [b"o"],
        "empty_file": [b"e"],
        "missing": [b"no-such-file.bin"],
        "bad_address": [b"a", b"0xZZ"],
        "short_address": [b"0x1"],
        "empty_argument": [b""],
    }
    for name, arguments in seeds.items():
        write("command_line", name, b"\0".join(arguments))


def message(identifier, data, extended=True, own=False, kind=0):
    flags = len(data) | (0x80 if extended else 0) | (0x20 if own else 0)
    return struct.pack("<IIBBBB8s", 0, identifier, kind, 0, flags, 0, bytes(data))


def frame_filter():
    def header(operation, timeout, args=b""):
        return struct.pack("<BH", operation, timeout) + args.ljust(13, b"\0")

    def record(control, msg):
        return bytes([control]) + msg

    v_echo = message(0x00FFF2B1, b">VER 7.0")
    claim = message(0x18EEFF00, bytes([0, 0, 0x60, 0x37, 0, 0, 0, 0x80]))
    own_v = message(0x00FFF2B1, b"V", own=True)
    other_channel = message(0x00FFF5B1, bytes(8))
    standard = message(0x1A0, bytes(8), extended=False)
    status = message(0, bytes(8), kind=3)
    block = message(0x00FFFFB1, bytes(range(1, 9)))
    sensor_reply = message(0x18EF00C3, bytes([0xE0, 0x14, 0, 1, 0, 0xFF, 0xFF, 0xFF]))
    records = [record(0, m) for m in (own_v, standard, status, other_channel, v_echo)]
    write("frame_filter", "convert", header(0, 100) + b"".join(records))
    write("frame_filter", "j1939_claim",
          header(1, 250, bytes([0xFF, 0x00]) + struct.pack("<I", 0xEE00)) +
          record(1, standard) + record(0, claim))
    write("frame_filter", "command_reply", header(2, 100) + b"".join(records))
    write("frame_filter", "any_filter",
          header(3, 100, struct.pack("<II", 0x9FFFF0FF, 0x80FFF0B1)) + b"".join(records))
    write("frame_filter", "transact", header(4, 100, bytes([2, 1]) + b"V") + b"".join(records))
    write("frame_filter", "claim", header(5, 250, bytes([0])) + record(0, claim))
    write("frame_filter", "sensor_check", header(6, 100, bytes([0xC3, 0x00])) +
          record(0, sensor_reply))
    write("frame_filter", "wait_bootloader", header(7, 100) + record(3, v_echo) +
          record(0, v_echo))
    write("frame_filter", "flush", header(0x88, 0) + b"".join(records))
    erase = message(0x00FFF2B1, bytes([8, 1, 0, 0]))
    write("frame_filter", "load_exchanges",
          header(9, 100, struct.pack(">I", 0x08010000) + bytes(range(1, 9))) +
          record(0, erase) + record(0, message(0x00FFF2B1, b"BOOT_BEG")) + record(0, block) +
          record(0, message(0x00FFF2B1, b"BOOT_END")))


def socketcand():
    host_side = (b"< open sim0 >< rawmode >< send 18EEFF00 8 00 00 60 37 00 00 00 80 >"
                 b"< send 18EFC300 8 e0 14 0 1 0 0 0 0 >< send CEFC300 2 a b >< send 123 0 >")
    write("socketcand", "host_side", b"\x01\x05" + host_side)
    write("socketcand", "host_side_bad", b"\x01\x11" + b"< open >< hello >junk< send 1 9 >"
          b"< open sim7 >" + b"< frame 123 1.5 01 >")
    write("socketcand", "host_side_oversized",
          b"\x01\x03< " + b"x" * 300 + b" < send 100 0 >" + b"< " + b"y" * 300 + b" >< ok >")
    client_side = (b"< hi >< ok >< ok >< frame 18EEFF00 1700000000.000100 0000603700000080 > "
                   b"< frame 123 23.424242  > < error no bus named x here >")
    write("socketcand", "client_side", b"\x00\x07" + client_side)


def sensor():
    # Configuration: no faults, address 0xC3, ">VER 7.0"-length version, no delays, small flash.
    config = bytes([0, 0, 0, 0xC3, 8, 0, 0, 0x33])
    events = bytearray()

    def j1939(pf_offset, destination, source, data):
        events.extend([0x10, 8, pf_offset, destination, source, 0x00])
        events.extend(data)

    def command(fill, channel=2):
        events.extend([0x00, 0, channel, fill])

    def block(data):
        events.extend([0x00, 8, 15, 0x00])
        events.extend(data)

    def wait(us):
        events.append(0x04)
        events.extend(struct.pack("<I", us))
        events.append(0x05)

    j1939(5, 0xC3, 0x00, [0xE0, 0x14, 0, 1, 0, 0, 0, 0])  # sensor check
    j1939(5, 0xC3, 0x00, [0xF0, 0xFF, 0xFF, 0x80, 0x42, 0x4F, 0x4F, 0x54])  # start bootloader
    wait(300000)
    command(0x80)  # V
    command(0x84)  # erase sector 1
    wait(1000)
    command(0x85)  # erase sector 2
    wait(1000)
    command(0x81)  # BOOT_BEG
    for n in range(4):
        block(bytes(range(n * 8 + 1, n * 8 + 9)))
    events.extend([0x00, 8, 15, 0x40])  # the terminating block of zeros
    command(0x82)  # BOOT_END
    command(0x83)  # REBOOTME
    write("sensor", "load", config + bytes(events))
    write("sensor", "load_power_cycled", config + bytes(events[:60]) + b"\x06" + bytes(events))
    flood = bytes([0x80, 0x5B, 0x7F, 0x10, 0xC3, 8, 10, 10, 0x33])
    write("sensor", "flood_faults", flood + bytes(events))


def slcan():
    # Byte 0 seeds the read sizes; the rest is what the serial line carries.
    write("slcan", "adapter_answers", b"\x03" + b"\r\r\a\rV1013\rNA123\rz\rZ\r"
          b"T18EF00C38E01400010000FFFF\rt1A03112233EA5F\r\r\n")
    write("slcan", "host_commands", b"\x09" + b"\r\r\rC\rS8\rZ0\rO\rV\rN\rF\r"
          b"T00FFF2B18563000000000000\rr1234\rR000000012\r")
    write("slcan", "garbage", b"\x21" + b"t12\at1A0\x00\r" + b"T" * 80 + b"\rt7FF0\rX1\rS9\r")


command_line()
frame_filter()
socketcand()
sensor()
slcan()
