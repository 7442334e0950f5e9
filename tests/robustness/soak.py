#!/usr/bin/env python3
"""Interrupted loads resumed: cuts the sensor's power at random points of many loads, then
recovers as an operator would and checks that the flash ends up holding the image byte for byte.

    soak.py --loader LOADER --sensor SENSOR_SIM [--points N] [--seconds S] [--seed K]

Each point is one fresh simulated sensor and a random image (sizes and contents vary, with runs
of zero blocks, which the bootloader handles specially). Power is lost at one of:
  - block N of the stream (--power-loss-at-block N; the closing block of zeros included),
  - erase request 1 or 2 (--power-loss-at-erase N),
  - after BOOT_END was carried out but before its echo (--power-loss-at-end).
The first run (address 0xC3) must fail with the code of that stage; then the sensor is
power-cycled and the tool is run with address 0x00 until it succeeds (at most 3 runs). A run
with 0x00 that finds no bootloader (error -1) means the application is valid again: the operator
then loads it normally with 0xC3. After every point the flash must equal the image.

Stops after N points or S seconds, whichever comes first; prints the counts of points tried,
mismatches, wrong codes and hangs, and exits 1 if any of them is not 0. Runs in a network
namespace of its own (as root), so it may run beside other tests.
"""

import argparse
import os
import random
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

MAX_RESUMES = 3


def make_image(rng):
    blocks = rng.choice([0, 1, 2, 5, rng.randint(3, 64), rng.randint(64, 300)])
    image = bytearray(rng.getrandbits(8) for _ in range(blocks * 8))
    for _ in range(rng.randint(0, 3)):  # runs of zero blocks, at the end too
        if blocks:
            start = rng.randrange(blocks)
            length = rng.randint(1, min(4, blocks - start))
            image[start * 8:(start + length) * 8] = bytes(length * 8)
    return bytes(image)


def pick_point(rng, image):
    blocks = len(image) // 8 + 1  # the closing block of zeros counts
    kind = rng.choices(["block", "erase", "end"], weights=[6, 2, 1])[0]
    if kind == "block":
        n = rng.randint(1, blocks)
        return f"block {n} of {blocks}", ["--power-loss-at-block", str(n)], {-7}
    if kind == "erase":
        n = rng.randint(1, 2)
        return f"erase {n}", ["--power-loss-at-erase", str(n)], {-5}
    return "end", ["--power-loss-at-end"], {-8}


def soak_point(args, rng, folder, index):
    """One interruption and its recovery. A list of problems (empty: fine) and the runs made."""
    image = make_image(rng)
    image_path = os.path.join(folder, f"image{index}.bin")
    with open(image_path, "wb") as handle:
        handle.write(image)
    name, options, first_codes = pick_point(rng, image)
    label = f"point {index}: {len(image)} bytes, power lost at {name}"
    sim = harness.Sim(args.sensor, options + ["--erase-ms", "5", "--boot-delay-ms", "20"],
                      folder, os.path.join(folder, f"flash{index}.bin"))
    problems, runs = [], []

    def run(address):
        result = harness.run_loader(args.loader, [image_path, address], folder)
        runs.append((address, result))
        for problem in result.problems():
            problems.append(f"run with {address}: {problem}")
        return result

    try:
        first = run("0xC3")
        if first.timed_out:
            return label, problems, runs
        if first.success or first.code not in first_codes:
            problems.append(f"first run: {first.outcome()}, expected error "
                            f"{sorted(first_codes)}")
        sim.power_cycle()
        if name == "end" and sim.flash() != image:
            problems.append("BOOT_END was carried out, but the flash differs after power-up")
        succeeded = False
        for _ in range(MAX_RESUMES):
            result = run("0x00")
            if result.timed_out:
                break
            if result.success:
                succeeded = True
                break
            if result.code == -1:  # no bootloader left running: the application is valid
                result = run("0xC3")
                succeeded = result.success
                break
        if not succeeded:
            problems.append("the load never completed")
        flash = sim.flash()
        if flash != image:
            problems.append(f"MISMATCH: flash ({len(flash)} bytes) differs from the image")
    finally:
        sim.stop()
    if problems:
        problems.append("sensor-sim said:\n" + sim.output)
    return label, problems, runs


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--loader", required=True)
    parser.add_argument("--sensor", required=True)
    parser.add_argument("--points", type=int, default=50)
    parser.add_argument("--seconds", type=float, default=300)
    parser.add_argument("--seed", type=int, default=None, help="default: from the clock")
    args = parser.parse_args()
    harness.require_own_network(__file__, sys.argv[1:])

    seed = args.seed if args.seed is not None else int(time.time())
    rng = random.Random(seed)
    print(f"soak: seed {seed}, at most {args.points} points or {args.seconds:.0f} s")
    folder = tempfile.mkdtemp(prefix="korvane-soak-")
    started = time.monotonic()
    tried = failed = mismatches = hangs = runs_made = 0
    kinds = {}
    try:
        while tried < args.points and time.monotonic() - started < args.seconds:
            tried += 1
            label, problems, runs = soak_point(args, rng, folder, tried)
            runs_made += len(runs)
            kind = label.split("power lost at ")[1].split(" ")[0]
            kinds[kind] = kinds.get(kind, 0) + 1
            outcomes = ", ".join(f"{a} {r.outcome()} ({r.elapsed:.2f} s)" for a, r in runs)
            print(f"{label}: {outcomes}" + ("" if not problems else "  FAILED"))
            if problems:
                failed += 1
                mismatches += any(p.startswith("MISMATCH") for p in problems)
                hangs += any(r.timed_out for _, r in runs)
                for problem in problems:
                    print("    " + problem.replace("\n", "\n    "))
                for address, result in runs:
                    print(f"    --- run with {address}:\n    " +
                          result.show().replace("\n", "\n    "))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    elapsed = time.monotonic() - started
    by_kind = ", ".join(f"{k} {n}" for k, n in sorted(kinds.items()))
    print(f"soak: {tried} points ({by_kind}), {runs_made} runs in {elapsed:.0f} s; "
          f"{failed} failed, {mismatches} flash mismatches, {hangs} hangs (seed {seed})")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
