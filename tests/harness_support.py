"""What the test harnesses in Python share: a network namespace of their own, and reading the
output of a program that runs beside them one line at a time."""

import os
import select
import shlex
import shutil
import subprocess
import sys
import threading
import time
import tty


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


# Through an SLCAN stand-in, a run that failed while the kernel's terminal hand-over was this
# late (half the tool's 100-ms wait for a command's answer: a round crosses the terminal twice)
# may run again: see PtyLateness.
PTY_LATE_MS = 50


def as_hardware():
    """Runs the calling process (a stand-in for an adapter or a sensor, which a busy PC does not
    slow down) on a real-time priority where that is allowed; as it is elsewhere."""
    try:
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(10))
    except (AttributeError, OSError):
        pass


class PtyLateness:
    """How late the kernel hands bytes across a pseudo terminal while a scenario runs. The tool
    and the SLCAN adapter's stand-in talk through one, and on a loaded machine the kernel's work
    that moves the bytes across (flush_to_ldisc, on a worker shared by every terminal) was seen
    waiting over half a second for a processor. One byte through a terminal of its own every
    10 ms, timed by a thread on a real-time priority where that is allowed."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.worst = 0.0
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        as_hardware()  # this thread alone
        while not self.stopping.wait(0.01):
            start = time.monotonic()
            os.write(self.master, b"x")
            if select.select([self.slave], [], [], 5)[0]:
                os.read(self.slave, 64)
            self.worst = max(self.worst, time.monotonic() - start)

    def stop(self):
        self.stopping.set()
        self.thread.join()
        os.close(self.master)
        os.close(self.slave)
        return self.worst
