#!/usr/bin/env python3
"""A noisy bus: loads while other traffic shares the bus.

    noisy_bus.py --loader LOADER --sensor SENSOR_SIM [--repeat N]

The simulator adds background traffic (--background-ms: the application's status broadcast, a
DM1 of another node, an 11-bit frame, command channel 5, channel 2 at the wrong priority) and a
flood of frames that match nothing (--flood-rate: another PGN and 11-bit frames). A flood faster
than the tool reads overflows the 32-message receive FIFO of its channel; the library then puts a
status message (not a data frame) in the FIFO where frames went missing, and says on stderr how
many were lost when the channel closes.

Every load must either succeed with the flash equal to the image, or fail with the code of the
stage it failed in; never succeed with a flash that differs. Loads on a realistic bus (background
traffic, a moderate flood) must succeed. Each case prints its outcome and the frames lost.
"""

import argparse
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

# name, sensor-sim options, whether the load must succeed
CASES = [
    ("background every 1 ms", ["--background-ms", "1"], True),
    ("background every 1 ms, bus timing", ["--background-ms", "1", "--bit-timing"], True),
    ("flood 1000/s", ["--flood-rate", "1000"], True),
    ("flood 5000/s, bus timing", ["--flood-rate", "5000", "--bit-timing"], False),
    ("flood 20000/s and background", ["--flood-rate", "20000", "--background-ms", "1"], False),
    ("flood 100000/s", ["--flood-rate", "100000"], False),
    ("flood 100000/s, bus timing", ["--flood-rate", "100000", "--bit-timing"], False),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--loader", required=True)
    parser.add_argument("--sensor", required=True)
    parser.add_argument("--repeat", type=int, default=1, help="loads per case")
    args = parser.parse_args()
    harness.require_own_network(__file__, sys.argv[1:])

    folder = tempfile.mkdtemp(prefix="korvane-noisy-")
    image = bytes((i * 13 + 5) % 256 for i in range(4096))
    image_path = os.path.join(folder, "image.bin")
    with open(image_path, "wb") as handle:
        handle.write(image)
    failed = 0
    try:
        for name, options, must_succeed in CASES:
            for attempt in range(args.repeat):
                sim = harness.Sim(args.sensor, options + ["--erase-ms", "20"], folder)
                try:
                    run = harness.run_loader(args.loader, [image_path], folder)
                    flash = sim.flash() if run.success else None
                finally:
                    sim.stop()
                problems = run.problems()
                if run.success and flash != image:
                    problems.append(f"WRONG SUCCESS: the flash ({len(flash)} bytes) differs")
                if not run.success and not run.timed_out:
                    if run.code not in harness.codes_of_stage(run.stage):
                        problems.append(f"error {run.code} is not a code of stage '{run.stage}'")
                    if must_succeed:
                        problems.append("a load on this bus must succeed")
                where = "" if run.success else f" in stage '{run.stage}'"
                print(f"{name}: {run.outcome()}{where}, {run.frames_lost} frames lost, "
                      f"{run.elapsed:.2f} s" + ("" if not problems else "  FAILED"))
                if problems:
                    failed += 1
                    for problem in problems:
                        print("    " + problem)
                    print("    " + run.show().replace("\n", "\n    "))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print(f"noisy bus: {len(CASES) * args.repeat} loads, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
