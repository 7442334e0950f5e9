"""What the test harnesses in Python share: a network namespace of their own, and reading the
output of a program that runs beside them one line at a time."""

import os
import select
import shlex
import shutil
import subprocess
import sys


def rerun_in_own_network(script, argv, marker):
    """Re-runs `script` with `argv` in a network namespace of its own, with its loopback up, and
    returns its exit status: buses started there are seen by nobody else, and it sees no others.
    The environment variable `marker` is set inside. None when already inside (marker set) or
    when that is not possible here (no unshare or ip, or not privileged)."""
    if os.environ.get(marker):
        return None
    unshare, ip = shutil.which("unshare"), shutil.which("ip")
    if not unshare or not ip:
        return None
    probe = subprocess.run([unshare, "-n", ip, "link", "set", "lo", "up"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if probe.returncode != 0:
        return None
    env = dict(os.environ, **{marker: "1"})
    command = f'{shlex.quote(ip)} link set lo up && exec "$@"'
    return subprocess.run([unshare, "-n", "sh", "-c", command, "sh", sys.executable,
                           os.path.abspath(script)] + list(argv), env=env).returncode


def read_line(stream, timeout):
    """The next line of a text stream, waiting at most timeout seconds; None when none came or
    the stream ended."""
    if timeout <= 0 or not select.select([stream], [], [], timeout)[0]:
        return None
    return stream.readline() or None
