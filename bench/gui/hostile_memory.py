#!/usr/bin/env python3
"""Peak memory of the Linux updater with a hostile page on screen.

  python3 bench/gui/hostile_memory.py --build build/default [--case NAME] [--smoke] [--app PROGRAM]

Under a private Xvfb the updater (the GUI test build) talks to a scripted
server (tests/frontend/gtk/scripted_server.py) that answers with one of the
CASES below; the page the reply leads to is brought on screen (for the
install page the update's link is followed with the keyboard), and the
program is left on it for two seconds. Memory is sampled every 50 ms (see
sizes()). Printed per case: the peak of each of the program's processes
(the updater, WebKit's web and network processes), the sum of the peaks and
the peak of the updater's private pages (its heap, without the libraries
it shares); then the same for a minimal WebKitGTK window
(bench/gui/minimal_webkit.c) showing a copy of that page, and how far the
updater's process is above that window's. --smoke runs every case with inputs a
hundredth the size, to show that the benchmark still works.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "..", "tests", "frontend", "gtk"))
from guitest import Session  # noqa: E402
from scripted_server import ScriptedServer, file_reply, list_reply  # noqa: E402

MiB = 1 << 20


def one_update(code):
    return list_reply(code, 1, dbdata=b"7;46000;Hostile update;Its list file is hostile.")


def cab_with_list(work, list_text):
    """A cabinet holding only Update.List with `list_text`."""
    with open(os.path.join(work, "Update.List"), "wb") as f:
        f.write(list_text)
    cab = os.path.join(work, "hostile.cab")
    subprocess.run(["gcab", "-c", "-n", cab, "Update.List"], cwd=work, check=True)
    with open(cab, "rb") as f:
        return f.read()


# name: (what it sends, the reply to GetUpgradeList, archive's Update.List or None)
def cases(scale):
    size = int(15 * MiB * scale)
    return {
        "semicolons": ("a list reply of %d bytes of ';' (rows 1000000, cols 4)" % size,
                       lambda code: list_reply(code, 1000000, dbdata=b";" * size), None),
        "long_cells": ("a list reply of 5000 rows of 1500-byte names and descriptions",
                       lambda code: list_reply(code, 5000, dbdata=b";".join(
                           b"%d;46000;%s;%s" % (i + 1, b"n" * int(1500 * scale + 1), b"d" * int(1500 * scale + 1))
                           for i in range(5000))), None),
        "many_fields": ("a list reply of %d bytes of distinct fields" % size,
                        lambda code: b"GetUpgradeList" + b"code=" + code + b"&status=ACCEPTED&rows=0&" +
                        b"&".join(b"f%d=" % i for i in range(size // 9)), None),
        "install_entries": ("an Update.List of %d bytes of one-letter entries" % int(256 * 1024 * scale),
                            one_update, b"[MAIN]\r\n" + b"a\n" * int((128 * 1024 - 4) * scale)),
    }


def sizes(pgid):
    """The memory of each process of the group, by pid: (name, bytes, own
    bytes). Bytes are the proportional set size (PSS: shared pages divided
    among the processes that map them, so that the libraries they share
    count once), own bytes the pages that process alone maps (private: its
    heap, not the libraries); each raised by how far the resident set has
    ever been above its present size (VmHWM - VmRSS), so that a peak between
    two samples is not missed."""
    found = {}
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % pid) as f:
                head, rest = f.read().rsplit(")", 1)
            if int(rest.split()[2]) != pgid:
                continue
            name = head.split("(", 1)[1]
            with open("/proc/%s/status" % pid) as f:
                status = dict(line.split(":", 1) for line in f if ":" in line)
            above = int(status["VmHWM"].split()[0]) - int(status["VmRSS"].split()[0])
            with open("/proc/%s/smaps_rollup" % pid) as f:
                rollup = dict(line.split(":", 1) for line in f if ":" in line)
            pss = int(rollup["Pss"].split()[0])
            private = int(rollup["Private_Clean"].split()[0]) + int(rollup["Private_Dirty"].split()[0])
            found[int(pid)] = (name, (pss + above) * 1024, (private + above) * 1024)
        except (OSError, IndexError, KeyError, StopIteration, ValueError):
            continue
    return found


class Sampler:
    """The peaks of a program's processes (its process group), sampled."""

    def __init__(self, proc):
        self.proc = proc
        self.seen = {}  # pid: (name, peak)
        self.own = 0  # the peak of the program's own private memory
        self.exe = os.readlink("/proc/%d/exe" % proc.pid)

    def sample(self):
        for pid, value in sizes(self.proc.pid).items():
            # A child between its fork and its exec still maps the
            # program's pages: it is not one of the program's processes yet.
            try:
                if pid != self.proc.pid and os.readlink("/proc/%d/exe" % pid) == self.exe:
                    continue
            except OSError:
                continue
            self.seen[pid] = max(self.seen.get(pid, (value[0], 0)), value[:2], key=lambda v: v[1])
            if pid == self.proc.pid:
                self.own = max(self.own, value[2])

    def settle(self, seconds=2.0):
        until = time.monotonic() + seconds
        while time.monotonic() < until:
            self.sample()
            time.sleep(0.05)

    def total(self):
        return sum(v for _, v in self.seen.values())

    def report(self, label):
        print("  %s:" % label)
        for pid, (proc, value) in sorted(self.seen.items(), key=lambda kv: -kv[1][1]):
            print("    %-22s %7.1f MB" % ("the program" if pid == self.proc.pid else proc, value / 1e6))
        print("    %-22s %7.1f MB  (the sum of the peaks)" % ("all processes", self.total() / 1e6))
        print("    %-22s %7.1f MB  (the program's private pages, without the libraries)" % ("the program's own",
                                                                                          self.own / 1e6))


