#!/usr/bin/env python3
"""The command-line mode of the Linux updater against the reference server,
without a display. Usage: test_cli.py CASE, where CASE is a row of ROADS
(run from a non-terminal: stdin /dev/null, stdout and stderr pipes) or one
of SPECIAL: Ctrl+C during the download, running product applications (under
Xvfb), the window's road against the command line's, compared request by
request and file by file (under Xvfb), and the demo catalog's story.
"""
import hashlib
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from guitest import Session, SlowRelay, TestFailure, check, wait_until  # noqa: E402

VERSION_6_0_121_3 = bytes([6, 0, 0, 0, 121, 0, 3, 0])
UP_TO_DATE = "Your version of QUON is up-to-date. There are no updates available at this time."
DONE = "QUON has been updated successfully."


def version_file(v):
    a, b, c, d = (int(x) for x in v.split("."))
    return bytes([a, 0, b, 0, c, 0, d, 0])


def make_world(s, extra=""):
    """Catalog: 7 (6.0.121.3 -> 6.0.122.3, the solver and notes) and 8
    (6.0.122.3 -> 6.0.123.3, the notes), plus `extra` sections; product:
    QUON.EXE 6, 0, 3, 0 with Quon.Version 6.0.121.3."""
    src = os.path.join(s.dir, "update-src")
    root = os.path.join(s.dir, "server-root")
    os.makedirs(os.path.join(src, "Help"))
    os.makedirs(root)
    s.big_payload = os.urandom(300_000)
    with open(os.path.join(src, "QSolver.dll"), "wb") as f:
        f.write(s.big_payload)
    with open(os.path.join(src, "Help", "Readme.txt"), "w") as f:
        f.write("Service release notes\n")
    for cab, files in (("sample.cab", ["QSolver.dll", "Help/Readme.txt"]), ("notes.cab", ["Help/Readme.txt"])):
        subprocess.run([s.paths["QUON_PACK"], "-o", os.path.join(root, cab), "-C", src, "--name", cab] + files,
                       check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(root, "corrupt.cab"), "wb") as f:
        f.write(b"MSCF" + os.urandom(4000))
    shutil_copy(os.path.join(root, "notes.cab"), os.path.join(root, "gone.cab"))
    with open(os.path.join(root, "catalog.ini"), "w") as f:
        f.write("[update 7]\nposted = 2026-05-04\nname = Sample service release\n"
                "description = Solver library and release notes.\napplies-to = 6.0.121.3\n"
                "archive = sample.cab\nbrings = 6.0.122.3\n\n"
                "[update 8]\nposted = 2026-05-05\nname = Release notes\ndescription = The notes alone.\n"
                "applies-to = 6.0.122.3\narchive = notes.cab\nbrings = 6.0.123.3\n\n" + extra)
    s.port = s.start_server(root)
    product = s.make_product()
    shutil_copy(os.environ["QUON_SAMPLE_EXE_VF"], os.path.join(product, "QUON.EXE"))
    with open(os.path.join(product, "Quon.Version"), "wb") as f:
        f.write(VERSION_6_0_121_3)
    return product


def shutil_copy(a, b):
    with open(a, "rb") as fa, open(b, "wb") as fb:
        fb.write(fa.read())


def cli_env(s, port=None, display=False):
    env = {k: v for k, v in s.env.items() if display or k != "DISPLAY"}
    env["QUON_GUI_TEST_SERVER"] = "127.0.0.1:%d" % (port or s.port)
    return env


def run_cli(s, args, port=None, timeout=60, display=False):
    env = cli_env(s, port, display)
    r = subprocess.run([os.path.join(s.product, "QuonUpdate")] + args, env=env, cwd=s.dir, stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=timeout)
    return r.returncode, r.stdout.decode("utf-8", "replace"), r.stderr.decode("utf-8", "replace")


def read(path, mode="rb"):
    with open(path, mode) as f:
        return f.read()


def no_debris(s):
    left = [n for n in os.listdir(s.product) if re.match(r"update\d+\.\d{4}", n) or n == "QuonUpdateLast.html"]
    check(not left, "update files left behind: %s" % left)


