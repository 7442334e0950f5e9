#!/usr/bin/python3
"""Load benchmark: the loader beside a floor client and a python-can peer on the same virtual bus.

Run it through bench/run-bench.sh, which builds what it needs. For each bus mode (bit timing off,
then on) it starts one canbus-host with a timing log and one sensor-sim that joins it (bootloader
version 7.1, so every load ends with a reboot into the application and the next client finds the
sensor as the first did), then loads each image size with each client in turn:

  tool    build/bench/app/korvane-loader IMAGE (console to a file, Enter answered)
  floor   build/bench/bench/floor-client: the bare block exchange over a blocking socket
  python  bench/python_can_peer.py with /usr/bin/python3 (skipped, visibly, without python-can)

Every figure but CPU time comes from the bus host's own steady-clock timestamps (timing log):
  turnaround    echo of block N written to the client's socket -> block N+1 read by the host
  stream        first data block read by the host -> echo of the terminating block written
  claim         the loader's Address Claimed read by the host -> the next frame it sends
                (beside it, build/bench/bench/timer-floor: 250 bare 1-ms ppoll waits, the floor)
CPU per block: user + system time of the client process (wait4), as the difference between the
largest and the smallest image divided by the difference in blocks, so set-up and start-up cancel
(each size's least CPU time over its runs).

Mode gs-usb runs inside the VM tier (tests/vm/run-in-vm.sh, as root, the modules dummy_hcd,
libcomposite and usb_f_fs): bench.py starts itself again in there, where every client reaches the
bus through a gs_usb adapter (`canbus-host --gs-usb-gadget`, plugged into dummy_hcd by
tests/vm/gs_usb_gadget.sh afresh for each run), the tool with KORVANE_DEVICE naming it and the
floor client with --gs-usb. The inner run writes its figures into the shared work folder and this
run puts them in its report. Under emulation a block takes milliseconds: 8K three times and 64K
once, tool and floor only.

Each run writes bench-STAMP.txt (the table and the targets, each PASS or MISS with its figures),
bench-STAMP.json (every figure) and, with matplotlib, bench-STAMP.png and .svg (bench/plot.py:
turnaround per client and mode as boxes, stream time per image size); --replot FILE.json draws
the plot of an earlier run again. Without matplotlib the run is the same and says it drew nothing.
"""

import argparse
import json
import os
import platform
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import plot

PORT = 29536
BUS = "sim0"
CLIENTS = ("tool", "floor", "python")
SIZES = {"8K": 8 << 10, "64K": 64 << 10, "1M": 1 << 20}
DATA_ID = "FFFFB1"  # channel 15 as the timing log writes identifiers (%X)
CLAIM_IDS = ("18EEFF00", "18EEFFB1")


def percentile(values, fraction):
    ordered = sorted(values)
    index = min(len(ordered) - 1, max(0, int(round(fraction * (len(ordered) - 1)))))
    return ordered[index]


def machine():
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return {"nproc": os.cpu_count(), "cpu": model, "kernel": platform.release()}


def build_type(build):
    cache = (Path(build) / "CMakeCache.txt").read_text()
    kind = re.search(r"^CMAKE_BUILD_TYPE:\w+=(.*)$", cache, re.M)
    flags = re.search(r"^CMAKE_CXX_FLAGS_RELEASE:\w+=(.*)$", cache, re.M)
    return f"{kind.group(1) if kind else '?'} ({flags.group(1) if flags else '?'})"


def load():
    return round(os.getloadavg()[0], 2)