def run_case(build, app_path, wire, name, what, list_answer, list_file):
    paths = {
        "QUON_GUI_APP": app_path or os.path.join(build, "tests", "support", "quon-gui-test-app"),
        "QUON_SERVER": os.path.join(build, "server", "quon-update-server"),
        "QUON_CABLIB": os.path.join(build, "cablib", "libcablib.so"),
        "QUON_SAMPLE_EXE": os.path.join(build, "demo-product-files", "QUON.EXE"),
        "QUON_PACK": os.path.join(build, "tools", "quon-pack", "quon-pack"),
    }
    s = Session("memory-" + name, paths=paths)
    server = None
    try:
        archive = cab_with_list(s.dir, list_file) if list_file is not None else b""

        def answer(function, fields, n):
            code = fields.get(b"code", b"")
            if function == b"GetUpgradeList":
                return list_answer(code)
            return file_reply(code, b"6.0.122.3", archive)

        server = ScriptedServer(wire, answer)
        s.start_xvfb()
        s.make_product()
        app = s.start_app(server.port)
        updater = Sampler(app)

        def wait_for(what, done, timeout=600):
            deadline = time.monotonic() + timeout
            while not done():
                if time.monotonic() > deadline or app.poll() is not None:
                    raise RuntimeError("%s: %s did not come:\n%s" % (name, what, s.app_trace()[-2000:]))
                updater.sample()
                time.sleep(0.05)

        wait_for("the first page", lambda: "First page loaded." in s.app_trace())
        if list_file is not None:
            s.key(s.main_window(), "Tab", "Return")
            wait_for("the install page", lambda: s.app_trace().count("Page loaded.") >= 2)
        updater.settle()
        page = os.path.join(s.dir, "page.html")
        shutil.copy(os.path.join(s.product, "QuonUpdateLast.html"), page)
        print("%s: %s; page file %d bytes" % (name, what, os.path.getsize(page)))
        updater.report("updater")
        s.stop(app)

        # The same page in the least a GTK program needs to show one.
        log = os.path.join(s.dir, "minimal.log")
        minimal = s._spawn([os.path.join(build, "bench", "quon-bench-minimal-webkit"), "file://" + page], env=s.env,
                           stdout=subprocess.DEVNULL, stderr=open(log, "w"))
        baseline = Sampler(minimal)
        deadline = time.monotonic() + 600
        while "First page loaded." not in open(log).read() and time.monotonic() < deadline:
            baseline.sample()
            time.sleep(0.05)
        baseline.settle()
        baseline.report("minimal WebKitGTK window, same page")
        print("  updater beyond the minimal window: %.1f MB" % (
            (updater.seen[app.pid][1] - baseline.seen.get(minimal.pid, ("", 0))[1]) / 1e6))
        return updater.total()
    finally:
        if server:
            server.close()
        s.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build/default")
    ap.add_argument("--case", action="append", help="one of the cases (default: all)")
    ap.add_argument("--smoke", action="store_true", help="inputs a hundredth the size")
    ap.add_argument("--app", help="another build of the GUI test program, to compare")
    opts = ap.parse_args()
    build = os.path.abspath(opts.build)
    wire = os.path.join(build, "tools", "quon-wire", "quon-wire")
    table = cases(0.01 if opts.smoke else 1.0)
    for name in opts.case or list(table):
        run_case(build, opts.app and os.path.abspath(opts.app), wire, name, *table[name])
    return 0


if __name__ == "__main__":
    sys.exit(main())
