"""python-can's socketcand client against our canbus-host and a BusClient (bus_peer); then
python-can's slcan client and a bare serial line on canbus-host's SLCAN adapters (--slcan-pty)
against the socketcand client.

usage: python_interop.py CANBUS_HOST BUS_PEER WORKDIR
Exits 77 (skipped) when python-can is not installed for this interpreter.
"""
import os
import re
import subprocess
import sys
import time

try:
    import can
except ImportError:
    print("SKIPPED: python-can is not installed for %s (apt-get install -y python3-can)"
          % sys.executable)
    sys.exit(77)

# The adapter's answers, in order, to a host that drives it by hand: (line sent, answer).
ADAPTER_EXCHANGE = [
    ("V", b"V1013\r"), ("N", b"NVB01\r"), ("", b"\r"),
    ("t123111", b"\a"),            # channel closed: refused
    ("S8", b"\r"), ("Z9", b"\a"), ("Z1", b"\r"), ("O", b"\r"),
    ("O", b"\a"), ("Z0", b"\a"), ("S6", b"\a"),   # while open: refused
    ("t123111", b"z\r"),           # goes to the bus
    ("r1230", b"\a"), ("x", b"\a"), ("T" * 70, b"\a"), ("t1231", b"\a"),
]


def drive_adapter(link, listener, slcan_bus):
    """Drives the adapter at `link` by hand, then checks what it passes on each way."""
    import serial
    line = serial.Serial(link, timeout=2)
    try:
        for sent, answer in ADAPTER_EXCHANGE:
            line.write(sent.encode() + b"\r")
            got = line.read(len(answer))
            assert got == answer, "adapter answered %r to %r, not %r" % (got, sent, answer)
        for bus in (listener, slcan_bus):  # the frame it accepted reached both
            message = bus.recv(timeout=5.0)
            assert message is not None and message.arbitration_id == 0x123, message
            assert bytes(message.data) == b"\x11", message
        assert not message.is_extended_id, message  # (python-can's socketcand marks all 29-bit)
        # A frame from python-can's slcan client: on the bus, and to this open channel with a
        # time stamp (Z1 above); the client does not get it back.
        slcan_bus.send(can.Message(arbitration_id=0x18EF00C3, is_extended_id=True, data=[7, 8]))
        got = line.read_until(b"\r")
        assert re.fullmatch(rb"T18EF00C320708[0-9A-F]{4}\r", got), got
        message = listener.recv(timeout=5.0)
        assert message is not None and message.arbitration_id == 0x18EF00C3, message
        assert slcan_bus.recv(timeout=0.2) is None
        line.write(b"C\r")
        assert line.read(1) == b"\r"
        listener.send(can.Message(arbitration_id=0x7FF, is_extended_id=False, data=[]))
        message = slcan_bus.recv(timeout=5.0)
        assert message is not None and message.arbitration_id == 0x7FF, message
        time.sleep(0.1)
        assert line.in_waiting == 0, "a closed channel passed %r on" % line.read(line.in_waiting)
    finally:
        line.close()


def main():
    host_program, peer_program, workdir = sys.argv[1:4]
    trace = os.path.join(workdir, "python_interop_%d.log" % os.getpid())
    links = [os.path.join(workdir, "slcan%d_%d" % (k, os.getpid())) for k in (0, 1)]
    host = subprocess.Popen([host_program, "--trace", trace, "--slcan-pty", links[0],
                             "--slcan-pty", links[1]], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    peer = None
    bus = None
    slcan_bus = None
    try:
        ready = host.stdout.readline()
        while ready.startswith("canbus-host: slcan adapter at "):
            ready = host.stdout.readline()
        # "canbus-host: bus sim0 on 127.0.0.1:29536"
        words = ready.split()
        assert len(words) >= 5 and words[1] == "bus", "unexpected ready line %r" % ready
        channel, port = words[2], int(words[4].rsplit(":", 1)[1])

        bus = can.Bus(interface="socketcand", host="127.0.0.1", port=port, channel=channel)
        # The peer answers our frame with one frame with data and one without.
        peer = subprocess.Popen([peer_program, str(port), "18EFF9C3#0102030405060708", "123#"],
                                stdout=subprocess.PIPE, text=True)
        assert peer.stdout.readline().strip() == "ready"

        # 0x0CEFC300 goes out as the 7-digit "CEFC300": the host must still see 29 bits.
        bus.send(can.Message(arbitration_id=0x0CEFC300, is_extended_id=True,
                             data=[0xE0, 0x14, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00]))
        got = peer.stdout.readline().strip()
        assert got == "got 0CEFC300#E014000100000000", "peer received %r" % got

        received = []
        while len(received) < 2:
            message = bus.recv(timeout=10.0)
            assert message is not None, "python-can received %d of 2 frames" % len(received)
            received.append(message)
        assert received[0].arbitration_id == 0x18EFF9C3, received[0]
        assert bytes(received[0].data) == bytes(range(1, 9)), received[0]
        assert received[1].arbitration_id == 0x123 and len(received[1].data) == 0, received[1]
        assert peer.wait(timeout=10) == 0

        slcan_bus = can.Bus(interface="slcan", channel=links[0], bitrate=1000000)
        drive_adapter(links[1], bus, slcan_bus)
    finally:
        if slcan_bus is not None:
            slcan_bus.shutdown()
        if bus is not None:
            bus.shutdown()
        if peer is not None and peer.poll() is None:
            peer.kill()
        host.terminate()
        host.wait(timeout=10)
    assert not any(os.path.lexists(link) for link in links), "canbus-host left its links"

    # python-can reads the host's trace back as a candump log.
    logged = list(can.LogReader(trace))
    os.remove(trace)
    assert [m.arbitration_id for m in logged] == [0x0CEFC300, 0x18EFF9C3, 0x123, 0x123,
                                                  0x18EF00C3, 0x7FF], logged
    assert [m.is_extended_id for m in logged] == [True, True, False, False, True, False], logged
    print("python-can and our bus agree")


if __name__ == "__main__":
    main()