def closed_port():
    import socket
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    sock.close()
    return port


EXTRA = ("[update 9]\nposted = 2026-05-06\nname = Extra\ndescription = x\napplies-to = 6.0.121.3\n"
         "archive = %s\nbrings = 6.0.122.3\n")

# name: (catalog extra, setup(s), args, exit code, stdout has, stderr has, check(s, out))
ROADS = {
    "list": ("", None, ["--list"], 1,
             ["7\tMay 04, 2026\tSample service release\tSolver library and release notes.\n"], [], None),
    "up_to_date": ("", lambda s: write(s, "Quon.Version", version_file("6.0.123.3")), ["--list"], 0,
                   [UP_TO_DATE], [], None),
    "install_one": ("", None, ["--install", "7", "--log", "LOG"], 0, ["Update 7: Sample service release", DONE], [],
                    lambda s, out: (check(read(os.path.join(s.product, "QSolver.dll")) == s.big_payload, "solver"),
                                    check(read(os.path.join(s.product, "Quon.Version")) == version_file("6.0.122.3"),
                                          "Quon.Version"),
                                    check("\r" not in out, "no in-place progress when not a terminal"),
                                    check(re.search(r"^Downloading file...  300 KB  of  300 KB", out, re.M), "plain progress lines"),
                                    check_log(s, ["Update 7: Sample service release", DONE, "Exit code 0"]))),
    "install_all": ("", None, ["--install", "all", "--quiet", "--log", "LOG"], 0, [], [],
                    lambda s, out: (check(out == "", "--quiet prints nothing: %r" % out),
                                    check(read(os.path.join(s.product, "Quon.Version")) == version_file("6.0.123.3"),
                                          "both updates installed"),
                                    check(s.file_requests() == 2, "one download each"),
                                    check_log(s, ["Update 7:", "Update 8:", UP_TO_DATE, "Exit code 0"]))),
    # The version is QUON.EXE's own, which the update does not replace: the
    # server offers update 7 again, and the run stops instead of looping.
    "all_repeats": ("", lambda s: (shutil_copy(s.paths["QUON_SAMPLE_EXE"], os.path.join(s.product, "QUON.EXE")),
                                   os.remove(os.path.join(s.product, "Quon.Version"))),
                    ["--install", "all"], 3, [DONE], ["still offers update 7 after it was installed"],
                    lambda s, out: check(s.file_requests() == 1, "update 7 downloaded once")),
    "not_offered": ("", None, ["--install", "8"], 2, [], ["Update 8 is not offered"], None),
    "usage": ("", None, ["--install", "seven"], 2, [], ["--install needs an update number"], None),
    "no_server": ("", lambda s: setattr(s, "port", closed_port()), ["--list", "--log", "LOG"], 3, [],
                  ["Can not connect"], lambda s, out: check_log(s, ["Can not connect", "Exit code 3"])),
    # The archive goes after the server has read its catalog: the server
    # refuses the download with its own sentence.
    "refused": (EXTRA % "gone.cab", lambda s: os.remove(os.path.join(s.dir, "server-root", "gone.cab")),
                ["--install", "9"], 3, [], ["cannot be downloaded at the moment"], None),
    "corrupt": (EXTRA % "corrupt.cab", None, ["--install", "9"], 4, [], ["The downloaded file is corrupted"], None),
    # A directory where the update puts a file: not copied, even as root.
    "files_failed": ("", lambda s: (os.remove(os.path.join(s.product, "QSolver.dll")),
                                    os.makedirs(os.path.join(s.product, "QSolver.dll", "held"))), ["--install", "7"], 5,
                     [], ["Following file(s) were not updated:\n  QSolver.dll\n"],
                     lambda s, out: check(read(os.path.join(s.product, "Quon.Version")) == VERSION_6_0_121_3,
                                          "Quon.Version untouched")),
    "no_product": ("", lambda s: os.remove(os.path.join(s.product, "QUON.EXE")), ["--list"], 6, [],
                   ["must be placed in the QUON directory"], None),
}