class Bus:
    """One canbus-host with a timing log and one sensor-sim joined to it."""

    def __init__(self, build, bit_timing, workdir, port=PORT, tag=None):
        self.log_path = Path(workdir) / f"timing-{tag or ('on' if bit_timing else 'off')}.log"
        host_cmd = [str(Path(build) / "virtual_bus/canbus-host"), "--port", str(port),
                    "--timing-log", str(self.log_path)]
        if bit_timing:
            host_cmd.append("--bit-timing")
        self.host = subprocess.Popen(host_cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     text=True)
        if not self.host.stdout.readline():  # "canbus-host: bus sim0 on ..." once it listens
            raise SystemExit(f"bench: canbus-host could not listen on port {port} (in use? as "
                             "root the benchmark runs in a network namespace of its own)")
        self.sim = subprocess.Popen(
            [str(Path(build) / "sensor_sim/sensor-sim"), "--join", str(port),
             "--version", ">VER 7.1", "--sector1-size", "1M", "--sector2-size", "1M",
             "--exit-on-eof"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        for line in self.sim.stdout:
            if "ready on bus" in line:
                break
        else:
            raise SystemExit("bench: sensor-sim did not start")
        # The sim's notices are read and dropped on the side, so that it never blocks on them.
        self.drain = subprocess.Popen(["cat"], stdin=self.sim.stdout, stdout=subprocess.DEVNULL)

    def stop(self):
        self.sim.stdin.close()
        self.sim.wait(timeout=10)
        self.drain.wait(timeout=10)
        self.host.send_signal(signal.SIGTERM)
        self.host.wait(timeout=30)


class RunFailed(Exception):
    def __init__(self, message, run=None):
        super().__init__(message)
        self.run = run  # when known, the failed run's window and CPU time


# The longest load (1 MiB over the serial-line adapter) takes well under a minute; a client still
# running after this long is hung and is killed, so that the benchmark never waits for ever.
CLIENT_TIMEOUT_S = 300


def wait_with_timeout(process, seconds):
    """wait4 (for the child's CPU time) with a deadline: a hung child is killed and the run stops."""
    deadline = time.monotonic() + seconds
    while True:
        pid, status, usage = os.wait4(process.pid, os.WNOHANG)
        if pid:
            return status, usage
        if time.monotonic() > deadline:
            process.kill()
            process.wait()
            raise SystemExit(f"bench: {' '.join(map(str, process.args))} still ran after "
                             f"{seconds} s: killed")
        time.sleep(0.02)


def run_client(kind, build, image, workdir, python, address=None):
    if kind == "tool":
        cmd = [str(Path(build) / "app/korvane-loader"), str(image)] + ([address] if address else [])
    elif kind == "floor":
        cmd = [str(Path(build) / "bench/floor-client"), str(PORT), BUS, str(image)]
    else:
        cmd = [python, str(Path(__file__).with_name("python_can_peer.py")), str(PORT), BUS,
               str(image)]
    out_path = Path(workdir) / f"{kind}.out"
    started = time.monotonic_ns()
    with open(out_path, "w") as out:
        process = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=out,
                                   stderr=subprocess.STDOUT)
        process.stdin.write(b"\n")
        process.stdin.close()
        status, usage = wait_with_timeout(process, CLIENT_TIMEOUT_S)
        process.returncode = os.waitstatus_to_exitcode(status)
    ended = time.monotonic_ns()
    text = out_path.read_text(errors="replace")
    ok = process.returncode == 0 and ("SUCCESS!" in text if kind == "tool" else "blocks" in text)
    if not ok:
        raise RunFailed(f"{kind} failed on {image.name}: ...{text[-300:]}")
    return {"started": started, "ended": ended, "cpu_s": usage.ru_utime + usage.ru_stime,
            "console_bytes": len(text.encode())}


def run_with_retries(bus, kind, build, image, workdir, python, info, attempts=3,
                     client=run_client):
    """A load that fails (on an overloaded machine an echo can miss its 100 ms) is noted, the
    sensor is power-cycled and brought back by an uncounted resumed load, and the run is made
    again. `client` makes one run (run_client, or another mode's)."""
    for attempt in range(attempts):
        try:
            return client(kind, build, image, workdir, python)
        except RunFailed as failure:
            info["failed_runs"].append({"failure": str(failure), "load": load()})
            print(f"bench:   {failure}\nbench:   power-cycle and resume, then again",
                  file=sys.stderr, flush=True)
            if attempt + 1 == attempts:
                raise SystemExit(f"bench: {kind} failed {attempts} times on {image.name}")
            for _ in range(attempts):
                bus.sim.stdin.write("power-cycle\n")
                bus.sim.stdin.flush()
                time.sleep(0.5)
                try:
                    client("tool", build, image, workdir, python, address="0x00")
                    break
                except RunFailed as again:
                    info["failed_runs"].append({"failure": "resume: " + str(again),
                                                "load": load()})
            else:
                raise SystemExit("bench: the sensor could not be brought back")
            time.sleep(0.3)


def parse_timing_log(path):
    """Frames by sequence number (sender, arrival ns, id), and the write times of each frame to
    every client but the simulator, which joined first."""
    senders, arrivals, ids = [], [], []
    writes = {}
    joins = []
    sim = None
    with open(path) as f:
        for line in f:
            kind = line[0]
            if kind == "F":
                _, seq, sender, t, ident, _ = line.split(" ", 5)
                senders.append(int(sender))
                arrivals.append(int(t))
                ids.append(ident)
            elif kind == "W":
                _, seq, client, t = line.split()
                if int(client) != sim:
                    writes[int(seq)] = int(t)
            elif kind == "J":
                _, client, t = line.split()
                joins.append((int(client), int(t)))
                if sim is None:
                    sim = int(client)
    return senders, arrivals, ids, writes, joins, sim


def analyse_run(run, log):
    senders, arrivals, ids, writes, joins, sim = log
    # The loader's device scan joins the bus for a moment before it opens it: the run's client
    # is the one that joined during the run and sent frames.
    joined = {c for c, t in joins if c != sim and run["started"] <= t <= run["ended"]}
    clients = sorted(joined & set(senders))
    if len(clients) != 1:
        raise SystemExit(f"bench: expected one sending client in the run, found {clients} "
                         f"(joined: {sorted(joined)})")
    me = clients[0]
    mine = [s for s in range(len(senders)) if senders[s] == me]
    blocks = [s for s in mine if ids[s] == DATA_ID]
    # The echo of each block: the next channel-15 frame from the simulator.
    echoes = []
    for s in blocks:
        e = s + 1
        while e < len(senders) and not (senders[e] == sim and ids[e] == DATA_ID):
            e += 1
        echoes.append(e)
    # A load that failed may have left its last block unechoed: a later frame is not its echo.
    while echoes and (echoes[-1] >= len(senders) or arrivals[echoes[-1]] > run["ended"]):
        echoes.pop()
        blocks.pop()
    turnaround = [(arrivals[b] - writes[echoes[i]]) / 1000.0
                  for i, b in enumerate(blocks[1:])]
    # The other half of each block's cycle: block read by the host -> its echo read by the host
    # (host to simulator, the simulator, the bus time with bit timing, simulator to host).
    echo_side = [(arrivals[e] - arrivals[b]) / 1000.0 for b, e in zip(blocks, echoes)]
    result = {
        "blocks": len(blocks),
        "turnaround_us": {
            "median": statistics.median(turnaround),
            "p99": percentile(turnaround, 0.99),
            "max": max(turnaround),
            # for the plot's boxes
            "p5": percentile(turnaround, 0.05),
            "p25": percentile(turnaround, 0.25),
            "p75": percentile(turnaround, 0.75),
            "p95": percentile(turnaround, 0.95),
        },
        "echo_side_us": {"median": statistics.median(echo_side),
                         "p99": percentile(echo_side, 0.99)},
        "stream_s": (writes[echoes[-1]] - arrivals[blocks[0]]) / 1e9,
        "cpu_s": run["cpu_s"],
        "load": run["load"],
    }
    claims = []
    for i, s in enumerate(mine[:-1]):
        if ids[s] in CLAIM_IDS:
            claims.append((arrivals[mine[i + 1]] - arrivals[s]) / 1e6)
    if claims:
        result["claims_ms"] = claims
    return result


def results_to_json(results):
    """Tuple keys become "size/client" (the best run) and "size/client/all" (every run)."""
    return {(k if isinstance(k, str) else
             f"{k[1][0]}/{k[1][1]}/all" if k[0] == "all" else f"{k[0]}/{k[1]}"): v
            for k, v in results.items()}


def results_from_json(results):
    keys = {}
    for k, v in results.items():
        parts = k.split("/")
        keys[k if len(parts) == 1 else ("all", tuple(parts[:2])) if len(parts) == 3
             else tuple(parts)] = v
    return keys


def best_runs(runs, log):
    """Each run analysed; per size and client the run with the lowest median turnaround, and
    under ("all", key) every run."""
    results = {}
    for run in runs:
        analysed = analyse_run(run, log)
        key = (run["size"], run["client"])
        if key not in results or (analysed["turnaround_us"]["median"] <
                                  results[key]["turnaround_us"]["median"]):
            results[key] = analysed
        results.setdefault(("all", key), []).append(analysed)
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--quick", action="store_true", help="8K and 64K only")
    parser.add_argument("--sizes", help="comma-separated, of " + ",".join(SIZES))
    parser.add_argument("--repeat", type=int, default=3,
                        help="runs per client of the images below 1 MiB; the best (lowest median "
                             "turnaround) counts")
    parser.add_argument("--repeat-large", type=int, default=1, help="the same for 1 MiB")
    parser.add_argument("--modes", default="off,on",
                        help="modes to run: off,on (bit timing), slcan, slcan-on (through a "
                             "serial-line adapter, bit timing off or on), gs-usb (through a "
                             "gs_usb adapter, in the VM tier)")
    parser.add_argument("--clients", default=",".join(CLIENTS))
    parser.add_argument("--out", help="folder for the text and JSON summary (default: build)")
    parser.add_argument("--keep", help="keep the timing logs and images in this folder")
    parser.add_argument("--netns", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--in-vm", metavar="JSON", help=argparse.SUPPRESS)  # the gs-usb mode inside
    parser.add_argument("--replot", metavar="JSON",
                        help="only draw the plot of an earlier run's JSON, beside it")
    args = parser.parse_args()
    why_no_plot = plot.available()
    if args.replot:
        if why_no_plot:
            raise SystemExit(f"bench: {why_no_plot}: nothing to draw")
        source = Path(args.replot)
        for path in plot.draw(json.loads(source.read_text()), source.with_suffix("")):
            print(f"written: {path}")
        return
    if why_no_plot:
        print(f"bench: {why_no_plot}: the run writes its report and JSON, no plot")

    if args.in_vm:
        run_inside_vm(args)
        return
    sizes = args.sizes.split(",") if args.sizes else (["8K", "64K"] if args.quick else list(SIZES))
    if not args.sizes and args.modes == "gs-usb":
        sizes = [name for name, _ in GS_USB_RUNS]
    clients = args.clients.split(",")
    python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
    have_python_can = subprocess.run([python, "-c", "import can"], capture_output=True).returncode == 0
    if "python" in clients and not have_python_can:
        print("python-can is not installed (apt-get install python3-can): "
              "the python column is SKIPPED")
        clients.remove("python")

    out_dir = Path(args.out or Path(args.build) / "results")
    out_dir.mkdir(parents=True, exist_ok=True)
    stamp = time.strftime("%Y%m%d-%H%M%S")
    info = {
        "machine": machine(),
        "build": build_type(args.build),
        "network_namespace": args.netns,
        "load_at_start": load(),
        "repeat": args.repeat,
        "repeat_large": args.repeat_large,
        "sizes": sizes,
        "clients": clients,
        "failed_runs": [],
        "results": {},
    }

    with tempfile.TemporaryDirectory(prefix="korvane-bench-") as tempdir:
        workdir = args.keep or tempdir
        Path(workdir).mkdir(parents=True, exist_ok=True)
        rng = random.Random(1)
        images = {}
        for name in sizes:
            path = Path(workdir) / f"image-{name}.bin"
            path.write_bytes(bytes(rng.getrandbits(8) for _ in range(SIZES[name])))
            images[name] = path
        for mode in args.modes.split(","):
            if mode == "gs-usb":
                results = run_gs_usb_in_vm(args, clients, workdir, info)
                if results:
                    info["results"][mode] = results
                continue
            if mode in ("slcan", "slcan-on"):
                info["results"][mode] = run_slcan_mode(args, sizes, clients, images, workdir,
                                                       python, bit_timing=mode == "slcan-on")
                continue
            print(f"bench: bit timing {mode} ...", file=sys.stderr, flush=True)
            bus = Bus(args.build, mode == "on", workdir)
            runs = []
            try:
                for name in sizes:
                    for _ in range(args.repeat_large if SIZES[name] >= 1 << 20 else args.repeat):
                        for kind in clients:
                            time.sleep(0.3)  # the sensor's application is back after REBOOTME
                            run = {"mode": mode, "size": name, "client": kind, "load": load()}
                            run.update(run_with_retries(bus, kind, args.build, images[name],
                                                        workdir, python, info))
                            runs.append(run)
                            print(f"bench:   {name} {kind} done (load {run['load']})",
                                  file=sys.stderr, flush=True)
            finally:
                bus.stop()
            floor_runs = subprocess.run([str(Path(args.build) / "bench/timer-floor"), "5"],
                                        capture_output=True, text=True, check=True,
                                        timeout=60).stdout.split()
            timer_floor = [float(v) for k, v in zip(floor_runs[::2], floor_runs[1::2])
                           if k == "claim_ms"]
            log = parse_timing_log(bus.log_path)
            mode_results = {}
            for run in runs:
                analysed = analyse_run(run, log)
                key = (run["size"], run["client"])
                best = mode_results.get(key)
                if best is None or analysed["turnaround_us"]["median"] < best["turnaround_us"]["median"]:
                    mode_results[key] = analysed
                mode_results.setdefault(("all", key), []).append(analysed)
            mode_results["timer_floor_ms"] = timer_floor
            info["results"][mode] = mode_results

    text = report(info, sizes, clients) + slcan_report(info, sizes) + gs_usb_report(info)
    print(text)
    for mode, results in info["results"].items():
        info["results"][mode] = results_to_json(results)
    (out_dir / f"bench-{stamp}.txt").write_text(text + "\n")
    (out_dir / f"bench-{stamp}.json").write_text(json.dumps(info, indent=1) + "\n")
    written = [out_dir / f"bench-{stamp}.txt", out_dir / f"bench-{stamp}.json"]
    if not why_no_plot:
        written += plot.draw(info, out_dir / f"bench-{stamp}")
    print("\nwritten: " + ", ".join(str(path) for path in written))


# ---- SLCAN mode ------------------------------------------------------------------------------
# Every client reaches the bus through a serial-line CAN adapter: `canbus-host --join PORT
# --slcan-pty LINK`, started afresh for each run so that the run's one new bus client is the
# adapter (analyse_run then reads the figures at the bus host as in the other modes: turnaround
# includes the adapter and the pseudo terminal). The bus is on a port outside those the CAN
# library looks at, so the tool's only device is the adapter (KORVANE_SLCAN_PORTS=LINK).
SLCAN_PORT = 29600


def slcan_client_command(kind, build, image, link, python):
    if kind == "tool":
        return [str(Path(build) / "app/korvane-loader"), str(image)]
    if kind == "floor":
        return [str(Path(build) / "bench/floor-client"), "--serial", link, str(image)]
    return [python, str(Path(__file__).with_name("python_can_peer.py")), "--serial", link,
            str(image)]


def run_slcan_client(kind, build, image, workdir, python):
    link = str(Path(workdir) / "slcan0")
    out_path = Path(workdir) / f"{kind}-slcan.out"
    started = time.monotonic_ns()
    adapter = subprocess.Popen([str(Path(build) / "virtual_bus/canbus-host"), "--join",
                                str(SLCAN_PORT), "--slcan-pty", link],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    while "joined" not in (adapter.stdout.readline() or "joined"):
        pass
    try:
        with open(out_path, "w") as out:
            process = subprocess.Popen(slcan_client_command(kind, build, image, link, python),
                                       stdin=subprocess.PIPE, stdout=out, stderr=subprocess.STDOUT,
                                       env=dict(os.environ, KORVANE_SLCAN_PORTS=link))
            process.stdin.write(b"\n")
            process.stdin.close()
            status, usage = wait_with_timeout(process, CLIENT_TIMEOUT_S)
            returncode = os.waitstatus_to_exitcode(status)
    finally:
        adapter.send_signal(signal.SIGTERM)
        adapter.wait(timeout=30)
    ended = time.monotonic_ns()
    text = out_path.read_text(errors="replace")
    if returncode != 0 or ("SUCCESS!" not in text if kind == "tool" else "blocks" not in text):
        raise SystemExit(f"bench: {kind} failed over SLCAN on {image.name}:\n{text[-2000:]}")
    return {"started": started, "ended": ended, "cpu_s": usage.ru_utime + usage.ru_stime,
            "console_bytes": len(text.encode())}


def run_slcan_mode(args, sizes, clients, images, workdir, python, bit_timing):
    mode = "slcan-on" if bit_timing else "slcan"
    print(f"bench: {mode} ...", file=sys.stderr, flush=True)
    bus = Bus(args.build, bit_timing, workdir, port=SLCAN_PORT, tag=mode)
    runs = []
    try:
        for name in sizes:
            for _ in range(args.repeat_large if SIZES[name] >= 1 << 20 else args.repeat):
                for kind in clients:
                    time.sleep(0.3)  # the sensor's application is back after REBOOTME
                    run = {"mode": mode, "size": name, "client": kind, "load": load()}
                    run.update(run_slcan_client(kind, args.build, images[name], workdir, python))
                    runs.append(run)
                    print(f"bench:   {name} {kind} {mode} done (load {run['load']})",
                          file=sys.stderr, flush=True)
    finally:
        bus.stop()
    return best_runs(runs, parse_timing_log(bus.log_path))


def slcan_report(info, sizes):
    """The SLCAN target: the tool's median turnaround within 1.25 x the floor client's; what the
    tool and python-can add to the floor's median turnaround, as figures."""
    results = info["results"].get("slcan")
    if not results:
        return ""
    lines = ["", "SLCAN targets:"]
    for size in sizes:
        medians = {kind: results[(size, kind)]["turnaround_us"]["median"]
                   for kind in ("tool", "floor", "python") if (size, kind) in results}
        if "tool" not in medians or "floor" not in medians:
            continue
        ratio = medians["tool"] / medians["floor"]
        lines.append(f"  {'PASS' if ratio <= 1.25 else 'MISS'}  turnaround median tool/floor "
                     f"<= 1.25 (slcan, {size}): {ratio:.3f}")
        added = f"tool {medians['tool'] - medians['floor']:+.1f} us"
        if "python" in medians:
            added += f", python {medians['python'] - medians['floor']:+.1f} us"
        lines.append(f"        added median turnaround over the floor (slcan, {size}): {added}")
    return "\n".join(lines)


# ---- gs_usb mode -----------------------------------------------------------------------------
# Every client reaches the bus through a gs_usb (candleLight) adapter: `canbus-host
# --gs-usb-gadget`, a FunctionFS gadget on dummy_hcd, which only the VM tier has (root, the
# gadget modules). This run starts tests/vm/run-in-vm.sh with bench.py in it (--in-vm JSON); in
# there, as in the SLCAN mode, the bus host with its timing log and sensor-sim run for the whole
# mode on a port outside those the CAN library looks at, and the adapter is plugged in and joins
# the bus afresh for each run, so that the run's one new bus client is the adapter. The tool
# takes it by KORVANE_DEVICE (gsusb-PORT), the floor client opens it at its USB port; the
# kernel's gs_usb driver is not loaded (the VM has no udev to load it). The python-can peer is
# left out of this mode: python-can's gs_usb interface needs the modules gs_usb and usb (pyusb),
# which Debian's python3 here does not have.
GS_USB_PORT = 29600
GS_USB_RUNS = (("8K", 3), ("64K", 1))  # under tcg a block takes milliseconds
GS_USB_CLIENTS = ("tool", "floor")
GS_USB_CLIENT_TIMEOUT_S = 600
GS_USB_ATTEMPTS = 3  # per size and client; a 64K load takes minutes here
GS_USB_VM_TIMEOUT_S = 1800
ROOT = Path(__file__).resolve().parent.parent
GADGET_HELPER = ROOT / "tests/vm/gs_usb_gadget.sh"


def run_gs_usb_client(kind, build, image, workdir, python=None, address=None):
    out_path = Path(workdir) / f"{kind}-gs-usb.out"
    gadget_log = Path(workdir) / "gadget.log"
    started = time.monotonic_ns()
    up = subprocess.run([str(GADGET_HELPER), "up", str(gadget_log),
                         str(Path(build) / "virtual_bus/canbus-host"), "--join", str(GS_USB_PORT)],
                        capture_output=True, text=True, timeout=120)
    lines = up.stdout.split()
    if up.returncode != 0 or len(lines) != 2:
        raise SystemExit(f"bench: the gs_usb gadget did not come up:\n{up.stdout}{up.stderr}")
    pid, port = lines
    try:
        if kind == "tool":
            cmd = [str(Path(build) / "app/korvane-loader"), str(image)] + ([address] if address
                                                                            else [])
        else:
            cmd = [str(Path(build) / "bench/floor-client"), "--gs-usb", port, str(image)]
        with open(out_path, "w") as out:
            process = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=out,
                                       stderr=subprocess.STDOUT,
                                       env=dict(os.environ, KORVANE_DEVICE=f"gsusb-{port}"))
            process.stdin.write(b"\n")
            process.stdin.close()
            status, usage = wait_with_timeout(process, GS_USB_CLIENT_TIMEOUT_S)
            returncode = os.waitstatus_to_exitcode(status)
    finally:
        subprocess.run([str(GADGET_HELPER), "down", pid], timeout=60)
    ended = time.monotonic_ns()
    text = out_path.read_text(errors="replace")
    if returncode != 0 or ("SUCCESS!" not in text if kind == "tool" else "blocks" not in text):
        said = [line for line in text.splitlines() if "Sending data" not in line]
        raise RunFailed(f"{kind} failed over gs_usb on {image.name} (exit {returncode}): " +
                        " | ".join(line.strip() for line in said[-4:] if line.strip()),
                        {"started": started, "ended": ended,
                         "cpu_s": usage.ru_utime + usage.ru_stime,
                         "stream_begun": "Bootloader begin data stream" in text})
    return {"started": started, "ended": ended, "cpu_s": usage.ru_utime + usage.ru_stime,
            "console_bytes": len(text.encode())}


def run_inside_vm(args):
    """The gs-usb mode, in the VM: its figures (and the guest's machine) into args.in_vm."""
    clients = [kind for kind in args.clients.split(",") if kind in GS_USB_CLIENTS]
    with tempfile.TemporaryDirectory(prefix="korvane-bench-") as workdir:  # the guest's /tmp
        rng = random.Random(1)
        images = {}
        for name, _ in GS_USB_RUNS:
            images[name] = Path(workdir) / f"image-{name}.bin"
            images[name].write_bytes(bytes(rng.getrandbits(8) for _ in range(SIZES[name])))
        print("bench: gs-usb (in the VM) ...", file=sys.stderr, flush=True)
        bus = Bus(args.build, False, workdir, port=GS_USB_PORT, tag="gs-usb")
        runs, failed = [], []
        try:
            for name, count in GS_USB_RUNS:
                for _ in range(count):
                    for kind in clients:
                        resume = False
                        for attempt in range(GS_USB_ATTEMPTS):
                            time.sleep(0.3)  # the sensor's application is back after REBOOTME
                            run = {"mode": "gs-usb", "size": name, "client": kind, "load": load()}
                            try:
                                # After a failed load the tool resumes it (address 0): the same
                                # stream of the whole image.
                                run.update(run_gs_usb_client(kind, args.build, images[name],
                                                             workdir, address="0x00" if resume
                                                             else None))
                                runs.append(run)
                                break
                            except RunFailed as failure:
                                # Noted, with its window for the blocks it did stream; the
                                # sensor is power-cycled (its bootloader then runs, and a load
                                # that had begun its stream can be resumed).
                                run.update(failure.run)
                                failed.append({"failure": str(failure), "load": run["load"],
                                               "run": run})
                                print(f"bench:   {failure}", file=sys.stderr, flush=True)
                                bus.sim.stdin.write("power-cycle\n")
                                bus.sim.stdin.flush()
                                time.sleep(0.5)
                                resume = kind == "tool" and failure.run["stream_begun"]
                        else:
                            continue
                        print(f"bench:   {name} {kind} gs-usb done (guest load {run['load']})",
                              file=sys.stderr, flush=True)
        finally:
            bus.stop()
        log = parse_timing_log(bus.log_path)
        results = best_runs(runs, log)
        # A size and client with no load that ended well: the figures of the blocks that its
        # failed loads streamed, marked as such.
        for key in {(f["run"]["size"], f["run"]["client"]) for f in failed} - set(results):
            partial = []
            for f in failed:
                if (f["run"]["size"], f["run"]["client"]) == key:
                    try:
                        partial.append(analyse_run(f["run"], log))
                    except (SystemExit, ValueError, KeyError, IndexError):
                        pass  # it failed before streaming two blocks
            if partial:
                results[key] = dict(min(partial, key=lambda r: r["turnaround_us"]["median"]),
                                    failed_load=True)
                results[("all", key)] = partial
        shutil.copy(bus.log_path, Path(args.in_vm).with_name("timing-gs-usb.log"))
    info = {"failed_runs": [{"failure": f["failure"], "load": f["load"]} for f in failed]}
    Path(args.in_vm).write_text(json.dumps({"machine": machine(), "failed_runs": info["failed_runs"],
                                            "results": results_to_json(results)}) + "\n")


def run_gs_usb_in_vm(args, clients, workdir, info):
    """Runs the gs-usb mode in the VM tier; its results, or None (said) when no VM can run
    here. The host's load average is sampled while the VM runs."""
    if os.geteuid() != 0:
        print("bench: gs-usb SKIPPED: the VM tier's USB gadget needs root", flush=True)
        return None
    build = Path(args.build).resolve()
    out = Path(workdir).resolve() / "gs-usb-results.json"
    out.unlink(missing_ok=True)
    inner = [x for x in clients if x in GS_USB_CLIENTS]
    command = [str(ROOT / "tests/vm/run-in-vm.sh"), "--vcan", "0", "--timeout",
               str(GS_USB_VM_TIMEOUT_S), "--module", "dummy_hcd", "--module", "libcomposite",
               "--module", "usb_f_fs", "--share", str(build), "--workdir", str(out.parent), "--",
               "/usr/bin/python3", str(ROOT / "bench/bench.py"), "--build", str(build),
               "--in-vm", str(out), "--clients", ",".join(inner)]
    print("bench: gs-usb: in the VM tier (boots under emulation; minutes) ...", file=sys.stderr,
          flush=True)
    loads = []
    began = time.monotonic()
    vm = subprocess.Popen(command)
    while vm.poll() is None:
        loads.append(load())
        time.sleep(5)
    if vm.returncode == 77:
        print("bench: gs-usb SKIPPED: no VM can run here (run-in-vm.sh said why above)",
              flush=True)
        return None
    if vm.returncode != 0 or not out.exists():
        raise SystemExit(f"bench: the gs-usb run in the VM failed (status {vm.returncode})")
    inner_info = json.loads(out.read_text())
    info["failed_runs"] += [dict(f, failure="gs-usb: " + f["failure"])
                            for f in inner_info["failed_runs"]]
    info["gs_usb"] = {"guest": inner_info["machine"], "vm_s": round(time.monotonic() - began, 1),
                      "host_load": {"min": min(loads), "median": statistics.median(loads),
                                    "max": max(loads), "samples": len(loads)},
                      "runs": {name: count for name, count in GS_USB_RUNS},
                      "clients": inner}
    return results_from_json(inner_info["results"])


def gs_usb_report(info):
    """The gs_usb target: the tool's median turnaround within 1.25 x the floor client's, each
    size; and what the figures mean under emulation."""
    results = info["results"].get("gs-usb")
    if not results:
        return ""
    g = info["gs_usb"]
    h = g["host_load"]
    lines = ["", "gs_usb (in the VM tier):",
             f"  guest: {g['guest']['nproc']} x {g['guest']['cpu']}, Linux {g['guest']['kernel']}; "
             f"the VM run took {g['vm_s']} s",
             f"  host load average while the VM ran: min {h['min']}, median {h['median']}, "
             f"max {h['max']} ({h['samples']} samples, every 5 s); the table's load column is "
             "the guest's",
             "  runs: " + ", ".join(f"{name} x {count}" for name, count in g["runs"].items()) +
             f", clients {', '.join(g['clients'])}; the python-can peer is SKIPPED in this mode",
             "  under emulation (qemu tcg) the absolute times mean little: only the ratio to the "
             "floor client, measured beside it, does",
             "gs_usb targets:"]
    if any(isinstance(r, dict) and r.get("failed_load") for r in results.values()):
        lines.insert(-1, "  * no load of this size and client ended well (each block's echo has "
                     "100 ms, and under emulation on a loaded machine one can take longer): its "
                     "figures are those of the blocks that its failed loads streamed (Loads that "
                     "failed, above)")
    for size in g["runs"]:
        tool, floor = results.get((size, "tool")), results.get((size, "floor"))
        if not tool or not floor:
            continue
        tm, fm = tool["turnaround_us"]["median"], floor["turnaround_us"]["median"]
        ok = tm / fm <= 1.25
        name = f"turnaround median tool/floor <= 1.25 (gs-usb, {size})"
        figures = f"{tm:.1f} / {fm:.1f} us = {tm / fm:.3f}"
        for kind, r in (("tool", tool), ("floor", floor)):
            if r.get("failed_load"):
                figures += f" ({kind}: from the {r['blocks']} blocks of a load that failed)"
        lines.append(f"  {'PASS' if ok else 'MISS'}  {name}: {figures}")
        info.setdefault("targets", []).append({"target": name, "figures": figures, "pass": ok})
    return "\n".join(lines)


def report(info, sizes, clients):
    m = info["machine"]
    lines = [
        f"Machine: {m['nproc']} x {m['cpu']}, Linux {m['kernel']}; load average "
        f"{info['load_at_start']} at start (the machine is shared); build {info['build']}",
        f"Runs per client and size: {info['repeat']} below 1 MiB, {info['repeat_large']} for 1 MiB, "
        f"interleaved (tool, floor, python); the run with the lowest median turnaround is shown; "
        f"{'own network namespace' if info['network_namespace'] else 'shared loopback'}",
        "",
    ]
    if info.get("failed_runs"):
        lines.append(f"Loads that failed and were made again: {len(info['failed_runs'])}")
        lines += [f"  load {f['load']}: {f['failure'].splitlines()[0]}"
                  for f in info["failed_runs"]]
        lines.append("")
    targets = []
    for mode, results in info["results"].items():
        lines.append(f"== {plot.MODE_TITLES.get(mode, mode)} ==")
        header = f"{'size':>5} {'client':>7} | {'turnaround us: median':>21} {'p99':>7} {'max':>8} " \
                 f"{'x floor':>8} | {'stream s':>9} {'x floor':>8} | {'echo side':>9} | {'load':>5}"
        lines.append(header)
        lines.append("-" * len(header))
        mode_sizes = [size for size in sizes if any((size, kind) in results for kind in clients)]
        mode_clients = [kind for kind in clients if any((size, kind) in results for size in sizes)]
        for size in mode_sizes:
            floor = results.get((size, "floor"))
            for kind in mode_clients:
                r = results[(size, kind)]
                t = r["turnaround_us"]
                ratio = f"{t['median'] / floor['turnaround_us']['median']:.2f}" if floor else "-"
                sratio = f"{r['stream_s'] / floor['stream_s']:.3f}" if floor else "-"
                label = kind + ("*" if r.get("failed_load") else "")
                lines.append(f"{size:>5} {label:>7} | {t['median']:>21.1f} {t['p99']:>7.1f} "
                             f"{t['max']:>8.1f} {ratio:>8} | {r['stream_s']:>9.3f} {sratio:>8} | "
                             f"{r['echo_side_us']['median']:>9.1f} | {r['load']:>5}")
            tool = results.get((size, "tool"))
            if mode == "gs-usb":
                continue  # its target: gs_usb_report
            if tool and floor:
                tm, fm = tool["turnaround_us"]["median"], floor["turnaround_us"]["median"]
                tp, fp = tool["turnaround_us"]["p99"], floor["turnaround_us"]["p99"]
                targets.append((f"turnaround median tool/floor <= 1.25 ({mode}, {size})",
                                f"{tm:.1f} / {fm:.1f} us = {tm / fm:.3f}", tm / fm <= 1.25))
                targets.append((f"turnaround p99 tool/floor <= 2 ({mode}, {size})",
                                f"{tp:.1f} / {fp:.1f} us = {tp / fp:.3f}", tp / fp <= 2.0))
                if mode == "on" and size == "1M":
                    ratio = tool["stream_s"] / floor["stream_s"]
                    targets.append(("stream 1M tool/floor <= 1.05 (bit timing on)",
                                    f"{tool['stream_s']:.3f} / {floor['stream_s']:.3f} s = "
                                    f"{ratio:.4f}", ratio <= 1.05))
            python = results.get((size, "python"))
            if tool and floor:
                # What each client adds to the bare exchange, from runs side by side on one bus: a
                # figure (no target; docs/performance.md says why).
                fm = floor["turnaround_us"]["median"]
                added = f"tool {tool['turnaround_us']['median'] - fm:+.1f} us"
                if python:
                    added += f", python {python['turnaround_us']['median'] - fm:+.1f} us"
                lines.append(f"  added median turnaround over the floor ({size}): {added}")
        # CPU per block: difference between the largest and smallest image, each the least CPU
        # time of its runs (the least disturbed by the rest of the machine).
        if len(mode_sizes) >= 2:
            lo, hi = mode_sizes[0], mode_sizes[-1]
            cells = []
            for kind in mode_clients:
                a = min(results[("all", (lo, kind))], key=lambda r: r["cpu_s"])
                b = min(results[("all", (hi, kind))], key=lambda r: r["cpu_s"])
                per_block = (b["cpu_s"] - a["cpu_s"]) / (b["blocks"] - a["blocks"]) * 1e6
                cells.append(f"{kind} {per_block:.1f}")
                # Kept in the JSON too, so that runs can be set side by side: a change that
                # makes the tool's share worse shows here.
                info.setdefault("cpu_per_block_us", {}).setdefault(mode, {})[kind] = \
                    round(per_block, 2)
            lines.append(f"CPU per block, us ((cpu {hi} - cpu {lo}) / blocks): " + ", ".join(cells))
        # Every claim of every run of the loader, not only of the runs shown.
        claims = [c for key, runs in results.items() if isinstance(key, tuple) and key[0] == "all"
                  and key[1][1] == "tool" for r in runs for c in r.get("claims_ms", [])]
        if claims:
            worst = max(abs(c - 250.0) / 250.0 for c in claims)
            lines.append(f"Address claims (n={len(claims)}), ms: min {min(claims):.2f}, "
                         f"median {statistics.median(claims):.2f}, max {max(claims):.2f}; "
                         f"worst deviation {worst * 100:.2f} %")
            if mode != "gs-usb":  # under emulation the timers say little
                targets.append((f"each address claim within 5 % of 250 ms ({mode})",
                                f"worst {worst * 100:.2f} %", worst <= 0.05))
        floor_ms = results.get("timer_floor_ms")
        if floor_ms:
            lines.append(f"Timer floor, 250 bare 1-ms waits (timer-floor, n={len(floor_ms)}), ms: "
                         f"min {min(floor_ms):.2f}, median {statistics.median(floor_ms):.2f}, "
                         f"max {max(floor_ms):.2f}")
        lines.append("")
    if targets:
        lines.append("Targets:")
    for name, figures, ok in targets:
        lines.append(f"  {'PASS' if ok else 'MISS'}  {name}: {figures}")
    info["targets"] = [{"target": name, "figures": figures, "pass": ok}
                       for name, figures, ok in targets]
    return "\n".join(lines)


if __name__ == "__main__":
    main()
