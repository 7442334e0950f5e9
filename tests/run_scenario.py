#!/usr/bin/env python3
"""Runs one console scenario of korvane-loader and compares what it printed, byte for byte.

A scenario file is a list of sections, each opened by a line "[name] arguments":

    # a comment (a line that begins with "#", anywhere)
    [file] NAME KIND ...    a file to create first, in the scenario's own working folder:
                            "pattern N" (N bytes 0x01, 0x02, ... wrapping), "size N" (N zero
                            bytes), "text STRING", "dir" (a folder), "sparse N" (a sparse file)
    [sensor] OPTIONS        start sensor-sim with these options (hosts its own bus) and wait until
                            it is ready; --flash-out and --trace are added by the runner
    [sensor-command] TEXT   send one command line to the running simulator (e.g. power-cycle)
    [run] ARGUMENTS         run the tool with these arguments and "\n" on standard input
    [run-eof] ARGUMENTS     the same with an empty standard input
    [stdout]                the exact output of the run before it; "<CR>" stands for a carriage
                            return, every line ends with a line feed
    [flash] NAME            the simulated flash must equal this file, byte for byte
    [trace]                 the frames on the bus in order, one "ID#DATA" per line (candump
                            notation, without time stamps; "*" and "?" match like file names);
                            "..." alone on a line skips any frames up to the next line that matches
    [sensor-says] TEXT      the simulator's output must contain this text

Arguments are split like a POSIX shell does (shlex). Each run has a time limit as a safety net;
a run that hits it fails the scenario. Exit status: 0 passed, 1 failed, 77 skipped.

When run as root where `unshare -n` works, the scenario runs in a network namespace of its own, so
that buses of scenarios running in parallel (and of anyone else on this machine) are never seen.

With --socketcan IFACE the same scenario runs on a kernel CAN interface instead (the VM tier,
tests/vm): sensor-sim serves on IFACE (its --socketcan option) rather than hosting a bus, and the
runner records the trace itself with a CAN_RAW socket on IFACE, in candump's log format. The tool
must then find IFACE as its only CAN device. No network namespace is used in this mode.

With --slcan ANSWER:STAMPS the tool reaches the bus through a serial-line CAN adapter: sensor-sim
hosts its bus on a port outside the range the CAN library looks at, `canbus-host --join` puts an
SLCAN adapter on a pseudo terminal on that bus (ANSWER and STAMPS are its --slcan-answer and
--slcan-time-stamps), and the tool runs with KORVANE_SLCAN_PORTS naming that terminal, its only
CAN device. With --slcan-com COMn as well (the Windows tier), the tool names the port COMn, and
wine-run.sh maps COMn to that terminal in the wine prefix (KORVANE_WINE_SERIAL).
"""

import argparse
import fnmatch
import os
import select
import shlex
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

import harness_support

RUN_TIME_LIMIT_S = 120
READY_TIME_LIMIT_S = 20
SKIP = 77


def parse_scenario(path):
    sections = []
    with open(path, "r", encoding="utf-8", newline="") as handle:
        lines = handle.read().split("\n")
    current = None
    for line in lines:
        if line.startswith("#"):
            continue
        if line.startswith("[") and "]" in line:
            name, _, rest = line[1:].partition("]")
            current = {"name": name, "arg": rest.strip(), "body": []}
            sections.append(current)
        elif current is None:
            if line.strip():
                raise SystemExit(f"{path}: text before the first section: {line!r}")
        else:
            current["body"].append(line)
    for section in sections:
        body = section["body"]
        while body and body[-1] == "":
            body.pop()  # blank lines between sections
    return sections


def expected_stdout(body):
    text = "".join(line + "\n" for line in body)
    return text.replace("<CR>", "\r")


def make_file(folder, arg):
    parts = shlex.split(arg)
    name, kind = parts[0], parts[1]
    path = os.path.join(folder, name)
    if kind == "dir":
        os.makedirs(path, exist_ok=True)
        return
    with open(path, "wb") as handle:
        if kind == "pattern":
            handle.write(bytes((i + 1) % 256 for i in range(int(parts[2]))))
        elif kind == "size":
            handle.write(bytes(int(parts[2])))
        elif kind == "text":
            handle.write(parts[2].encode())
        elif kind == "sparse":
            handle.truncate(int(parts[2]))
        else:
            raise SystemExit(f"unknown file kind {kind!r}")


