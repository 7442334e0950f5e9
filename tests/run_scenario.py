#!/usr/bin/env python3
"""Runs one console scenario of korvane-loader and compares what it printed, byte for byte.

A scenario file is a list of sections, each opened by a line "[name] arguments":

    # a comment (a line that begins with "#", anywhere)
    [file] NAME KIND ...    a file to create first, in the scenario's own working folder:
                            "pattern N" (N bytes 0x01, 0x02, ... wrapping), "size N" (N zero
                            bytes), "text STRING", "dir" (a folder), "sparse N" (a sparse file)
    [sensor] OPTIONS        start sensor-sim with these options (hosts its own bus) and wait until
                            it is ready; --flash-out and --trace are added by the runner; each
                            [sensor] starts one more (the first is sensor 0)
    [sensor-command] TEXT   send one command line to the running simulator (e.g. power-cycle)
    [run] ARGUMENTS         run the tool with these arguments and "\n" on standard input
    [run-eof] ARGUMENTS     the same with an empty standard input
    [stdout]                the exact output of the run before it; "<CR>" stands for a carriage
                            return, every line ends with a line feed
    [stderr]                the exact standard error of the run before it (CR LF taken as LF)
    [stderr-has]            each line must match a line of the run's standard error ("*" and
                            "?" as in file names)
    [flash] NAME [K]        the simulated flash (of sensor K, default 0) must equal this file,
                            byte for byte
    [trace]                 the frames on the bus in order, one "ID#DATA" per line (candump
                            notation, without time stamps; "*" and "?" match like file names);
                            "..." alone on a line skips any frames up to the next line that matches
    [sensor-says] TEXT      the simulator's output must contain this text

With --station PROGRAM, korvane-station runs too (the loader's folder first on PATH):

    [station] ARGUMENTS     run it with these arguments
    [station-interrupt] ARGUMENTS  the same, with SIGINT sent to it (Ctrl-C) once a load streams
    [station-hangup] ARGUMENTS  the same, with SIGHUP sent to it and its loaders (a terminal's
                            hang-up reaches its whole group) once a load streams
    [station-sigchld-ignored] ARGUMENTS  the same, started with SIGCHLD ignored
    [station-terminal] COLSxROWS ARGUMENTS  the same on a pseudo terminal of that size (the live
                            lines); every line drawn must fit in COLS - 1 columns
    [station-change-image] FILE ARGUMENTS  the same; once a load streams, FILE grows by 8 bytes
                            (cut back to its size when the run has ended)
    [exit] N                the exit status of the run before it must be N
    [stdout-has]            each line must match a line of the run's output ("*" and "?" as in
                            file names; CR LF taken as LF)
    [records] FILE IMAGE    the station's record file: it still begins with what it held at the
                            previous [records] (or as [file] made it); each line of the body,
                            "field=JSON-value ...", is one record appended since (matched by
                            device), and every new record has exactly the fields of a record,
                            IMAGE's size and SHA-256, and the loader's whole console

Arguments are split like a POSIX shell does (shlex). Each run has a time limit as a safety net;
a run that hits it fails the scenario. Exit status: 0 passed, 1 failed, 77 skipped.

When run as root where `unshare -n` works, the scenario runs in a network namespace of its own, so
that buses of scenarios running in parallel (and of anyone else on this machine) are never seen.

With --socketcan IFACE the same scenario runs on a kernel CAN interface instead (the VM tier,
tests/vm): sensor-sim serves on IFACE (its --socketcan option) rather than hosting a bus, and the
runner records the trace itself with a CAN_RAW socket on IFACE, in candump's log format. The tool
must then find IFACE as its only CAN device. No network namespace is used in this mode.

With --gs-usb HELPER (the VM tier) the tool reaches the bus through a gs_usb adapter that
`canbus-host --gs-usb-gadget` plays on dummy_hcd (HELPER is tests/vm/gs_usb_gadget.sh): as with
--slcan, sensor-sim hosts its bus on a port of its own and the adapter joins it; the tool must find
the adapter as its only CAN device. No network namespace is used in this mode.

With --slcan ANSWER:STAMPS the tool reaches the bus through a serial-line CAN adapter: sensor-sim
hosts its bus on a port outside the range the CAN library looks at, `canbus-host --join` puts an
SLCAN adapter on a pseudo terminal on that bus (ANSWER and STAMPS are its --slcan-answer and
--slcan-time-stamps; ANSWER silent: an adapter that answers no command), and the tool runs with
KORVANE_SLCAN_PORTS naming that terminal, its only CAN device. With --slcan-com COMn as well
(the Windows tier), the tool names the port COMn, and wine-run.sh maps COMn to that terminal in the wine prefix (KORVANE_WINE_SERIAL).

With --gs-usb-standin FAULT (the Windows tier) the tool reaches the bus through the stand-in
winusb.dll beside it (tests/windows/standin_winusb.cpp), which joins the bus that sensor-sim hosts
on a port of its own (KORVANE_STANDIN_GS_USB_BUS); FAULT is its KORVANE_STANDIN_GS_USB_FAULT
("none", or "pull:ID": pulled out at the first frame to that CAN identifier).

With --library-standin KIND:FOLDER:FAULT (pcan, kvaser) the tool reaches the bus through the
stand-in of a maker's library in FOLDER (tests/vendor/; on LD_LIBRARY_PATH, or beside the exe),
joined to sensor-sim's bus on a port of its own; FAULT is its KORVANE_STANDIN_<KIND>_FAULT.
"""

