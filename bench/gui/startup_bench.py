#!/usr/bin/env python3
"""Start-up benchmark of the Linux updater.

  python3 bench/gui/startup_bench.py --build build/default [--runs 7]

Under a private Xvfb, with the reference server on the demo catalog:
- the updater (the GUI test build, pointed at the local server) from its
  start to its first page (the list of updates) having loaded in the
  browser: the trace line "First page loaded.", written on WebKit's
  load-finished event;
- beside it, a minimal WebKitGTK window (bench/gui/minimal_webkit.c)
  loading a copy of the same page file, up to the same event.
Each is run several times; the medians and their ratio are printed.
Also the peak memory of each program's processes together (the program,
WebKitWebProcess and WebKitNetworkProcess; proportional set size, so shared
libraries count once), sampled every 20 ms until a second after the page.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "..", "tests", "gui"))
from guitest import Session  # noqa: E402

def group_memory(pgid):
    """Proportional set size (shared pages divided among their users) in
    bytes of every process of a process group, so that the libraries the
    processes share count once."""
    total = 0
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if int(fields[2]) != pgid:  # field 5, pgrp
                continue
            with open("/proc/%s/smaps_rollup" % pid) as f:
                for line in f:
                    if line.startswith("Pss:"):
                        total += int(line.split()[1]) * 1024
                        break
        except (OSError, IndexError, ValueError):
            continue
    return total


def run_once(s, args, env, log_path, settle=1.0):
    """Starts a program, returns (seconds to the marker, peak memory of its processes)."""
    log = open(log_path, "w")
    start = time.monotonic()
    proc = subprocess.Popen(args, env=env, stdout=subprocess.DEVNULL, stderr=log, start_new_session=True,
                            cwd=s.dir)
    s.procs.append(proc)
    peak, elapsed = 0, None
    deadline = start + 60
    while time.monotonic() < deadline:
        peak = max(peak, group_memory(proc.pid))
        if elapsed is None:
            with open(log_path, errors="replace") as f:
                if "First page loaded." in f.read():
                    elapsed = time.monotonic() - start
                    settle_until = time.monotonic() + settle
        elif time.monotonic() > settle_until:
            break
        time.sleep(0.02)
    os.killpg(proc.pid, 15)
    proc.wait(10)
    log.close()
    if elapsed is None:
        raise RuntimeError("no page from " + args[0])
    return elapsed, peak


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build/default")
    ap.add_argument("--runs", type=int, default=7)
    opts = ap.parse_args()
    build = os.path.abspath(opts.build)
    paths = {
        "QUON_GUI_APP": os.path.join(build, "tests", "gui", "quon-gui-test-app"),
        "QUON_SERVER": os.path.join(build, "server", "quon-update-server"),
        "QUON_CABLIB": os.path.join(build, "cablib", "libcablib.so"),
        "QUON_SAMPLE_EXE": os.path.join(build, "demo-product-files", "QUON.EXE"),
        "QUON_PACK": os.path.join(build, "tools", "quon-pack", "quon-pack"),
    }
    minimal = os.path.join(build, "bench", "quon-bench-minimal-webkit")
    s = Session("bench", paths=paths)
    try:
        s.start_xvfb()
        port = s.start_server(os.path.join(build, "demo-server"))
        s.make_product()
        env = dict(s.env)
        env["QUON_GUI_TEST_SERVER"] = "127.0.0.1:%d" % port
        env["QUON_UPDATE_TRACE"] = "1"
        app = os.path.join(s.product, "QuonUpdate")

        # One run to warm the caches and to get the page file.
        run_once(s, [app], env, os.path.join(s.dir, "warm.log"))
        page = os.path.join(s.dir, "page.html")
        # The updater deletes its page file only on quitting; killed, it stays.
        shutil.copy(os.path.join(s.product, "QuonUpdateLast.html"), page)
        run_once(s, [minimal, "file://" + page], s.env, os.path.join(s.dir, "warm2.log"))

        updater, baseline = [], []
        for i in range(opts.runs):
            updater.append(run_once(s, [app], env, os.path.join(s.dir, "u%d.log" % i)))
            baseline.append(run_once(s, [minimal, "file://" + page], s.env, os.path.join(s.dir, "m%d.log" % i)))
        u_time = statistics.median(t for t, _ in updater)
        m_time = statistics.median(t for t, _ in baseline)
        u_mem = max(m for _, m in updater)
        m_mem = max(m for _, m in baseline)
        print("runs: %d (after one warm-up each)" % opts.runs)
        print("updater start to list page loaded:   median %6.0f ms  (min %.0f, max %.0f)" % (
            u_time * 1000, min(t for t, _ in updater) * 1000, max(t for t, _ in updater) * 1000))
        print("minimal WebKitGTK window, same page: median %6.0f ms  (min %.0f, max %.0f)" % (
            m_time * 1000, min(t for t, _ in baseline) * 1000, max(t for t, _ in baseline) * 1000))
        print("ratio: %.2f  (target at most 1.30)" % (u_time / m_time))
        print("peak memory (PSS), all processes together: updater %.1f MB, minimal window %.1f MB" % (
            u_mem / 1e6, m_mem / 1e6))
        return 0
    finally:
        s.close()


if __name__ == "__main__":
    sys.exit(main())
