#!/usr/bin/env python3
"""Bad firmware files and names: each gives its error line and the clean-up, and the tool never
opens anything on the bus.

    bad_files.py --loader LOADER --host CANBUS_HOST --shrink-shim SHIM.so

A bus host runs all along (in a network namespace of its own) and logs every client that joins;
after the bad files, a good file is loaded once as the control, and the host must have logged
that one client and no other. The cases of tests/console/command_line.scenario (a folder, a
sparse file of 4 GiB and more) are here only for the bus check; what they print is compared
there. An unreadable file needs a user other than root (setpriv) when run as root: without
setpriv that case is skipped, visibly.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

BANNER = "Korvane Algorithm Demo 2.2\n"
TAIL = "\n--PRESS ENTER TO EXIT--\n"
NOBODY = "65534"


def cannot_open(name):
    return BANNER + f"*** ERROR: Cannot open file {name}.\n" + TAIL


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--loader", required=True)
    parser.add_argument("--host", required=True, help="the canbus-host program")
    parser.add_argument("--shrink-shim", required=True, help="shrink_after_sizing.so")
    args = parser.parse_args()
    harness.require_own_network(__file__, sys.argv[1:])

    folder = tempfile.mkdtemp(prefix="korvane-bad-files-")
    os.chmod(folder, 0o755)  # the unreadable case runs as another user
    host = subprocess.Popen([args.host, "--port", "29536"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    time.sleep(0.3)
    failed = skipped = 0
    cases = []

    def path(name):
        return os.path.join(folder, name)

    # A FIFO: opening one waits for a writer, so it must be refused without being opened.
    os.mkfifo(path("fifo.bin"))
    cases.append(("a FIFO", [path("fifo.bin")], cannot_open(path("fifo.bin")), {}, ()))

    # A file that shrinks between sizing and reading. Larger than the C library's read buffer,
    # which would otherwise hold the whole file from the moment its size is taken.
    with open(path("shrinks.bin"), "wb") as handle:
        handle.write(bytes(range(256)) * 256)
    env = dict(os.environ, LD_PRELOAD=os.path.abspath(args.shrink_shim),
               KORVANE_SHRINK_FILE=path("shrinks.bin"),
               ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
    cases.append(("a file that shrinks after sizing", [path("shrinks.bin")],
                  BANNER + "   File is 65536 bytes.\n*** ERROR: Could not read from file.\n" + TAIL,
                  env, ()))

    # An unreadable file.
    with open(path("secret.bin"), "wb") as handle:
        handle.write(bytes(16))
    os.chmod(path("secret.bin"), 0)
    wrapper = ()
    if os.geteuid() == 0:
        setpriv = shutil.which("setpriv")
        if setpriv:
            wrapper = (setpriv, f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups")
        else:
            print("an unreadable file: SKIPPED (root reads every file, and setpriv is missing)")
            skipped += 1
    if wrapper or os.geteuid() != 0:
        cases.append(("an unreadable file", [path("secret.bin")],
                      cannot_open(path("secret.bin")), {}, wrapper))

    # Names of several thousand characters, longer than any path may be.
    for length in (5000, 70000):
        name = "n" * length + ".bin"
        cases.append((f"a name of {len(name)} characters", [name], cannot_open(name), {}, ()))

    # Only the bus check: what these print is compared in the console scenario.
    os.mkdir(path("folder"))
    with open(path("huge.bin"), "wb") as handle:
        handle.truncate(4 * 1024 ** 3 + 16)
    cases.append(("a folder", [path("folder")], None, {}, ()))
    cases.append(("a sparse file of 4 GiB + 16 bytes", [path("huge.bin")], None, {}, ()))

    try:
        for name, arguments, expected, env, wrapper in cases:
            run = harness.run_loader(args.loader, arguments, folder, env=env or None,
                                     wrapper=wrapper)
            problems = run.problems()
            if expected is not None and run.stdout != expected:
                problems.append("printed something else than expected:\n" +
                                expected.replace("\r", "<CR>"))
            if "Opening and configuring CAN port." in run.stdout or run.stderr.count("vci:"):
                problems.append("went on to the CAN port")
            print(f"{name}: {'ok' if not problems else 'FAILED'} ({run.elapsed:.2f} s)")
            if problems:
                failed += 1
                for problem in problems:
                    print("    " + problem.replace("\n", "\n    "))
                print("    " + run.show().replace("\n", "\n    "))

        # No client may have joined the bus so far; then the control: a good file joins it.
        time.sleep(0.2)
        host.terminate()
        _, log_before = host.communicate(timeout=10)
        if "joined" in log_before:
            print("FAILED: a bad file opened the bus; the host logged:\n" + log_before)
            failed += 1
        host = subprocess.Popen([args.host, "--port", "29536"], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        time.sleep(0.3)
        with open(path("good.bin"), "wb") as handle:
            handle.write(bytes(range(1, 17)))
        control = harness.run_loader(args.loader, [path("good.bin")], folder)
        host.terminate()
        _, log_control = host.communicate(timeout=10)
        if control.code != -1 or "joined" not in log_control:
            print("FAILED: the control (a good file, no sensor) did not show on the bus as a "
                  f"client: {control.outcome()}; the host logged:\n{log_control}")
            failed += 1
        else:
            print("control, a good file: joined the bus, error -1 (no sensor), as it must")
    finally:
        if host.poll() is None:
            host.kill()
            host.wait()
        shutil.rmtree(folder, ignore_errors=True)
    print(f"bad files: {len(cases)} cases, {failed} failed, {skipped} skipped")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