def write(s, name, data):
    with open(os.path.join(s.product, name), "wb") as f:
        f.write(data)


def check_log(s, texts):
    log = read(os.path.join(s.dir, "LOG"), "r")
    for line in log.splitlines():
        check(re.match(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d ", line), "log line without its time: %r" % line)
    for text in texts:
        check(text in log, "log lacks %r:\n%s" % (text, log))


def run_road(s, name):
    extra, setup, args, code, outs, errs, after = ROADS[name]
    make_world(s, extra)
    if setup:
        setup(s)
    args = [os.path.join(s.dir, a) if a == "LOG" else a for a in args]
    rc, out, err = run_cli(s, args)
    check(rc == code, "exit code %d, not %d\nstdout: %s\nstderr: %s" % (rc, code, out, err))
    for text in outs:
        check(text in out, "stdout lacks %r:\n%s" % (text, out))
    for text in errs:
        check(text in err, "stderr lacks %r:\n%s" % (text, err))
    if after:
        after(s, out)
    no_debris(s)


class RecordingRelay(SlowRelay):
    """Passes everything on at once and keeps what the clients sent."""

    def __init__(self, target_port):
        self.sent = []
        super().__init__(target_port, rate=1 << 30)

    def _serve(self, client):
        record = bytearray()
        self.sent.append(record)
        super()._serve(_Recorder(client, record))


class _Recorder:
    def __init__(self, sock, record):
        self.sock, self.record = sock, record

    def recv(self, n):
        data = self.sock.recv(n)
        self.record += data
        return data

    def __getattr__(self, name):
        return getattr(self.sock, name)


def requests_of(s, sent):
    """Each request as (request line and headers but the length, body
    function, decoded fields)."""
    out = []
    for raw in sent:
        raw = bytes(raw)
        while raw:
            head, _, rest = raw.partition(b"\r\n\r\n")
            lines = head.split(b"\r\n")
            length = next(int(l.split(b":")[1]) for l in lines if l.lower().startswith(b"content-length:"))
            body, raw = rest[:length], rest[length:]
            function = next(f for f in (b"GetUpgradeList", b"GetUpgradeFile") if body.startswith(f))
            fields = subprocess.run([s.paths["QUON_WIRE"], "decode", "--unscramble"], input=body[len(function):],
                                    capture_output=True, check=True).stdout
            # The reply's check value: each call draws its own from the time.
            fields, n = re.subn(rb"^code=[1-9][0-9]{0,3}$", b"code=(drawn)", fields, flags=re.M)
            check(n == 1, "a request without its code field: %r" % fields)
            out.append(([l for l in lines if not l.lower().startswith(b"content-length:")], function, fields))
    return out


def tree(path):
    files = {}
    for top, _, names in os.walk(path):
        for n in names:
            p = os.path.join(top, n)
            files[os.path.relpath(p, path)] = hashlib.sha256(read(p)).hexdigest()
    return files


def test_same_wire(s):
    """Update 7 through the window and through --install 7, from two equal
    product directories: the same requests reach the server (the scrambled
    fields compared after unscrambling, since each call scrambles with its own
    salt, and the code field only checked for its form, since each call draws
    it) and the same files end in the product directory."""
    window_product = make_world(s)
    relay = RecordingRelay(s.port)
    s.relays.append(relay)
    s.start_xvfb()
    s.start_app(relay.port)
    main = s.main_window()
    s.wait_trace("First page loaded.")
    s.key(main, "Tab", "Return")
    s.wait_page('<a href="#install"', timeout=60)
    s.key(main, "Tab", "Return")
    s.wait_page(DONE)
    s.click_close(main)
    check(s.wait_exit() == 0, "the window's exit code")
    window_calls = len(relay.sent)

    cli_product = s.make_product(dir_name="cli-product")
    shutil_copy(os.environ["QUON_SAMPLE_EXE_VF"], os.path.join(cli_product, "QUON.EXE"))
    write(s, "Quon.Version", VERSION_6_0_121_3)
    rc, out, err = run_cli(s, ["--install", "7"], port=relay.port)
    check(rc == 0, "exit code %d: %s" % (rc, err))

    window, cli = requests_of(s, relay.sent[:window_calls]), requests_of(s, relay.sent[window_calls:])
    check([r[1] for r in window] == [b"GetUpgradeList", b"GetUpgradeFile"], "the window's calls: %r" % window)
    check(window == cli, "requests differ:\nwindow %r\ncli    %r" % (window, cli))
    check(tree(window_product) == tree(cli_product), "product directories differ")


def test_interrupt(s):
    """Ctrl+C during the download ends it like the window's Cancel: the
    partial archive goes, nothing is installed, exit code 130."""
    make_world(s)
    slow = s.start_relay(s.port, rate=30_000)
    app = s._spawn([os.path.join(s.product, "QuonUpdate"), "--install", "7"], env=cli_env(s, slow), cwd=s.dir,
                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    archive = os.path.join(s.product, "update7.0000")
    wait_until("data arriving", lambda: os.path.exists(archive) and os.path.getsize(archive) > 30_000)
    app.send_signal(2)
    out, err = app.communicate(timeout=30)
    check(app.returncode == 130, "exit code %d: %s" % (app.returncode, err))
    check(b"Interrupted" in err, "said so: %r" % err)
    check(read(os.path.join(s.product, "QSolver.dll")) == b"old solver\n", "nothing installed")
    no_debris(s)


def test_running_apps(s):
    """A product application runs: without --yes and without a terminal
    nothing is installed (5) and nothing is sent to it; with --yes it gets
    the window's close request, and the update is installed."""
    make_world(s)
    s.start_xvfb()
    helper = s._spawn([os.environ["QUON_HELPER_WINDOW"], "QuonSolverFrame", "--hidden"], env=s.env,
                      stdout=subprocess.PIPE, text=True)
    check(helper.stdout.readline().startswith("ready "), "helper window")
    rc, out, err = run_cli(s, ["--install", "7"], display=True)
    check(rc == 5 and "give --yes" in err, "without --yes: %d %s" % (rc, err))
    check(helper.poll() is None and read(os.path.join(s.product, "QSolver.dll")) == b"old solver\n",
          "nothing sent, nothing installed")
    no_debris(s)
    rc, out, err = run_cli(s, ["--install", "7", "--yes"], display=True)
    check(rc == 0, "with --yes: %d %s" % (rc, err))
    check(helper.stdout.readline().split() == ["request", "1038", "4294967295", "0"], "close request received")
    check(read(os.path.join(s.product, "QSolver.dll")) == s.big_payload, "installed")


def test_demo_story(s):
    """The demo catalog against the demo product (6.0.121.3): Service Pack 1
    brings the QUON.EXE of 6.0.122.3, the hotfix is offered next, and after
    it the product is up to date; --install all ends with 0."""
    s.port = s.start_server(os.environ["QUON_DEMO_SERVER"])
    s.make_product()
    rc, out, err = run_cli(s, ["--install", "all"])
    check(rc == 0, "exit code %d\nstdout: %s\nstderr: %s" % (rc, out, err))
    steps = [out.find(t) for t in ("Update 101: Quon 6.0 Service Pack 1", "Update 201: Hotfix", UP_TO_DATE)]
    check(-1 not in steps and steps == sorted(steps), "the service pack, the hotfix, up to date:\n" + out)
    check(s.file_requests() == 2, "two downloads")
    no_debris(s)


SPECIAL = {"same_wire": test_same_wire, "interrupt": test_interrupt, "running_apps": test_running_apps,
           "demo_story": test_demo_story}


def main(argv):
    if len(argv) != 2 or (argv[1] not in ROADS and argv[1] not in SPECIAL):
        print(__doc__)
        return 2
    s = Session("cli-" + argv[1])
    s.paths["QUON_WIRE"] = os.environ["QUON_WIRE"]
    try:
        if argv[1] in SPECIAL:
            SPECIAL[argv[1]](s)
        else:
            run_road(s, argv[1])
        print("PASS %s" % argv[1])
        return 0
    except TestFailure as failure:
        print("FAIL %s: %s" % (argv[1], failure))
        return 1
    finally:
        s.close()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