def show(data):
    return data.replace("\r", "<CR>")


class Recorder:
    """Every frame on a kernel CAN interface, written as `candump -L` writes it.

    The file is in the order of the kernel's time stamps, which it takes when a frame is sent:
    with more than one CPU a listener may be handed frames of different senders in another order
    (an echo after the next block that it made possible), so the file is rewritten in time-stamp
    order whenever the recorder has caught up."""

    CAN_FRAME = struct.Struct("=IB3x8s")  # struct can_frame
    TIMEVAL = struct.Struct("=qq")
    SO_TIMESTAMP = getattr(socket, "SO_TIMESTAMP", 29)
    EFF_FLAG, RTR_FLAG = 0x80000000, 0x40000000

    def __init__(self, interface, path):
        self.interface = interface
        self.path = path
        self.frames = []  # ((seconds, microseconds), line)
        self.socket = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        self.socket.setsockopt(socket.SOL_SOCKET, self.SO_TIMESTAMP, 1)
        self.socket.bind((interface,))  # from here on nothing on the interface is missed
        open(path, "w", encoding="ascii").close()
        self.stopping = threading.Event()
        self.wanted = threading.Event()
        self.idle = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stopping.is_set():
            ready, _, _ = select.select([self.socket], [], [], 0.02)
            if ready:
                self.take()
            elif self.wanted.is_set():
                self.wanted.clear()
                self.write()
                self.idle.set()

    def take(self):
        raw, ancillary, _, _ = self.socket.recvmsg(self.CAN_FRAME.size,
                                                   socket.CMSG_SPACE(self.TIMEVAL.size))
        now = time.time()
        stamp = (int(now), int(now % 1 * 1e6))
        for level, kind, payload in ancillary:
            if level == socket.SOL_SOCKET and kind == self.SO_TIMESTAMP:
                stamp = self.TIMEVAL.unpack(payload[:self.TIMEVAL.size])
        can_id, length, data = self.CAN_FRAME.unpack(raw)
        if can_id & self.EFF_FLAG:
            name = f"{can_id & 0x1FFFFFFF:08X}"
        else:
            name = f"{can_id & 0x7FF:03X}"
        body = "R" if can_id & self.RTR_FLAG else data[:min(length, 8)].hex().upper()
        self.frames.append(
            (stamp, f"({stamp[0]}.{stamp[1]:06d}) {self.interface} {name}#{body}\n"))

    def write(self):
        self.frames.sort(key=lambda frame: frame[0])  # stable for frames stamped alike
        with open(self.path, "w", encoding="ascii") as handle:
            handle.writelines(line for _, line in self.frames)

    def catch_up(self):
        """Returns once every frame that has reached the socket is in the file."""
        self.idle.clear()
        self.wanted.set()
        self.idle.wait(5)

    def stop(self):
        self.catch_up()
        self.stopping.set()
        self.thread.join()
        self.socket.close()


def free_port():
    """A TCP port free on the loopback now; outside 29536..29543 (the kernel's ephemeral ports)."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class SlcanAdapter:
    """`canbus-host --slcan-pty` on the bus at `port`, joining it (or hosting it when nobody
    does), its terminal linked in the scenario's folder."""

    def __init__(self, binary, dialect, folder, port, join):
        answer, _, stamps = dialect.partition(":")
        self.link = os.path.join(folder, "slcan0")
        command = [binary, "--join" if join else "--port", str(port), "--slcan-pty", self.link,
                   "--slcan-answer", answer, "--slcan-time-stamps", stamps or "off"]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True, bufsize=1)
        self.output = ""
        # Blocking reads: it prints its lines at once, or ends.
        while "on 127.0.0.1" not in self.output:
            line = self.process.stdout.readline()
            if not line:
                self.process.kill()
                raise RuntimeError("canbus-host did not become ready:\n" + self.output)
            self.output += line

    def stop(self):
        self.process.terminate()
        self.output += self.process.communicate(timeout=10)[0]


