#!/usr/bin/env python3
"""A lost adapter: the bus host goes away in the middle of each stage of a load.

    lost_adapter.py --loader LOADER --sensor SENSOR_SIM [--host CANBUS_HOST] [--only NAME...]

Three ways to lose it:

  proxy  The tool reaches the bus through a relay of the virtual bus protocol on the first bus
         port; sensor-sim hosts the real bus behind it on another port. The relay watches the
         tool's frames and, at a chosen frame (the stage's request, before the sensor sees it),
         "kill"s the host (sensor-sim is killed and the tool's connection closed: the adapter is
         gone), or "freeze"s it (the connection stays open, nothing passes any more: an adapter
         that hangs). The point is exact, so every case has one right answer.
  kill   The tool talks to sensor-sim directly, and sensor-sim (the bus host) is killed when the
         tool prints the stage's line; the stage is made long enough (slow erase, slow boot, a
         big image) that the kill lands inside it.
  pulled The tool reaches the bus through a serial-line CAN adapter (`canbus-host --slcan-pty`,
         named in KORVANE_SLCAN_PORTS; sensor-sim's bus is on a port the library does not look
         at), and the adapter is pulled out (SIGUSR1: the pseudo terminal closes) when the tool
         prints the stage's line, as with "kill". Needs --host.

In every case the tool must print the failure line with the code of the stage it reached, and
end through the clean-up, with exit code 0, within the time limit that guards against a hang;
no success line, no crash, no sanitizer report. When the host was killed, the library must
have said on stderr that the connection was lost. Runs in a network namespace of its own.
"""

import argparse
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

BUS_PORT = 29536  # the first port the CAN library looks at: the tool's only device
HIDDEN_PORT = 29600  # outside the ports the library looks at

V = "00FFF2B1#56"


class Watch:
    """What the relay has seen so far, for triggers that depend on it."""

    def __init__(self):
        self.sent = []  # the tool's frames, "ID#DATA", the one being judged included
        self.bootloader_answered = False


def nth(identifier, n):
    return lambda frame, watch: (frame.startswith(identifier + "#") and
                                 sum(f.startswith(identifier + "#") for f in watch.sent) == n)


def is_frame(text):
    return lambda frame, watch: frame == text


def prefix(text):
    return lambda frame, watch: frame.startswith(text)


def v_after_start(n):
    def trigger(frame, watch):
        if frame != V or not any(f.startswith("18EFC300#F0FF") for f in watch.sent):
            return False
        start = max(i for i, f in enumerate(watch.sent) if f.startswith("18EFC300#F0FF"))
        return sum(f == V for f in watch.sent[start:]) == n
    return trigger


def version_query(frame, watch):
    return frame == V and watch.bootloader_answered


# name, trigger (on the tool's frame, before it is passed on), delay after it (s), the stage the
# tool must fail in and the code it must give.
PROXY_CASES = [
    ("claim software", is_frame("18EEFF00#0000603700000080"), 0, "check sensor", -1),
    ("claim bootloader", is_frame("18EEFFB1#0000000000000080"), 0, "check sensor", -1),
    ("flush", is_frame("18EEFFB1#0000000000000080"), 0.24, "check sensor", -1),
    ("check bootloader", nth("00FFF2B1", 1), 0, "check sensor", -1),
    ("check sensor", prefix("18EFC300#E014"), 0, "check sensor", -1),
    ("start bootloader", prefix("18EFC300#F0FF"), 0, "start bootloader", -4),
    ("wait for bootloader", v_after_start(3), 0, "start bootloader", -4),
    ("version", version_query, 0, "version", -4),
    ("erase 1", is_frame("00FFF2B1#4508010000"), 0, "erase 1", -5),
    ("erase 2", is_frame("00FFF2B1#4508020000"), 0, "erase 2", -5),
    ("begin", is_frame("00FFF2B1#424F4F545F424547"), 0, "begin", -6),
    ("stream", nth("00FFFFB1", 3), 0, "stream", -7),
    ("closing block", is_frame("00FFFFB1#0000000000000000"), 0, "stream", -7),
    ("end", is_frame("00FFF2B1#424F4F545F454E44"), 0, "end", -8),
]

# name, sensor-sim options that make the stage long, the stage line at which the host is killed,
# the image size, the stage the tool must fail in and its code.
KILL_CASES = [
    ("claim software", [], "Claim address for this software.", 64, "check sensor", -1),
    ("start bootloader", ["--boot-delay-ms", "3000"], "Starting bootloader.", 64,
     "start bootloader", -4),
    ("erase 1", ["--erase-ms", "1500"], "Erasing sector 1.", 64, "erase 1", -5),
    ("stream", [], "Sending data: 0 of", 65536, "stream", -7),
]

