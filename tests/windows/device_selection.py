#!/usr/bin/env python3
"""The device choice of the Windows VCINPL.dll: with two buses the library prompts on the console
and reads the answer from the same standard input as the program.

    device_selection.py --wrapper WINE_RUN --loader korvane-loader.exe --sensor sensor-sim

Two sensor-sims host a bus each (sim0, sim1). Answering 2 loads the image into the sensor on
sim1 and leaves the one on sim0 alone; an empty answer cancels, and the tool prints the
library's code for it. Runs in a network namespace of its own where that works (as root), as
the scenario runner does. Exit status 0 when all holds.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness_support  # noqa: E402

READY_TIME_LIMIT_S = 20
RUN_TIME_LIMIT_S = 120


def own_network(argv):
    if os.environ.get("KORVANE_SCENARIO_SHARED_NET"):
        return None
    return harness_support.rerun_in_own_network(argv[0], argv[1:], "KORVANE_SCENARIO_NETNS")


class Sensor:
    def __init__(self, program, folder):
        self.process = subprocess.Popen([program, "--exit-on-eof"], cwd=folder, text=True,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT)
        self.output = ""
        deadline = time.monotonic() + READY_TIME_LIMIT_S
        while "ready on bus" not in self.output:
            if not self.read_line(deadline - time.monotonic()):
                raise RuntimeError("sensor-sim did not become ready:\n" + self.output)

    def read_line(self, timeout):
        line = harness_support.read_line(self.process.stdout, timeout)
        self.output += line or ""
        return line is not None

    def stop(self):
        try:  # closes its standard input: --exit-on-eof ends it
            rest, _ = self.process.communicate(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            rest, _ = self.process.communicate()
        self.output += rest or ""


def run(args, folder, answer):
    result = subprocess.run([args.wrapper, args.loader, "image.bin"], cwd=folder, input=answer,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            timeout=RUN_TIME_LIMIT_S)
    text = result.stdout.decode("latin-1")
    print(f"--- answer {answer!r}: exit {result.returncode}")
    print(text.replace("\r", "<CR>"), end="")
    if result.stderr:
        print("--- its stderr:\n" + result.stderr.decode("latin-1"), end="")
    return text


def check(args, folder):
    failures = []
    with open(os.path.join(folder, "image.bin"), "wb") as handle:
        handle.write(bytes(range(1, 17)))
    first = Sensor(args.sensor, folder)
    second = Sensor(args.sensor, folder)
    try:
        prompt = ("CAN devices:\r\n"
                  "  1  sim0     virtual CAN bus sim0 at 1000 kbit/s on 127.0.0.1:29536\r\n"
                  "  2  sim1     virtual CAN bus sim1 at 1000 kbit/s on 127.0.0.1:29537\r\n"
                  "Choose a device (1-2, Enter to cancel): ")
        # A console's lines end in CR LF; the program reads its input in text mode.
        chosen = run(args, folder, b"2\r\n\r\n")
        if prompt not in chosen:
            failures.append("the prompt listing sim0 and sim1 was not printed")
        if "      SUCCESS!\r\n" not in chosen:
            failures.append("the load onto the chosen device did not succeed")
        cancelled = run(args, folder, b"\r\n\r\n")
        if ("Choose a device (1-2, Enter to cancel): "
                "*** ERROR: Could not open CAN port.  Error = E001000C\r\n") not in cancelled:
            failures.append("an empty answer did not cancel with E001000C")
    finally:
        first.stop()
        second.stop()
    print("--- sensor on sim0 said:\n" + first.output, end="")
    print("--- sensor on sim1 said:\n" + second.output, end="")
    if "16 bytes programmed" not in second.output:
        failures.append("the sensor on sim1 (chosen) was not programmed")
    if "programmed" in first.output or "start request" in first.output:
        failures.append("the sensor on sim0 (not chosen) was addressed")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--wrapper", required=True)
    parser.add_argument("--loader", required=True)
    parser.add_argument("--sensor", required=True)
    args = parser.parse_args()
    code = own_network([os.path.abspath(sys.argv[0])] + sys.argv[1:])
    if code is not None:
        return code
    folder = tempfile.mkdtemp(prefix="korvane-selection-")
    try:
        failures = check(args, folder)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    for failure in failures:
        print("FAILED: " + failure)
    if not failures:
        print("PASSED")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