class Sensor:
    """The simulated sensor, running in the background for the whole scenario."""

    def __init__(self, binary, options, folder, socketcan=None, port=None):
        self.flash_path = os.path.join(folder, "sensor-flash.bin")
        self.trace_path = os.path.join(folder, "bus-trace.log")
        self.recorder = None
        if socketcan:
            self.recorder = Recorder(socketcan, self.trace_path)
            command = [binary] + shlex.split(options) + [
                "--socketcan", socketcan, "--flash-out", self.flash_path]
        else:
            command = [binary] + shlex.split(options) + [
                "--flash-out", self.flash_path, "--trace", self.trace_path]
            if port:
                command += ["--port", str(port)]
        self.output = ""
        self.process = subprocess.Popen(
            command, cwd=folder, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, text=True, bufsize=1)
        deadline = time.monotonic() + READY_TIME_LIMIT_S
        while "ready" not in self.output:
            if not self.read_some(deadline - time.monotonic()):
                raise RuntimeError("sensor-sim did not become ready:\n" + self.output)

    def read_some(self, timeout):
        line = harness_support.read_line(self.process.stdout, timeout)
        self.output += line or ""
        return line is not None

    def drain(self, wait=0.05):
        while self.read_some(wait):
            pass
        if self.recorder:
            self.recorder.catch_up()

    def command(self, text):
        self.process.stdin.write(text + "\n")
        self.process.stdin.flush()
        time.sleep(0.1)  # let it act before the next step (a command has no reply)
        self.drain()

    def stop(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.write("quit\n")
                self.process.stdin.flush()
            except BrokenPipeError:
                pass
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        rest = self.process.stdout.read()
        if rest:
            self.output += rest
        if self.recorder:
            self.recorder.stop()


def trace_frames(path):
    frames = []
    with open(path, "r", encoding="ascii") as handle:
        for line in handle:
            fields = line.split()
            if len(fields) >= 3:
                frames.append(fields[2])
    return frames


def match_trace(expected, actual):
    """Ordered match of expected lines against the frames; "..." skips frames."""
    position = 0
    skipping = False
    for want in expected:
        if want == "...":
            skipping = True
            continue
        while True:
            if position >= len(actual):
                return f"frame {want} not found (bus had {len(actual)} frames)"
            got = actual[position]
            position += 1
            if fnmatch.fnmatchcase(got, want):
                skipping = False
                break
            if not skipping:
                return f"frame {position}: expected {want}, bus had {got}"
    if not skipping and position != len(actual):
        return f"{len(actual) - position} more frames than expected, first {actual[position]}"
    return None


def run_scenario(args, sections, folder):
    sensor = None
    adapter = None
    port = free_port() if args.slcan else None
    environment = None
    last_stdout = None
    failures = []
    try:
        for section in sections:
            name, arg = section["name"], section["arg"]
            if name == "file":
                make_file(folder, arg)
            elif name == "sensor":
                sensor = Sensor(args.sensor, arg, folder, args.socketcan, port)
            elif name == "sensor-command":
                sensor.command(arg)
            elif name in ("run", "run-eof"):
                if sensor:
                    sensor.drain(0)
                if args.slcan and not adapter:
                    adapter = SlcanAdapter(args.canbus_host, args.slcan, folder, port,
                                           sensor is not None)
                    environment = dict(os.environ, KORVANE_SLCAN_PORTS=adapter.link)
                    if args.slcan_com:
                        environment.update(KORVANE_SLCAN_PORTS=args.slcan_com,
                                           KORVANE_WINE_SERIAL=f"{args.slcan_com}={adapter.link}")
                command = shlex.split(args.wrapper) + [args.loader] + shlex.split(arg)
                started = time.monotonic()
                try:
                    result = subprocess.run(
                        command, cwd=folder, input=b"\n" if name == "run" else b"",
                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                        timeout=RUN_TIME_LIMIT_S, env=environment)
                except subprocess.TimeoutExpired:
                    failures.append(f"run '{arg}' did not end within {RUN_TIME_LIMIT_S} s")
                    return failures
                elapsed = time.monotonic() - started
                last_stdout = result.stdout.decode("latin-1")
                print(f"--- run: {arg}  ({elapsed:.2f} s, exit {result.returncode})")
                print(show(last_stdout), end="")
                if result.stderr:
                    print("--- its stderr:\n" + result.stderr.decode("latin-1"), end="")
                if result.returncode != 0:
                    failures.append(f"run '{arg}' exited with {result.returncode}, not 0")
                if sensor:
                    sensor.drain()
            elif name == "stdout":
                want = expected_stdout(section["body"])
                if args.crlf:
                    want = want.replace("\n", "\r\n")
                if last_stdout != want:
                    failures.append("stdout differs from the expected text:\n" +
                                    first_difference(want, last_stdout))
            elif name == "flash":
                sensor.command(f"flash {sensor.flash_path}")
                with open(os.path.join(folder, arg), "rb") as handle:
                    image = handle.read()
                with open(sensor.flash_path, "rb") as handle:
                    flash = handle.read()
                if flash != image:
                    failures.append(f"flash ({len(flash)} bytes) differs from {arg} "
                                    f"({len(image)} bytes)")
            elif name == "trace":
                sensor.drain()
                want = [line.strip() for line in section["body"]
                        if line.strip() and not line.startswith("#")]
                problem = match_trace(want, trace_frames(sensor.trace_path))
                if problem:
                    failures.append("bus trace: " + problem)
            elif name == "sensor-says":
                sensor.drain()
                if arg not in sensor.output:
                    failures.append(f"sensor-sim never said {arg!r}")
            else:
                failures.append(f"unknown section [{name}]")
    finally:
        if adapter:
            adapter.stop()
            print("--- canbus-host (slcan adapter) said:\n" + adapter.output, end="")
        if sensor:
            sensor.stop()
            print("--- sensor-sim said:\n" + sensor.output, end="")
            if os.path.exists(sensor.trace_path):
                print(f"--- bus trace: {len(trace_frames(sensor.trace_path))} frames")
    return failures


def first_difference(want, got):
    if got is None:
        return "  (no run before this section)"
    index = next((i for i, (a, b) in enumerate(zip(want, got)) if a != b),
                 min(len(want), len(got)))
    line = want.count("\n", 0, index) + 1
    return (f"  first difference at byte {index} (line {line}):\n"
            f"  expected: {show(want[max(0, index - 40):index + 40])!r}\n"
            f"  printed:  {show(got[max(0, index - 40):index + 40])!r}")


def in_own_network(argv):
    """Re-runs this script in a network namespace of its own, when possible."""
    if os.environ.get("KORVANE_SCENARIO_SHARED_NET"):
        return None
    return harness_support.rerun_in_own_network(argv[0], argv[1:], "KORVANE_SCENARIO_NETNS")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("scenario")
    parser.add_argument("--loader", required=True, help="the korvane-loader program")
    parser.add_argument("--sensor", help="the sensor-sim program")
    parser.add_argument("--wrapper", default="", help="command to run the loader under")
    parser.add_argument("--crlf", action="store_true", help="expect CR LF line ends")
    parser.add_argument("--keep", action="store_true", help="keep the working folder")
    parser.add_argument("--socketcan", metavar="IFACE",
                        help="run sensor-sim on this kernel CAN interface instead of a bus of "
                             "its own, and record the trace there")
    parser.add_argument("--slcan", metavar="ANSWER:STAMPS",
                        help="reach the bus through an SLCAN adapter of canbus-host with this "
                             "dialect, e.g. z:always, cr:on, none:off")
    parser.add_argument("--canbus-host", help="the canbus-host program (for --slcan)")
    parser.add_argument("--slcan-com", metavar="COMn",
                        help="with --slcan under wine: the COM port the adapter appears as")
    args = parser.parse_args()

    if not args.socketcan:
        code = in_own_network([os.path.abspath(sys.argv[0])] + sys.argv[1:])
        if code is not None:
            return code

    sections = parse_scenario(args.scenario)
    if any(s["name"] == "sensor" for s in sections) and not args.sensor:
        print("SKIPPED: this scenario needs --sensor")
        return SKIP
    folder = tempfile.mkdtemp(prefix="korvane-scenario-")
    try:
        failures = run_scenario(args, sections, folder)
    finally:
        if args.keep:
            print(f"--- working folder kept: {folder}")
        else:
            shutil.rmtree(folder, ignore_errors=True)
    for failure in failures:
        print("FAILED: " + failure)
    if not failures:
        print("PASSED")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