import argparse
import fcntl
import fnmatch
import hashlib
import json
import os
import pty
import re
import select
import shlex
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
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
        elif kind == "line":
            handle.write(parts[2].encode() + b"\n")
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
                                        stderr=subprocess.STDOUT, text=True, bufsize=1,
                                        preexec_fn=harness_support.as_hardware)
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


class GsUsbAdapter:
    """The gs_usb gadget (tests/vm/gs_usb_gadget.sh) on the bus at `port`, joining it (or hosting
    it when nobody does), plugged in until stop()."""

    def __init__(self, helper, binary, folder, port, join):
        self.helper = helper
        self.log = os.path.join(folder, "gadget.log")
        result = subprocess.run([helper, "up", self.log, binary, "--join" if join else "--port",
                                 str(port)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True, timeout=30)
        self.pid = result.stdout.split()[0] if result.stdout.split() else ""
        self.output = result.stdout if result.returncode != 0 else ""
        if result.returncode != 0:
            self.stop()
            raise RuntimeError("the gs_usb gadget did not come up:\n" + self.output)

    def stop(self):
        subprocess.run([self.helper, "down", self.pid], timeout=30)
        with open(self.log, encoding="latin-1") as handle:
            self.output += handle.read()


class Sensor:
    """The simulated sensor, running in the background for the whole scenario."""

    def __init__(self, binary, options, folder, socketcan=None, port=None, wrapper="", index=0,
                 hardware=False):
        suffix = f"-{index}" if index else ""
        self.flash_path = os.path.join(folder, f"sensor-flash{suffix}.bin")
        self.trace_path = os.path.join(folder, f"bus-trace{suffix}.log")
        self.recorder = None
        if socketcan:
            self.recorder = Recorder(socketcan, self.trace_path)
            command = [binary] + shlex.split(options) + [
                "--socketcan", socketcan, "--flash-out", self.flash_path]
        else:
            command = shlex.split(wrapper) + [binary] + shlex.split(options) + [
                "--flash-out", self.flash_path, "--trace", self.trace_path]
            if port:
                command += ["--port", str(port)]
        self.output = ""
        self.process = subprocess.Popen(
            command, cwd=folder, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, text=True, bufsize=1,
            preexec_fn=harness_support.as_hardware if hardware else None)
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
            if len(fields) >= 3 and line.endswith("\n"):  # not a line still being written
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


RECORD_FIELDS = ["started", "ended", "device", "address", "image", "image_size", "image_sha256",
                 "image_changed",
                 "result", "meaning", "port_error", "bytes_acknowledged", "seconds", "rebooted",
                 "loader_version", "console"]
TIME_PATTERN = "[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]T[0-9][0-9]:[0-9][0-9]:[0-9][0-9].[0-9][0-9][0-9]Z"


STATION_MODES = {"station": None, "station-interrupt": "interrupt", "station-hangup": "hangup",
                 "station-sigchld-ignored": "sigchld-ignored", "station-terminal": "terminal",
                 "station-change-image": "change-image"}
ESCAPE = re.compile(rb"\x1b\[[0-9;]*[A-Za-z]")


def run_station(args, arg, folder, mode):
    """Runs korvane-station in a mode of STATION_MODES; returns its output, exit status and what
    is wrong with how it drew on the terminal (terminal mode)."""
    environment = dict(os.environ, PATH=os.path.dirname(os.path.abspath(args.loader)) +
                       os.pathsep + os.environ.get("PATH", ""))
    columns = rows = 0
    if mode == "terminal":
        size, _, arg = arg.partition(" ")
        columns, rows = (int(n) for n in size.split("x"))
    changed_image = None
    if mode == "change-image":
        changed_image, _, arg = arg.partition(" ")
        changed_image = os.path.join(folder, changed_image)
        original_size = os.path.getsize(changed_image)
    command = shlex.split(args.wrapper) + [args.station] + shlex.split(arg)
    terminal = None
    if mode == "terminal":
        terminal, other_end = pty.openpty()
        fcntl.ioctl(other_end, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
        process = subprocess.Popen(command, cwd=folder, stdin=subprocess.DEVNULL,
                                   stdout=other_end, stderr=other_end, env=environment,
                                   start_new_session=True)
        os.close(other_end)
        source = terminal
    else:
        ignore_sigchld = (lambda: signal.signal(signal.SIGCHLD, signal.SIG_IGN)) \
            if mode == "sigchld-ignored" else None
        process = subprocess.Popen(command, cwd=folder, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                   env=environment, preexec_fn=ignore_sigchld,
                                   start_new_session=mode == "hangup")
        source = process.stdout.fileno()
    output = b""
    deadline = time.monotonic() + RUN_TIME_LIMIT_S
    sent = False
    while time.monotonic() < deadline:
        if not select.select([source], [], [], 0.5)[0]:
            continue
        try:
            data = os.read(source, 65536)
        except OSError:  # EIO: the terminal's other end is closed
            data = b""
        if not data:
            break
        output += data
        if mode in ("interrupt", "hangup", "change-image") and not sent and b": sending" in output:
            if mode == "interrupt":
                process.send_signal(signal.SIGINT)
            elif mode == "hangup":  # a hang-up reaches the whole group on the terminal
                os.killpg(process.pid, signal.SIGHUP)
            else:
                with open(changed_image, "ab") as handle:
                    handle.write(bytes(8))
            sent = True
    else:
        process.kill()
    if terminal is None:
        process.stdout.close()
    else:
        os.close(terminal)
    code = process.wait()
    if changed_image:  # as it was, for the checks of the records that follow
        os.truncate(changed_image, original_size)
    if mode in ("interrupt", "hangup", "change-image") and not sent:
        output += b"\n(runner: no load streamed, so no signal was sent)\n"
    problems = []
    if mode == "terminal":
        for line in output.replace(b"\r\n", b"\n").split(b"\n"):
            shown = ESCAPE.sub(b"", line).replace(b"\r", b"")
            if b"\x1b[2K" in line and len(shown) >= columns:  # a live line
                problems.append(f"a line of {len(shown)} characters on a terminal of {columns} "
                                f"columns: {shown[:60]!r}")
    return output.decode("utf-8", "replace"), code, problems


def check_records(arg, body, folder, earlier):
    """The records appended since `earlier` (the file's content then) against the body."""
    name, image_name = shlex.split(arg)
    with open(os.path.join(folder, name), "rb") as handle:
        content = handle.read()
    with open(os.path.join(folder, image_name), "rb") as handle:
        image = handle.read()
    failures = []
    if not content.startswith(earlier):
        return content, [f"{name} no longer begins with what it held before"]
    records = {}
    for line in content[len(earlier):].decode("utf-8").splitlines():
        record = json.loads(line)
        if list(record) != RECORD_FIELDS:
            failures.append(f"record fields {list(record)}")
        for field, want in (("image", image_name), ("image_size", len(image)),
                            ("image_sha256", hashlib.sha256(image).hexdigest())):
            if record.get(field) != want:
                failures.append(f"{record.get('device')}: {field} {record.get(field)!r}")
        if not all(fnmatch.fnmatchcase(str(record.get(f)), TIME_PATTERN)
                   for f in ("started", "ended")) or not record["started"] <= record["ended"]:
            failures.append(f"{record.get('device')}: times {record.get('started')} "
                            f"{record.get('ended')}")
        console = str(record.get("console"))
        if not console.startswith("Korvane Algorithm Demo") or "\r" in console or \
                console.count("Sending data:") > 1:
            failures.append(f"{record.get('device')}: console {record.get('console')!r:.60}")
        records[record.get("device")] = record
    wanted = [{key: json.loads(value) for key, value in
               re.findall(r'(\w+)=("(?:[^"\\]|\\.)*"|\S+)', line)} for line in body if line.strip()]
    if len(records) != len(wanted):
        failures.append(f"{len(records)} new records, not {len(wanted)}")
    for want in wanted:
        record = records.get(want.get("device"), {})
        for field, value in want.items():
            if record.get(field, "(none)") != value:
                failures.append(f"{want.get('device')}: {field} is {record.get(field, '(none)')!r}"
                                f", not {value!r}")
    return content, failures


def run_scenario(args, sections, folder):
    sensor = None
    sensors = []
    records_before = {}
    last_code = None
    adapter = None
    port = free_port() if (args.slcan or args.gs_usb or args.gs_usb_standin or
                           args.library_standin) else None
    environment = None
    if args.library_standin:
        kind, folder_of_library, fault = args.library_standin.split(":", 2)
        environment = dict(os.environ, LD_LIBRARY_PATH=folder_of_library,
                           **{f"KORVANE_STANDIN_{kind.upper()}_BUS": str(port),
                              f"KORVANE_STANDIN_{kind.upper()}_FAULT": fault})
    if args.gs_usb_standin:
        environment = dict(os.environ, KORVANE_STANDIN_GS_USB_BUS=str(port),
                           KORVANE_STANDIN_GS_USB_FAULT=args.gs_usb_standin)
    last_stdout = None
    last_stderr = None
    failures = []
    try:
        for section in sections:
            name, arg = section["name"], section["arg"]
            if name == "file":
                make_file(folder, arg)
                made = os.path.join(folder, shlex.split(arg)[0])
                if os.path.isfile(made) and "line" in shlex.split(arg)[1:2]:
                    with open(made, "rb") as handle:  # a record file with earlier lines
                        records_before[shlex.split(arg)[0]] = handle.read()
            elif name == "sensor":
                sensors.append(Sensor(args.sensor, arg, folder, args.socketcan, port,
                                      args.sensor_wrapper, len(sensors),
                                      hardware=bool(args.slcan)))
                sensor = sensors[0]
            elif name in STATION_MODES:
                started = time.monotonic()
                last_stdout, last_code, problems = run_station(args, arg, folder,
                                                               STATION_MODES[name])
                failures += problems
                print(f"--- station: {arg}  ({time.monotonic() - started:.2f} s, "
                      f"exit {last_code})")
                print(last_stdout, end="")
            elif name == "exit":
                if last_code != int(arg):
                    failures.append(f"exit status {last_code}, not {arg}")
            elif name == "stdout-has":
                lines = (last_stdout or "").replace("\r\n", "\n").split("\n")
                for want in section["body"]:
                    if not any(fnmatch.fnmatchcase(line, want) for line in lines):
                        failures.append(f"no line of the output matches {want!r}")
            elif name == "stderr":
                want = "".join(line + "\n" for line in section["body"])
                if last_stderr != want:
                    failures.append("stderr differs from the expected text:\n" +
                                    first_difference(want, last_stderr))
            elif name == "stderr-has":
                lines = (last_stderr or "").split("\n")
                for want in section["body"]:
                    if not any(fnmatch.fnmatchcase(line, want) for line in lines):
                        failures.append(f"no line of stderr matches {want!r}")
            elif name == "records":
                file_name = shlex.split(arg)[0]
                records_before[file_name], problems = check_records(
                    arg, section["body"], folder, records_before.get(file_name, b""))
                failures += problems
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
                if args.gs_usb and not adapter:
                    adapter = GsUsbAdapter(args.gs_usb, args.canbus_host, folder, port,
                                           sensor is not None)
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
                last_stderr = result.stderr.decode("latin-1").replace("\r\n", "\n")
                print(f"--- run: {arg}  ({elapsed:.2f} s, exit {result.returncode})")
                print(show(last_stdout), end="")
                if result.stderr:
                    print("--- its stderr:\n" + result.stderr.decode("latin-1"), end="")
                if result.returncode != 0:
                    failures.append(f"run '{arg}' exited with {result.returncode}, not 0")
                for each in sensors:
                    each.drain()
            elif name == "stdout":
                want = expected_stdout(section["body"])
                if args.crlf:
                    want = want.replace("\n", "\r\n")
                if last_stdout != want:
                    failures.append("stdout differs from the expected text:\n" +
                                    first_difference(want, last_stdout))
            elif name == "flash":
                arg, _, index = arg.partition(" ")
                sensor = sensors[int(index or 0)]
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
                # The bus host writes its trace out within 100 ms of a frame (at once when the
                # tool's connection ends): give it that time before calling a frame missing.
                deadline = time.monotonic() + 2
                problem = match_trace(want, trace_frames(sensor.trace_path))
                while problem and time.monotonic() < deadline:
                    time.sleep(0.05)
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
            print("--- canbus-host (adapter) said:\n" + adapter.output, end="")
        for index, each in enumerate(sensors):
            each.stop()
            print(f"--- sensor-sim{f' {index}' if index else ''} said:\n" + each.output, end="")
            if os.path.exists(each.trace_path):
                print(f"--- bus trace: {len(trace_frames(each.trace_path))} frames")
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
    parser.add_argument("--sensor-wrapper", default="",
                        help="command to run sensor-sim under (a Windows sensor-sim.exe: wine)")
    parser.add_argument("--crlf", action="store_true", help="expect CR LF line ends")
    parser.add_argument("--keep", action="store_true", help="keep the working folder")
    parser.add_argument("--socketcan", metavar="IFACE",
                        help="run sensor-sim on this kernel CAN interface instead of a bus of "
                             "its own, and record the trace there")
    parser.add_argument("--slcan", metavar="ANSWER:STAMPS",
                        help="reach the bus through an SLCAN adapter of canbus-host with this "
                             "dialect, e.g. z:always, cr:on, none:off, silent:on (no command "
                             "answered)")
    parser.add_argument("--gs-usb", metavar="HELPER",
                        help="reach the bus through canbus-host's gs_usb gadget, plugged in by "
                             "HELPER (tests/vm/gs_usb_gadget.sh; in the VM, as root)")
    parser.add_argument("--canbus-host", help="the canbus-host program (for --slcan, --gs-usb)")
    parser.add_argument("--station", help="the korvane-station program")
    parser.add_argument("--slcan-com", metavar="COMn",
                        help="with --slcan under wine: the COM port the adapter appears as")
    parser.add_argument("--gs-usb-standin", metavar="FAULT",
                        help="under wine: reach the bus through the stand-in winusb.dll, with "
                             "this fault (none, pull:ID)")
    parser.add_argument("--library-standin", metavar="KIND:FOLDER:FAULT",
                        help="reach the bus through the stand-in of an adapter maker's library "
                             "(pcan, kvaser) in FOLDER, with this fault (none, ...)")
    args = parser.parse_args()

    if not args.socketcan and not args.gs_usb:
        code = in_own_network([os.path.abspath(sys.argv[0])] + sys.argv[1:])
        if code is not None:
            return code

    sections = parse_scenario(args.scenario)
    if any(s["name"] == "sensor" for s in sections) and not args.sensor:
        print("SKIPPED: this scenario needs --sensor")
        return SKIP
    if any(s["name"].startswith("station") for s in sections) and not args.station:
        print("SKIPPED: this scenario needs --station")
        return SKIP
    # Through an SLCAN stand-in, a run that failed while the kernel's terminal hand-over was
    # later than half the tool's 100-ms wait for a command's answer (a round crosses the terminal
    # twice) runs again, up to twice: the scenario passes only if one run passes every check.
    for attempt in range(3):
        lateness = harness_support.PtyLateness() if args.slcan else None
        folder = tempfile.mkdtemp(prefix="korvane-scenario-")
        try:
            failures = run_scenario(args, sections, folder)
        finally:
            if args.keep:
                print(f"--- working folder kept: {folder}")
            else:
                shutil.rmtree(folder, ignore_errors=True)
        if lateness is None:
            break
        worst_ms = lateness.stop() * 1000
        print(f"--- the kernel handed bytes across a terminal at most {worst_ms:.0f} ms late")
        if not failures or worst_ms < harness_support.PTY_LATE_MS or attempt == 2:
            break
        for failure in failures:
            print("FAILED (a late kernel, so once more): " + failure)
    for failure in failures:
        print("FAILED: " + failure)
    if not failures:
        print("PASSED")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