SEND = re.compile(r"<\s*send\s+([0-9A-Fa-f]+)\s+([0-9A-Fa-f])((?:\s+[0-9A-Fa-f]{1,2})*)\s*>")
FRAME = re.compile(r"<\s*frame\s+([0-9A-Fa-f]+)\s+\S+\s*([0-9A-Fa-f]*)\s*>")


def frame_text(identifier, data):
    value = int(identifier, 16)
    name = f"{value:08X}" if value > 0x7FF or len(identifier) == 8 else f"{value:03X}"
    return f"{name}#{data.upper()}"


class Relay:
    """The bus as the tool sees it: a relay on BUS_PORT to the host on HIDDEN_PORT."""

    def __init__(self, trigger, delay, mode, sim):
        self.trigger, self.delay, self.mode, self.sim = trigger, delay, mode, sim
        self.watch = Watch()
        self.lock = threading.Lock()
        self.cut = threading.Event()
        self.cut_at = None
        self.sockets = []
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", BUS_PORT))
        self.listener.listen(8)
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while not self.cut.is_set():
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            upstream = socket.create_connection(("127.0.0.1", HIDDEN_PORT))
            with self.lock:
                self.sockets += [client, upstream]
            threading.Thread(target=self.pump, args=(client, upstream, True), daemon=True).start()
            threading.Thread(target=self.pump, args=(upstream, client, False),
                             daemon=True).start()

    def pump(self, source, destination, from_tool):
        pending = ""
        while True:
            try:
                data = source.recv(65536)
            except OSError:
                data = b""
            if not data:
                if not self.cut.is_set():
                    try:
                        destination.shutdown(socket.SHUT_WR)
                    except OSError:
                        pass
                return
            if self.cut.is_set():
                continue  # frozen: everything is swallowed
            text = pending + data.decode("latin-1")
            out, pending = self.filter(text, from_tool)
            if out and not self.cut.is_set():
                try:
                    destination.sendall(out.encode("latin-1"))
                except OSError:
                    return

    def filter(self, text, from_tool):
        """Passes whole elements on until the trigger; the rest waits for its ">"."""
        passed = []
        while ">" in text:
            element, text = text.split(">", 1)
            element += ">"
            match = (SEND if from_tool else FRAME).search(element)
            if match and from_tool:
                data = "".join(f"{int(b, 16):02X}" for b in match.group(3).split())
                frame = frame_text(match.group(1), data)
                with self.lock:
                    self.watch.sent.append(frame)
                    fire = self.trigger(frame, self.watch) and self.cut_at is None
                if fire:
                    self.cut_at = frame
                    if self.delay == 0:
                        self.do_cut()
                        return "".join(passed), ""
                    passed.append(element)
                    threading.Timer(self.delay, self.do_cut).start()
                    continue
            elif match and match.group(1).upper().lstrip("0") == "FFF2B1":
                self.watch.bootloader_answered = True
            passed.append(element)
        return "".join(passed), text

    def do_cut(self):
        self.cut.set()
        if self.mode == "kill":
            # The connections drop first, at once: killing the simulator may take a while on a
            # busy machine, and meanwhile the tool must not merely see silence.
            with self.lock:
                for s in self.sockets:
                    try:
                        s.shutdown(socket.SHUT_RDWR)
                    except OSError:
                        pass
                    s.close()
            self.close_listener()
            self.sim.kill()

    def close_listener(self):
        # shutdown() wakes the accept() that waits on it; close() alone would leave it listening.
        try:
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.listener.close()

    def close(self):
        self.cut.set()
        self.close_listener()
        with self.lock:
            for s in self.sockets:
                s.close()


# The same cases with the serial-line adapter pulled out instead.
PULL_CASES = [case for case in KILL_CASES if case[0] in ("erase 1", "stream")]


def check(run, stage, code, host_killed):
    problems = run.problems()
    if run.timed_out:
        return problems
    if run.success:
        problems.append("printed SUCCESS")
    if run.code != code:
        problems.append(f"error code {run.code}, expected {code}")
    if run.stage != stage:
        problems.append(f"failed in stage '{run.stage}', expected '{stage}'")
    if host_killed is True and not run.connection_lost:
        problems.append("the library did not report the lost connection on stderr")
    elif isinstance(host_killed, str) and host_killed not in run.stderr:
        problems.append(f"the library did not name the lost port {host_killed} on stderr")
    return problems


def run_proxy_case(args, folder, image, case, mode):
    name, trigger, delay, stage, code = case
    sim = harness.Sim(args.sensor, ["--port", str(HIDDEN_PORT), "--bus-name", "sim0",
                                    "--boot-delay-ms", "1000", "--erase-ms", "50"], folder)
    relay = Relay(trigger, delay, mode, sim)
    try:
        run = harness.run_loader(args.loader, [image], folder)
    finally:
        relay.close()
        sim.stop()
    problems = check(run, stage, code, mode == "kill")
    if relay.cut_at is None:
        problems.append("the trigger frame never came")
    return run, problems


