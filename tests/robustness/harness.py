"""What the robustness tests share: a network namespace of their own, the simulator running in
the background, one run of the tool with its console parsed, and the checks that every run must
pass whatever its outcome (it ended, exit code 0, the clean-up reached, no sanitizer report)."""

import os
import re
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness_support  # noqa: E402

SKIP = 77
RUN_TIME_LIMIT_S = 120  # a safety net against a hang, never a speed check
READY_TIME_LIMIT_S = 20
CLEAN_UP_TAIL = "\n--PRESS ENTER TO EXIT--\n"
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                   "ERROR: UndefinedBehaviorSanitizer")

# The stage line that the tool prints last before it fails, and the code that stage fails with.
STAGE_LINES = [
    ("Claim address for this software.", "claim software", {-11}),
    ("Claim address for the bootloader.", "claim bootloader", {-12}),
    ("Flush RX.", "flush", set()),
    ("Checking for active bootloader.", "check bootloader", {-9}),
    ("Checking for sensor.", "check sensor", {-1}),
    ("Starting bootloader.", "start bootloader", {-4}),
    ("Checking bootloader version.", "version", {-3, -4}),
    ("Erasing sector 1.", "erase 1", {-5}),
    ("Erasing sector 2.", "erase 2", {-5}),
    ("Bootloader begin data stream.", "begin", {-6}),
    ("Sending data:", "stream", {-7, -10}),
    ("Bootloader ending data stream.", "end", {-8}),
]


def in_own_network(script, argv):
    """Re-runs the script in a network namespace of its own where that works (as root), so its
    buses are never seen by other tests and it never sees theirs. None when it cannot."""
    return harness_support.rerun_in_own_network(script, argv, "KORVANE_ROBUSTNESS_NETNS")


def require_own_network(script, argv):
    """Runs the script in its own namespace, or says why it skips: these tests take the bus
    ports of this machine, and kill the bus host, which must not touch anyone else's."""
    code = in_own_network(script, argv)
    if code is not None:
        sys.exit(code)
    if not os.environ.get("KORVANE_ROBUSTNESS_NETNS"):
        if os.environ.get("KORVANE_ROBUSTNESS_SHARED_NET"):
            return  # the caller knows that nothing else uses the bus ports
        print("SKIPPED: needs a network namespace of its own (run as root with unshare -n), "
              "or KORVANE_ROBUSTNESS_SHARED_NET=1 on a machine where nothing else uses the "
              "ports 29536-29543")
        sys.exit(SKIP)


class Sim:
    """sensor-sim in the background, hosting its own bus (or as told by the options)."""

    def __init__(self, binary, options, folder, flash_path=None, hardware=False):
        self.flash_path = flash_path or os.path.join(folder, "sensor-flash.bin")
        command = [os.path.abspath(binary)] + list(options) + ["--flash-out", self.flash_path]
        self.output = ""
        self.process = subprocess.Popen(command, cwd=folder, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        text=True, bufsize=1,
                                        preexec_fn=harness_support.as_hardware if hardware
                                        else None)
        if not self.wait_for("ready", READY_TIME_LIMIT_S):
            self.kill()
            raise RuntimeError("sensor-sim did not become ready:\n" + self.output)

    def read_some(self, timeout):
        line = harness_support.read_line(self.process.stdout, timeout)
        self.output += line or ""
        return line is not None

    def wait_for(self, text, timeout, start=0):
        deadline = time.monotonic() + timeout
        while text not in self.output[start:]:
            if not self.read_some(deadline - time.monotonic()):
                return False
        return True

    def drain(self, wait=0.02):
        while self.read_some(wait):
            pass

    def command(self, text):
        self.drain(0.01)
        self.process.stdin.write(text + "\n")
        self.process.stdin.flush()

    def power_cycle(self):
        start = len(self.output)
        self.command("power-cycle")
        if not self.wait_for("power on", 5, start):
            raise RuntimeError("sensor-sim did not power up again:\n" + self.output[start:])

    def flash(self):
        """The flash as a dump holds it now."""
        start = len(self.output)
        self.command(f"flash {self.flash_path}")
        if not self.wait_for("flash written to", 5, start):
            raise RuntimeError("sensor-sim wrote no flash dump:\n" + self.output[start:])
        with open(self.flash_path, "rb") as handle:
            return handle.read()

    def kill(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGKILL)
            self.process.wait()

    def stop(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.write("quit\n")
                self.process.stdin.flush()
                self.process.wait(timeout=5)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.kill()
        rest = self.process.stdout.read()
        if rest:
            self.output += rest


class Run:
    """One run of the tool and what its console says."""

    def __init__(self, stdout, stderr, returncode, elapsed, timed_out=False):
        self.stdout, self.stderr = stdout, stderr
        self.returncode, self.elapsed, self.timed_out = returncode, elapsed, timed_out
        match = re.search(r"\*\*\* ERROR: Flash programming failed\.  Error = (-?\d+)\n", stdout)
        self.code = int(match.group(1)) if match else None
        self.success = "\n      SUCCESS!\n" in stdout
        self.stage = None
        for line in stdout.replace("\r", "\n").split("\n"):
            for text, stage, _ in STAGE_LINES:
                if line.strip().startswith(text):
                    self.stage = stage
        lost = re.search(r"vci: \S+: (\d+) received frames lost", stderr)
        self.frames_lost = int(lost.group(1)) if lost else 0
        self.connection_lost = "connection to the bus host was lost" in stderr

    def outcome(self):
        if self.timed_out:
            return "HANG"
        if self.success:
            return "success"
        return f"error {self.code}" if self.code is not None else "no result line"

    def problems(self):
        """What no run may ever do, whatever happened on the bus."""
        found = []
        if self.timed_out:
            found.append(f"did not end within {RUN_TIME_LIMIT_S} s")
            return found
        if self.returncode != 0:
            found.append(f"exit code {self.returncode}, not 0")
        if not self.stdout.endswith(CLEAN_UP_TAIL):
            found.append("the clean-up line is not the last thing printed")
        if self.success and self.code is not None:
            found.append("both a success and an error line")
        if any(mark in self.stderr for mark in SANITIZER_MARKS):
            found.append("sanitizer report on stderr")
        return found

    def show(self):
        text = self.stdout.replace("\r", "<CR>")
        if self.stderr:
            text += "--- its stderr:\n" + self.stderr
        return text


def run_loader(loader, arguments, folder, stdin=b"\n", env=None, wrapper=()):
    command = list(wrapper) + [os.path.abspath(loader)] + list(arguments)
    started = time.monotonic()
    process = subprocess.Popen(command, cwd=folder, stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    try:
        stdout, stderr = process.communicate(stdin, timeout=RUN_TIME_LIMIT_S)
        timed_out = False
    except subprocess.TimeoutExpired:
        process.kill()
        stdout, stderr = process.communicate()
        timed_out = True
    return Run(stdout.decode("latin-1"), stderr.decode("latin-1"), process.returncode,
               time.monotonic() - started, timed_out)


def codes_of_stage(stage):
    for _, name, codes in STAGE_LINES:
        if name == stage:
            return codes
    return set()
