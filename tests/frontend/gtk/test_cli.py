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
import shutil
import signal
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from guitest import Session, SlowRelay, TestFailure, check, wait_until  # noqa: E402
from scripted_server import ScriptedServer, fields_text, file_reply, list_reply  # noqa: E402

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
    # An archive the administrator brings, without the server: installed
    # from a copy, the file itself untouched.
    "archive_brings": ("", lambda s: setattr(s, "port", closed_port()),
                       ["--install-archive", "@server-root/sample.cab", "--brings", "6.0.122.3", "--yes"], 0,
                       [DONE], [],
                       lambda s, out: (check(read(os.path.join(s.product, "QSolver.dll")) == s.big_payload, "solver"),
                                       check(read(os.path.join(s.product, "Quon.Version")) ==
                                             version_file("6.0.122.3"), "Quon.Version"),
                                       check(s.file_requests() == 0, "nothing asked of the server"),
                                       check(read(os.path.join(s.dir, "server-root", "sample.cab")) ==
                                             read(os.path.join(s.dir, "sample.cab.orig")), "the file untouched"))),
    "archive_no_version": ("", None, ["--install-archive", "@server-root/sample.cab"], 2, [],
                           ["has no release file: give the version it brings with --brings"], None),
    "archive_backwards": ("", None, ["--install-archive", "@server-root/sample.cab", "--brings", "6.0.120.9"], 4, [],
                          ["brings version 6.0.120.9, which is not newer than the installed version 6.0.121.3"],
                          lambda s, out: check(read(os.path.join(s.product, "Quon.Version")) == VERSION_6_0_121_3,
                                               "Quon.Version untouched")),
    "archive_missing": ("", None, ["--install-archive", "@nowhere.cab", "--brings", "6.0.122.3"], 4, [],
                        ["is not a file that can be read"], None),
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
    shutil_copy(os.path.join(s.dir, "server-root", "sample.cab"), os.path.join(s.dir, "sample.cab.orig"))
    args = [os.path.join(s.dir, a) if a == "LOG" else os.path.join(s.dir, a[1:]) if a.startswith("@") else a
            for a in args]
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
    partial archive goes, nothing is installed, exit code 130. So do SIGTERM,
    SIGHUP (a closed terminal, a dropped ssh session) and SIGQUIT (item 10 of
    issue 21). An end asked for while product applications are given time to
    close leaves the product as it is."""
    make_world(s)
    slow = s.start_relay(s.port, rate=30_000)
    archive = os.path.join(s.product, "update7.0000")
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT):
        app = s._spawn([os.path.join(s.product, "QuonUpdate"), "--install", "7"], env=cli_env(s, slow), cwd=s.dir,
                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        wait_until("data arriving", lambda: os.path.exists(archive) and os.path.getsize(archive) > 30_000)
        app.send_signal(sig)
        out, err = app.communicate(timeout=30)
        check(app.returncode == 130, "%s: exit code %d: %s" % (sig.name, app.returncode, err))
        check(b"Interrupted" in err, "%s: said so: %r" % (sig.name, err))
        check(read(os.path.join(s.product, "QSolver.dll")) == b"old solver\n", "%s: nothing installed" % sig.name)
        no_debris(s)

    s.start_xvfb()
    helper = s._spawn([os.environ["QUON_HELPER_WINDOW"], "QuonSolverFrame", "--hidden", "--ignore"], env=s.env,
                      stdout=subprocess.PIPE, text=True)
    check(helper.stdout.readline().startswith("ready "), "helper window")
    app = s._spawn([os.path.join(s.product, "QuonUpdate"), "--install", "7", "--yes"], env=cli_env(s, display=True),
                   cwd=s.dir, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    check(helper.stdout.readline().startswith("request "), "the close request")
    app.send_signal(signal.SIGQUIT)
    out, err = app.communicate(timeout=30)
    check(app.returncode == 130, "while applications close: exit code %d: %s" % (app.returncode, err))
    check(read(os.path.join(s.product, "QSolver.dll")) == b"old solver\n", "nothing installed")
    check(read(os.path.join(s.product, "Quon.Version")) == VERSION_6_0_121_3, "the version stays")
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


def scripted_world(s, answer):
    """A product of 6.0.121.3 (QUON.EXE 6, 0, 3, 0 with Quon.Version) whose
    server is a ScriptedServer answering with `answer`; a small archive of
    Help/Readme.txt is at s.archive."""
    src = os.path.join(s.dir, "update-src")
    os.makedirs(os.path.join(src, "Help"))
    with open(os.path.join(src, "Help", "Readme.txt"), "w") as f:
        f.write("Service release notes\n")
    cab = os.path.join(s.dir, "notes.cab")
    subprocess.run([s.paths["QUON_PACK"], "-o", cab, "-C", src, "--name", "Notes", "Help/Readme.txt"], check=True,
                   stdout=subprocess.DEVNULL)
    s.archive = read(cab)
    server = ScriptedServer(os.environ["QUON_WIRE"], answer)
    s.relays.append(server)  # closed with the session
    s.port = server.port
    product = s.make_product()
    shutil_copy(os.environ["QUON_SAMPLE_EXE_VF"], os.path.join(product, "QUON.EXE"))
    with open(os.path.join(product, "Quon.Version"), "wb") as f:
        f.write(VERSION_6_0_121_3)
    return server


# What must never reach a terminal or a log (the output is UTF-8): C0
# controls but tab and LF, DEL, C1 controls, bidirectional controls, the
# line and paragraph separators, and an overlong CSI.
UNSAFE = re.compile(rb"[\x00-\x08\x0b-\x1f\x7f]|\xc2[\x80-\x9f]|\xe2\x80[\x8e\x8f\xa8-\xae]|"
                    rb"\xe2\x81[\xa6-\xa9]|\xd8\x9c|\xe0\x82\x9b")


def test_hostile_text(s):
    """Item 7 of issue 21: texts of the server with terminal commands (C0
    and C1 controls, bidirectional overrides, line separators, Windows-1252
    bytes that are C1 controls, an overlong CSI) reach neither the terminal
    nor the log nor the trace as they are; the rest of them does."""
    rows = [b"7;46000;Name\x1b]0:owned\x07 \xc2\x9b" b"2J \xe2\x80\xaeevil\xe2\x81\xa6 \xe2\x80\xa8end;"
            b"caf\xc3\xa9 \xd8\x9c\xe2\x80\x8f.",
            b"8;46000;Old\xe0\x82\x9b" b"2J \x9d\x81\x8d\x8f\x90 caf\xe9;plain"]

    def answer(function, fields, n):
        if n == 0:  # the first call is sent elsewhere, to a hostile address
            return 302, [("Location", b"http://127.0.0.1:1/\x1b[2J\xe2\x80\xae\xc2\x9b")], b""
        return list_reply(fields[b"code"], 2, dbdata=b";".join(rows))

    scripted_world(s, answer)
    log = os.path.join(s.dir, "LOG")
    env = cli_env(s)
    env["QUON_UPDATE_TRACE"] = "1"
    outputs = []
    for expected in (3, 1):
        r = subprocess.run([os.path.join(s.product, "QuonUpdate"), "--list", "--log", log], env=env, cwd=s.dir,
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        check(r.returncode == expected, "exit code %d, not %d: %r" % (r.returncode, expected, r.stderr[-2000:]))
        outputs += [r.stdout, r.stderr]
    outputs.append(read(log))
    for text in outputs:
        bad = UNSAFE.search(text)
        check(not bad, "%r reached the output: %r" % (bad and bad.group(0), text[-3000:]))
    out = outputs[2].decode("utf-8")
    check("7\tDecember 09, 2025\tName?]0:owned? ?2J ?evil? ?end\tcaf\u00e9 ??." in out, "the rest stays: %r" % out)
    check("8\tDecember 09, 2025\tOld\u00e0\u201a\u203a2J ????? caf\u00e9\tplain" in out, "as Windows-1252: %r" % out)


def test_log_targets(s):
    """Item 8 of issue 21: --log never writes through a symbolic link and
    never waits on a FIFO; what is not a regular file is refused (2) with a
    clear message; a log that cannot be written is told once, and the run
    goes on."""
    make_world(s)
    victim = os.path.join(s.dir, "victim")
    write_file = lambda path, data=b"": open(path, "wb").write(data)  # noqa: E731
    cases = [  # (name, setup(log), exit code, stderr has)
        ("symbolic link", lambda log: (write_file(victim), os.symlink(victim, log)), 2, "it is a symbolic link"),
        ("dangling link", lambda log: os.symlink(os.path.join(s.dir, "nowhere"), log), 2, "it is a symbolic link"),
        ("FIFO", lambda log: os.mkfifo(log), 2, "it is not a regular file"),
        ("device", lambda log: os.symlink("/dev/full", log), 2, "it is a symbolic link"),
        ("directory", lambda log: os.mkdir(log), 2, "cannot open the log file"),
        ("regular file", lambda log: write_file(log, b"earlier\n"), 1, None),
    ]
    for n, (name, setup, code, says) in enumerate(cases):
        log = os.path.join(s.dir, "log%d" % n)
        setup(log)
        rc, out, err = run_cli(s, ["--list", "--log", log], timeout=20)
        check(rc == code, "%s: exit code %d, not %d: %s" % (name, rc, code, err))
        check(says is None or says in err, "%s: %r" % (name, err))
    check(read(victim) == b"" and not os.path.exists(os.path.join(s.dir, "nowhere")), "nothing written through a link")
    check(read(os.path.join(s.dir, "log5")).startswith(b"earlier\n"), "appended")
    rc, out, err = run_cli(s, ["--list", "--log", "/dev/full"], timeout=20)
    check(rc == 2 and "it is not a regular file" in err, "a device: %d %s" % (rc, err))

    # A log on a full disk: every write fails (a file size limit stands for
    # the disk), and the run goes on.
    import resource
    import signal
    full = os.path.join(s.dir, "full.log")
    write_file(full, b"x" * 4096)

    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
    r = subprocess.run([os.path.join(s.product, "QuonUpdate"), "--list", "--log", full], env=cli_env(s), cwd=s.dir,
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=60, preexec_fn=limit)
    err = r.stderr.decode("utf-8", "replace")
    check(r.returncode == 1 and b"Sample service release" in r.stdout, "the run goes on: %d %s" % (r.returncode, err))
    check(err.count("cannot write to the log file") == 1, "told once: %r" % err)


def test_all_endless(s):
    """Item 9 of issue 21: a server that offers a new update each round
    (the version never changes) is stopped after as many installations as
    its first list offered and ten more, with 3."""
    def answer(function, fields, n):
        if function == b"GetUpgradeList":
            return list_reply(fields[b"code"], 1, dbdata=b"%d;46000;Round %d;Again." % (100 + n, n))
        return file_reply(fields[b"code"], b"6.0.121.3", s.archive)

    server = scripted_world(s, answer)
    rc, out, err = run_cli(s, ["--install", "all"], timeout=120)
    check(rc == 3, "exit code %d: %s" % (rc, err))
    check("The server still offers updates after 11 were installed in this run" in err, err)
    check(server.count(b"GetUpgradeFile") == 11, "%d downloads" % server.count(b"GetUpgradeFile"))


def test_resume(s):
    """Downloads that resume: a download cut at 60% by a server that
    announced resume is asked for again from where it was cut and
    installed; one from an old server (no resume) is asked for again from
    the start, without the new fields. The first request is the same as
    ever."""
    for announce in (True, False):
        def answer(function, fields, n, announce=announce):
            if function == b"GetUpgradeList":
                return list_reply(fields[b"code"], 1, dbdata=b"7;46000;Notes;The notes.")
            archive = s.archive
            start = 0
            if n == 1 and announce:
                start = int(fields[b"resumefrom"])
            header = [(b"code", fields[b"code"]), (b"status", b"ACCEPTED"), (b"updateversion", b"6.0.122.3"),
                      (b"filepos", b"%d" % start), (b"downloadlength", b"%d" % len(archive))]
            if announce:
                header += [(b"resume", b"1"), (b"sha256", hashlib.sha256(archive).hexdigest().encode())]
            data = archive[start:] if n > 0 else archive[:len(archive) * 6 // 10]
            text = b"GetUpgradeFile" + fields_text(header)
            return b"BytesCount" + struct.pack("<I", len(text)) + text + data

        server = scripted_world(s, answer)
        rc, out, err = run_cli(s, ["--install", "7"], timeout=60)
        check(rc == 0, "resume=%s: exit code %d: %s" % (announce, rc, err))
        check(read(os.path.join(s.product, "Help", "Readme.txt")) == b"Service release notes\n", "installed")
        files = [f for fn, f in server.requests if fn == b"GetUpgradeFile"]
        check(len(files) == 2, "%d file requests" % len(files))
        check(set(files[0]) == {b"KeyID", b"KeyType", b"KeyVersion", b"updateversion", b"TableID", b"DB", b"code",
                                b"VI"}, "the first request as ever: %r" % sorted(files[0]))
        resumed = {k: v for k, v in files[1].items() if k not in (b"code",)}
        first = {k: v for k, v in files[0].items() if k not in (b"code",)}
        if announce:
            check(resumed.pop(b"resumefrom") == b"%d" % (len(s.archive) * 6 // 10), "resumefrom")
            check(resumed.pop(b"sha256") == hashlib.sha256(s.archive).hexdigest().encode(), "sha256")
        check(resumed == first, "the same fields again: %r" % resumed)
        # The next round starts from an installation of 6.0.121.3 again.
        shutil.rmtree(s.product)
        shutil.rmtree(os.path.join(s.dir, "update-src"))
        s.relays.remove(server)
        server.close()


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


def product_state(s):
    """'old', 'new' (update 7 wholly in place) or what is mixed."""
    def at(name):
        path = os.path.join(s.product, name)
        return read(path) if os.path.isfile(path) else None
    old = {"QSolver.dll": b"old solver\n", "Help/Readme.txt": None, "Quon.Version": VERSION_6_0_121_3}
    new = {"QSolver.dll": s.big_payload, "Help/Readme.txt": b"Service release notes\n",
           "Quon.Version": version_file("6.0.122.3")}
    now = {name: at(name) for name in old}
    return "old" if now == old else "new" if now == new else "mixed: %r" % {k: (v or b"")[:20] for k, v in now.items()}


def no_installation_left(s):
    left = [os.path.join(top, n) for top, dirs, names in os.walk(s.product) for n in names + dirs
            if ".quonupd" in n or n.startswith("QuonUpdate.undo")]
    check(not left, "left of the installation: %s" % left)


def test_transaction(s):
    """The product is wholly old or wholly new, whatever happens: a
    read-only file keeps the whole update out (and it is offered again); a
    SIGKILL at any rename of the run (strace injects it) leaves it wholly old
    or new once the next start has finished or undone the installation; and
    under umask 000 nothing of it is group- or world-writable, its
    temporaries created 0600."""
    make_world(s)
    solver = os.path.join(s.product, "QSolver.dll")
    os.chmod(solver, 0o444)
    rc, out, err = run_cli(s, ["--install", "7"])
    check(rc == 5 and "Following file(s) were not updated:\n  QSolver.dll\n  Help\\Readme.txt\n" in err,
          "read-only: exit code %d: %s" % (rc, err))
    check(product_state(s) == "old", "a read-only file: %s" % product_state(s))
    no_installation_left(s)
    rc, out, err = run_cli(s, ["--list"])
    check(rc == 1 and out.startswith("7\t"), "offered again: %d %s" % (rc, out))
    os.chmod(solver, 0o644)

    kills = 0
    for syscall in ("renameat", "renameat2"):
        for n in range(1, 40):
            write(s, "QSolver.dll", b"old solver\n")
            write(s, "Quon.Version", VERSION_6_0_121_3)
            if os.path.isdir(os.path.join(s.product, "Help")):
                subprocess.run(["rm", "-rf", os.path.join(s.product, "Help")], check=True)
            r = subprocess.run(["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + syscall, "-e",
                                "inject=%s:signal=SIGKILL:when=%d" % (syscall, n),
                                os.path.join(s.product, "QuonUpdate"), "--install", "7"],
                               env=cli_env(s), cwd=s.dir, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
            if r.returncode == 0:
                check(product_state(s) == "new", "%s %d: not killed, yet %s" % (syscall, n, product_state(s)))
                break
            kills += 1
            rc, out, err = run_cli(s, ["--list", "--log", os.path.join(s.dir, "LOG")])  # the next start
            state = product_state(s)
            check(state in ("old", "new"), "killed at %s %d, after the next start: %s" % (syscall, n, state))
            # Update 7 is offered again to the old product, update 8 to the new one.
            offered = "7\t" if state == "old" else "8\t"
            check(rc == 1 and offered in out, "%s %d: %s, exit code %d: %s" % (syscall, n, state, rc, out))
            no_installation_left(s)
    check(kills >= 6, "only %d kills" % kills)
    print("killed at %d renames, each time wholly old or new after the next start" % kills)

    write(s, "QSolver.dll", b"old solver\n")
    write(s, "Quon.Version", VERSION_6_0_121_3)
    subprocess.run(["rm", "-rf", os.path.join(s.product, "Help")], check=True)
    os.chmod(solver, 0o640)
    trace = os.path.join(s.dir, "strace.txt")
    r = subprocess.run(["strace", "-f", "-qq", "-o", trace, "-e", "trace=openat",
                        os.path.join(s.product, "QuonUpdate"), "--install", "7"],
                       env=cli_env(s), cwd=s.dir, stdin=subprocess.DEVNULL, capture_output=True, timeout=60,
                       preexec_fn=lambda: os.umask(0))
    check(r.returncode == 0, "umask 000: %d %s" % (r.returncode, r.stderr))
    for top, dirs, names in os.walk(s.product):
        for n in dirs + names:
            mode = os.lstat(os.path.join(top, n)).st_mode
            check(not mode & 0o022, "%s is writable by others: %o" % (os.path.join(top, n), mode & 0o7777))
    check(os.stat(solver).st_mode & 0o777 == 0o640, "the replaced file keeps its mode")
    check(os.stat(os.path.join(s.product, "Help")).st_mode & 0o777 == 0o755, "a new folder is 0755")
    check(os.stat(os.path.join(s.product, "Help", "Readme.txt")).st_mode & 0o777 == 0o644, "a new file is 0644")
    created = [l for l in read(trace, "r").splitlines() if ".quonupd" in l and "O_CREAT" in l]
    check(created and all(l.rstrip().split(", ")[-1].startswith("0600)") for l in created),
          "temporaries made 0600: %s" % created)


# The administrator's policy file of the policy test program: {port} is the
# server's, {closed} a port nobody listens on. The program itself is given
# the closed port, so that only a policy server is reached.
# (policy, args, exit code, stderr has, product at 6.0.122.3 afterwards)
POLICIES = [
    ("Server = http://127.0.0.1:{port}\n", ["--install", "7", "--yes"], 0, [], True),
    ("Server = http://127.0.0.1:{port}\nUpdates = off\n", ["--list"], 7,
     ["Updates of QUON are managed by your administrator."], False),
    ("Updates = off\nHoldAt = 6.0.122\n", ["--install-archive", "@server-root/sample.cab", "--brings", "6.0.122.3"],
     0, [], True),
    ("Server = http://127.0.0.1:{port}\nHoldAt = 6.0.121\n", ["--install", "7"], 5,
     ["holds this installation at version 6.0.121: the update to version 6.0.122.3 is not installed"], False),
    ("HoldAt = 6.0.121\n", ["--install-archive", "@server-root/sample.cab", "--brings", "6.0.122.3"], 5,
     ["holds this installation at version 6.0.121"], False),
    ("Server = http://127.0.0.1:{port}\nProxy = http://127.0.0.1:{closed}\n", ["--list"], 3, ["Can not connect"],
     False),
    ("# site\nServer = gopher://127.0.0.1:{port}\n", ["--list"], 7, ["QuonUpdate.conf, line 2: Server"], False),
    ("Server = http://127.0.0.1:{port}\nChannel = beta\n", ["--list"], 1, ["line 2: the key Channel is not known"],
     False),
    ("DIRECTORY", ["--list"], 7, ["QuonUpdate.conf is not a regular file"], False),
    ("WRITABLE", ["--list"], 7, ["may be changed by other users than root"], False),
]


def test_policy(s):
    make_world(s)
    policy = os.environ["QUON_POLICY_FILE"]
    os.makedirs(os.path.dirname(policy), exist_ok=True)
    closed = closed_port()
    try:
        for i, (text, args, code, errs, updated) in enumerate(POLICIES):
            product = s.make_product(app=os.environ["QUON_POLICY_APP"], dir_name="policy-%d" % i)
            shutil_copy(os.environ["QUON_SAMPLE_EXE_VF"], os.path.join(product, "QUON.EXE"))
            with open(os.path.join(product, "Quon.Version"), "wb") as f:
                f.write(VERSION_6_0_121_3)
            s.product = product
            if os.path.isdir(policy):
                os.rmdir(policy)
            elif os.path.exists(policy):
                os.remove(policy)
            if text == "DIRECTORY":
                os.mkdir(policy)
            else:
                with open(policy, "w") as f:
                    f.write("Server = http://127.0.0.1:{port}\n" if text == "WRITABLE" else
                            text.format(port=s.port, closed=closed))
                os.chmod(policy, 0o666 if text == "WRITABLE" else 0o644)
            rc, out, err = run_cli(s, [os.path.join(s.dir, a[1:]) if a.startswith("@") else a for a in args],
                                   port=closed)
            where = "policy %r, %s" % (text, args)
            check(rc == code, "%s: exit code %d, not %d\nstdout: %s\nstderr: %s" % (where, rc, code, out, err))
            for e in errs:
                check(e in err, "%s: stderr lacks %r:\n%s" % (where, e, err))
            version = read(os.path.join(product, "Quon.Version"))
            check(version == (version_file("6.0.122.3") if updated else VERSION_6_0_121_3), "%s: version" % where)
            no_debris(s)
    finally:
        if os.path.isdir(policy):
            os.rmdir(policy)
        elif os.path.exists(policy):
            os.remove(policy)


def test_rollback(s):
    """--rollback after --install 7, which replaced QSolver.dll and
    Quon.Version and added Help/Readme.txt (in a folder it made): the backup
    survives the next start's clean-up; the rollback puts the product back
    (the added file and its folder gone, the mode kept, the backup gone) and
    the update is offered again; nothing to roll back is 2; a file that
    cannot be restored is 5 and nothing changes."""
    make_world(s)
    solver = os.path.join(s.product, "QSolver.dll")
    backup = os.path.join(s.product, "QuonUpdate.Backup")
    write(s, "QSolver.dll", b"old solver\n")
    os.chmod(solver, 0o640)
    rc, out, err = run_cli(s, ["--rollback"])
    check(rc == 2 and "There is no installation to roll back." in err, "before: %d %s" % (rc, err))
    for attempt in ("read-only", "restored"):
        rc, out, err = run_cli(s, ["--install", "7"])
        check(rc == 0 and product_state(s) == "new", "install: %d %s %s" % (rc, err, product_state(s)))
        rc, out, err = run_cli(s, ["--list"])
        check(rc == 1 and os.path.isfile(os.path.join(backup, "journal")), "the backup after a start: %d" % rc)
        if attempt == "read-only":
            os.chmod(solver, 0o444)
            rc, out, err = run_cli(s, ["--rollback", "--yes"])
            check(rc == 5 and "Nothing was rolled back." in err, "read-only: %d %s" % (rc, err))
            check(product_state(s) == "new" and os.path.isdir(backup), "read-only: %s" % product_state(s))
            no_installation_left(s)
            os.chmod(solver, 0o640)
            rc, out, err = run_cli(s, ["--rollback", "--yes"])
        else:
            rc, out, err = run_cli(s, ["--rollback"])
        check(rc == 0 and "Rolled back from version 6.0.122.3 to version 6.0.121.3." in out,
              "rollback: %d %s %s" % (rc, out, err))
        check(product_state(s) == "old" and not os.path.exists(os.path.join(s.product, "Help")),
              "after the rollback: %s" % product_state(s))
        check(os.stat(solver).st_mode & 0o777 == 0o640, "the restored file keeps its mode")
        check(not os.path.exists(backup), "the backup is gone")
        no_installation_left(s)
    rc, out, err = run_cli(s, ["--rollback"])
    check(rc == 2, "a second rollback: %d %s" % (rc, err))
    rc, out, err = run_cli(s, ["--list"])
    check(rc == 1 and out.startswith("7\t"), "offered again: %d %s" % (rc, out))

    # A SIGKILL at any rename of the rollback: after the next start the
    # product is wholly new with its backup, or wholly old without one.
    kills = 0
    for n in range(1, 40):
        if product_state(s) == "old":
            rc, out, err = run_cli(s, ["--install", "7"])
            check(rc == 0, "install %d: %s" % (n, err))
        r = subprocess.run(["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=rename,renameat,renameat2", "-e",
                            "inject=rename,renameat,renameat2:signal=SIGKILL:when=%d" % n,
                            os.path.join(s.product, "QuonUpdate"), "--rollback"],
                           env=cli_env(s), cwd=s.dir, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        if r.returncode == 0:
            check(product_state(s) == "old", "rollback %d: not killed, yet %s" % (n, product_state(s)))
            break
        kills += 1
        rc, out, err = run_cli(s, ["--list"])  # the next start
        state = product_state(s)
        check(state in ("old", "new") and os.path.isdir(backup) == (state == "new"),
              "killed at rename %d of the rollback: %s, backup %s" % (n, state, os.path.isdir(backup)))
        no_installation_left(s)
    check(kills >= 4, "only %d kills" % kills)
    print("killed the rollback at %d renames, each time wholly old or new after the next start" % kills)


SPECIAL = {"policy": test_policy, "same_wire": test_same_wire, "transaction": test_transaction, "rollback": test_rollback, "interrupt": test_interrupt, "running_apps": test_running_apps,
           "hostile_text": test_hostile_text, "log_targets": test_log_targets,
           "all_endless": test_all_endless, "demo_story": test_demo_story, "resume": test_resume}


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