def start_adapter(host, folder):
    """`canbus-host --slcan-pty` on the bus of HIDDEN_PORT; returns it and its terminal."""
    link = os.path.join(folder, "slcan0")
    adapter = subprocess.Popen([os.path.abspath(host), "--join", str(HIDDEN_PORT),
                                "--slcan-pty", link], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True,
                               preexec_fn=harness.harness_support.as_hardware)
    while "joined" not in (adapter.stdout.readline() or "joined"):
        pass
    return adapter, link


def run_kill_case(args, folder, case, pull=False):
    name, options, line, size, stage, code = case
    image = os.path.join(folder, f"image{size}.bin")
    with open(image, "wb") as handle:
        handle.write(bytes((i * 7 + 1) % 251 + 1 for i in range(size)))
    sim = harness.Sim(args.sensor, ["--port", str(HIDDEN_PORT if pull else BUS_PORT)] + options,
                      folder, hardware=pull)
    adapter, link = start_adapter(args.host, folder) if pull else (None, None)
    command = [os.path.abspath(args.loader), image]
    started = time.monotonic()
    process = subprocess.Popen(command, cwd=folder, stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env=dict(os.environ, KORVANE_SLCAN_PORTS=link) if pull else None)
    process.stdin.write(b"\n")  # the Enter for the end, read only then
    process.stdin.close()
    process.stdin = None
    stdout = b""
    killed = False
    deadline = started + harness.RUN_TIME_LIMIT_S
    while time.monotonic() < deadline:
        ready, _, _ = select.select([process.stdout], [], [], 0.5)
        if ready:
            chunk = os.read(process.stdout.fileno(), 65536)
            if not chunk:
                break
            stdout += chunk
            if not killed and line.encode() in stdout:
                if adapter:
                    adapter.send_signal(signal.SIGUSR1)
                else:
                    sim.kill()
                killed = True
    timed_out = process.poll() is None and time.monotonic() >= deadline
    try:
        rest, stderr = process.communicate(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        rest, stderr = process.communicate()
        timed_out = True
    sim.stop()
    if adapter:
        adapter.terminate()
        adapter.wait(timeout=10)
    run = harness.Run((stdout + rest).decode("latin-1"), stderr.decode("latin-1"),
                      process.returncode, time.monotonic() - started, timed_out)
    problems = check(run, stage, code, os.path.basename(link) if link else True)
    if not killed:
        problems.append(f"the line '{line}' never came, so the adapter was not lost")
    return run, problems


def run_pull_case(args, folder, case):
    """A pull case; run again (twice at most) when it failed while the kernel's terminal
    hand-over was late (see harness_support.PtyLateness)."""
    for attempt in range(3):
        lateness = harness.harness_support.PtyLateness()
        run, problems = run_kill_case(args, folder, case, pull=True)
        worst_ms = lateness.stop() * 1000
        if not problems or worst_ms < harness.harness_support.PTY_LATE_MS or attempt == 2:
            return run, problems
        print(f"{case[0]} (serial adapter pulled at its line): failed while the kernel handed "
              f"bytes across a terminal {worst_ms:.0f} ms late, so once more: {problems}")
    return run, problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--loader", required=True)
    parser.add_argument("--sensor", required=True)
    parser.add_argument("--host", help="canbus-host, for the pulled serial-line adapter")
    parser.add_argument("--only", nargs="*", help="run only the cases with these names")
    args = parser.parse_args()
    harness.require_own_network(__file__, sys.argv[1:])

    folder = tempfile.mkdtemp(prefix="korvane-lost-adapter-")
    image = os.path.join(folder, "image64.bin")
    with open(image, "wb") as handle:
        handle.write(bytes(range(1, 65)))  # no zero block: the closing block is the only one
    cases = []
    for case in PROXY_CASES:
        for mode in ("kill", "freeze"):
            cases.append((f"{case[0]} ({mode})", lambda c=case, m=mode:
                          run_proxy_case(args, folder, image, c, m)))
    for case in KILL_CASES:
        cases.append((f"{case[0]} (host killed at its line)",
                      lambda c=case: run_kill_case(args, folder, c)))
    for case in PULL_CASES if args.host else []:
        cases.append((f"{case[0]} (serial adapter pulled at its line)",
                      lambda c=case: run_pull_case(args, folder, c)))
    failed = 0
    try:
        for name, run_case in cases:
            if args.only and not any(name.startswith(o) for o in args.only):
                continue
            run, problems = run_case()
            print(f"{name}: {run.outcome()} after stage '{run.stage}' in {run.elapsed:.2f} s"
                  + ("" if not problems else "  FAILED"))
            if problems:
                failed += 1
                for problem in problems:
                    print("    " + problem)
                print("    " + run.show().replace("\n", "\n    "))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print(f"lost adapter: {len(cases)} cases, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
