"""python-can's socketcand client against our canbus-host and a BusClient (bus_peer).

usage: python_interop.py CANBUS_HOST BUS_PEER WORKDIR
Exits 77 (skipped) when python-can is not installed for this interpreter.
"""
import os
import subprocess
import sys

try:
    import can
except ImportError:
    print("SKIPPED: python-can is not installed for %s (apt-get install -y python3-can)"
          % sys.executable)
    sys.exit(77)


def main():
    host_program, peer_program, workdir = sys.argv[1:4]
    trace = os.path.join(workdir, "python_interop_%d.log" % os.getpid())
    host = subprocess.Popen([host_program, "--trace", trace], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    peer = None
    bus = None
    try:
        ready = host.stdout.readline()  # "canbus-host: bus sim0 on 127.0.0.1:29536"
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
    finally:
        if bus is not None:
            bus.shutdown()
        if peer is not None and peer.poll() is None:
            peer.kill()
        host.terminate()
        host.wait(timeout=10)

    # python-can reads the host's trace back as a candump log.
    logged = list(can.LogReader(trace))
    os.remove(trace)
    assert [m.arbitration_id for m in logged] == [0x0CEFC300, 0x18EFF9C3, 0x123], logged
    assert [m.is_extended_id for m in logged] == [True, True, False], logged
    print("python-can and our bus agree")


if __name__ == "__main__":
    main()
