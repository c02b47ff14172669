"""Helpers of the GUI tests and the demo: a private Xvfb, the reference
update server, a throttling relay in front of it (so that a download lasts
long enough to be seen and cancelled), a sample product directory, the
updater, and input and inspection through xdotool, xprop and ImageMagick.

Everything started here is stopped by Session.close(), also on failure.
Only the standard library is used.
"""
import ctypes
import hashlib
import os
import random
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time


_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1


def _end_with_parent():
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)


MAIN = "QUON Update"   # the main window and every message box
WAIT = "QUON"          # the wait dialog, both forms
ABOUT = "About QuonUpdate"
# Window sizes from the dialog units (1.5 x 1.625 px per unit).
MAIN_SIZE = (545, 432)


class TestFailure(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise TestFailure(message)


def wait_until(what, predicate, timeout=30.0, interval=0.1):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TestFailure("timed out waiting for " + what)
        time.sleep(interval)


class SlowRelay:
    """A TCP relay on 127.0.0.1 that passes the server's replies on at a
    limited rate (bytes per second), one thread per connection."""

    def __init__(self, target_port, rate=100_000, port=0, delay=0.0):
        self.target = ("127.0.0.1", target_port)
        self.rate = rate
        self.delay = delay  # seconds before the first byte of each reply
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.stopped = False
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while not self.stopped:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    def _serve(self, client):
        try:
            upstream = socket.create_connection(self.target)
        except OSError:
            client.close()
            return
        piece = max(256, self.rate // 20)
        socks = [client, upstream]
        first = True
        try:
            while not self.stopped:
                ready, _, _ = select.select(socks, [], [], 0.5)
                for s in ready:
                    data = s.recv(piece)
                    if not data:
                        return
                    if s is client:
                        upstream.sendall(data)
                    else:
                        if first and self.delay:
                            time.sleep(self.delay)
                        first = False
                        client.sendall(data)
                        time.sleep(len(data) / self.rate)
        except OSError:
            pass
        finally:
            client.close()
            upstream.close()

    def close(self):
        self.stopped = True
        try:
            self.listener.close()
        except OSError:
            pass


def paths_from_env():
    """Where the build put what the tests need (set by CMake)."""
    need = ["QUON_GUI_APP", "QUON_SERVER", "QUON_PACK", "QUON_CABLIB", "QUON_SAMPLE_EXE"]
    missing = [n for n in need if not os.environ.get(n)]
    check(not missing, "missing environment: " + ", ".join(missing))
    return {n: os.environ[n] for n in need}


class Session:
    """One test's private world: temporary directory, Xvfb, server, relay,
    product directory and the updater."""

    def __init__(self, name, paths=None):
        self.name = name
        self.paths = paths if paths is not None else paths_from_env()
        self.dir = tempfile.mkdtemp(prefix="quon-gui-%s-" % name)
        self.procs = []
        self.relays = []
        self.display = None
        self.app = None
        self.shots = []
        self.env = dict(os.environ)

    # --- processes ------------------------------------------------------
    def _spawn(self, args, **kw):
        # Each in its own process group (stopped as a whole, WebKit's helper
        # processes included), and told to end should this script be killed
        # before it can clean up.
        proc = subprocess.Popen(args, start_new_session=True, preexec_fn=_end_with_parent, **kw)
        self.procs.append(proc)
        return proc

    def start_xvfb(self, size="1024x768x24"):
        read_fd, write_fd = os.pipe()
        self._spawn(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", size, "-nolisten", "tcp",
                     "-noreset"], pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        number = b""
        deadline = time.monotonic() + 20
        while not number.endswith(b"\n"):
            check(time.monotonic() < deadline, "Xvfb did not start")
            ready, _, _ = select.select([read_fd], [], [], 1.0)
            if ready:
                chunk = os.read(read_fd, 16)
                check(chunk, "Xvfb ended before it gave its display")
                number += chunk
        os.close(read_fd)
        self.display = ":" + number.decode().strip()
        self.env["DISPLAY"] = self.display
        self.env.pop("WAYLAND_DISPLAY", None)
        return self.display

    def start_server(self, root, listen="127.0.0.1:0"):
        self.server_log = os.path.join(self.dir, "server.log")
        out = open(self.server_log, "w+")
        # Its figures go to this session's folder, never into a shared catalog.
        proc = self._spawn([self.paths["QUON_SERVER"], "--root", root, "--listen", listen,
                            "--stats", os.path.join(self.dir, "stats.sqlite")],
                           stdout=subprocess.PIPE, stderr=out, text=True)
        line = proc.stdout.readline()
        m = re.match(r"listening on .*:(\d+)\s*$", line)
        check(m, "server did not start: %r" % line)
        self.server = proc
        return int(m.group(1))

    def file_requests(self):
        """How many GetUpgradeFile requests the server has logged."""
        with open(self.server_log, errors="replace") as f:
            return f.read().count(" GetUpgradeFile ")

    def start_relay(self, target_port, rate=100_000, port=0, delay=0.0):
        relay = SlowRelay(target_port, rate, port, delay)
        self.relays.append(relay)
        return relay.port

    # --- catalog and product --------------------------------------------
    def make_catalog(self, big_file_bytes=600_000, tag="", name="Sample service release",
                     description="Solver library and release notes.", list_name="Sample service release"):
        """A catalog of two updates for 6.0.121.3; update 7 carries a large
        file so that its download takes a while behind the relay. `name` and
        `description` are update 7's in the list, `list_name` the title in
        its Update.List; `tag` names a second catalog of the same session."""
        src = os.path.join(self.dir, "update-src" + tag)
        root = os.path.join(self.dir, "server-root" + tag)
        os.makedirs(os.path.join(src, "Help"))
        os.makedirs(root)
        rnd = random.Random(7)
        self.big_payload = bytes(rnd.getrandbits(8) for _ in range(big_file_bytes))
        with open(os.path.join(src, "QSolver.dll"), "wb") as f:
            f.write(self.big_payload)
        with open(os.path.join(src, "Help", "Readme.txt"), "w") as f:
            f.write("Service release notes\n")
        subprocess.run([self.paths["QUON_PACK"], "-o", os.path.join(root, "sample.cab"), "-C", src,
                        "--name", list_name, "--description", "Solver library and notes.",
                        "QSolver.dll", "Help/Readme.txt"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run([self.paths["QUON_PACK"], "-o", os.path.join(root, "notes.cab"), "-C", src,
                        "--name", "Release notes", "Help/Readme.txt"], check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(root, "catalog.ini"), "w") as f:
            f.write("[update 7]\nposted = 2026-05-04\nname = %s\n"
                    "description = %s\napplies-to = 6.0.121.3\n" % (name, description) +
                    "archive = sample.cab\nbrings = 6.0.122.0\n\n"
                    "[update 8]\nposted = 2026-05-05\nname = Release notes\n"
                    "description = The notes alone.\napplies-to = 6.0.121.3\n"
                    "archive = notes.cab\nbrings = 6.0.121.4\n")
        return root

    def make_product(self, app=None, app_name="QuonUpdate", dir_name="product"):
        product = os.path.join(self.dir, dir_name)
        os.makedirs(product)
        shutil.copy2(app or self.paths["QUON_GUI_APP"], os.path.join(product, app_name))
        shutil.copy2(self.paths["QUON_CABLIB"], os.path.join(product, "libcablib.so"))
        shutil.copy2(self.paths["QUON_SAMPLE_EXE"], os.path.join(product, "QUON.EXE"))
        with open(os.path.join(product, "QSolver.dll"), "wb") as f:
            f.write(b"old solver\n")
        self.product = product
        return product

    def start_app(self, server_port, app_name="QuonUpdate", extra_env=None):
        env = dict(self.env)
        env["QUON_GUI_TEST_SERVER"] = "127.0.0.1:%d" % server_port
        env["QUON_UPDATE_TRACE"] = "1"
        env.update(extra_env or {})
        self.app_log = os.path.join(self.dir, "app.log")
        self.app = self._spawn([os.path.join(self.product, app_name)], env=env, cwd=self.dir,
                               stdout=subprocess.DEVNULL, stderr=open(self.app_log, "w"))
        return self.app

    def app_trace(self):
        with open(self.app_log, errors="replace") as f:
            return f.read()

    def wait_trace(self, text, timeout=30):
        return wait_until("trace %r" % text, lambda: text in self.app_trace(), timeout)

    def page(self):
        path = os.path.join(self.product, "QuonUpdateLast.html")
        try:
            with open(path, "rb") as f:
                return f.read().decode("latin-1")
        except FileNotFoundError:
            return None

    def wait_page(self, text, timeout=30):
        return wait_until("page containing %r" % text, lambda: (self.page() or "").find(text) >= 0, timeout)

    def wait_exit(self, timeout=30):
        try:
            return self.app.wait(timeout)
        except subprocess.TimeoutExpired:
            raise TestFailure("the updater did not end")

    # --- X11 -------------------------------------------------------------
    def x(self, *args, check_rc=True):
        r = subprocess.run(list(args), env=self.env, capture_output=True, text=True, timeout=30)
        if check_rc and r.returncode != 0:
            raise TestFailure("%s failed: %s" % (" ".join(args), r.stderr.strip()))
        return r.stdout

    def windows(self, title):
        """Visible windows whose title is exactly `title`."""
        out = self.x("xdotool", "search", "--onlyvisible", "--name", "^%s$" % re.escape(title), check_rc=False)
        return [int(w) for w in out.split()]

    def wait_window(self, title, timeout=30, count=1):
        return wait_until("window %r" % title, lambda: (lambda ws: ws if len(ws) >= count else None)(
            self.windows(title)), timeout)

    def wait_no_window(self, title, timeout=30):
        wait_until("window %r to go" % title, lambda: not self.windows(title), timeout)

    def wm_class(self, window):
        out = self.x("xprop", "-id", str(window), "WM_CLASS")
        return re.findall(r'"([^"]*)"', out)

    def geometry(self, window):
        out = self.x("xdotool", "getwindowgeometry", "--shell", str(window))
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def focus(self, window):
        self.x("xdotool", "windowfocus", "--sync", str(window), check_rc=False)
        time.sleep(0.2)

    def key(self, window, *keys):
        self.focus(window)
        for k in keys:
            self.x("xdotool", "key", "--clearmodifiers", k)
            time.sleep(0.25)

    def close_box(self, window):
        """What a window manager's close box does: WM_DELETE_WINDOW."""
        helper = os.environ.get("QUON_HELPER_WINDOW")
        check(helper, "QUON_HELPER_WINDOW not set")
        subprocess.run([helper, "--close", str(window)], env=self.env, check=True, timeout=30)
        time.sleep(0.3)

    def type_text(self, window, text):
        self.focus(window)
        self.x("xdotool", "type", "--delay", "40", text)
        time.sleep(0.2)

    def start_tinyproxy(self, user, password):
        """A tinyproxy on a free loopback port that asks for Basic
        credentials; returns its port."""
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        conf = os.path.join(self.dir, "tinyproxy.conf")
        with open(conf, "w") as f:
            f.write('Port %d\nListen 127.0.0.1\nTimeout 30\nLogFile "%s"\nLogLevel Info\nMaxClients 20\n'
                    "DisableViaHeader Yes\nBasicAuth %s %s\n" % (port, os.path.join(self.dir, "tinyproxy.log"),
                                                                   user, password))
        self._spawn(["tinyproxy", "-d", "-c", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def accepting():
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
                return True
            except OSError:
                return False
        wait_until("tinyproxy", accepting, timeout=15)
        return port

    def main_window(self, timeout=30):
        """The main window: the one window titled QUON Update of the main size."""
        return wait_until("the main window", lambda: next(
            (w for w in self.windows(MAIN) if self.geometry(w)[2:] == MAIN_SIZE), None), timeout)

    def message_box(self, main):
        """The message box over the main window (another window of that title)."""
        return wait_until("a message box", lambda: next((w for w in self.windows(MAIN) if w != main), None))

    def click_close(self, main):
        self.click_dlu(main, 306 + 25, 249 + 7)

    def click_about(self, main):
        self.click_dlu(main, 214 + 25, 249 + 7)

    def click_dlu(self, window, x_dlu, y_dlu):
        """A real pointer click at a point of a window given in dialog units."""
        px, py = int(x_dlu * 1.5), int(y_dlu * 1.625)
        self.x("xdotool", "mousemove", "--window", str(window), str(px), str(py))
        time.sleep(0.1)
        self.x("xdotool", "click", "1")

    def link_lines(self, window):
        """The text lines of the links (drawn in the pages' link colour, blue,
        or their visited colour, #2f0f60) in a window, as (x, y) points to
        click, relative to the window, top to bottom."""
        raw = subprocess.run(["import", "-window", str(window), "-depth", "8", "ppm:-"], env=self.env, capture_output=True,
                             timeout=30).stdout
        # P6 header: magic, width, height, maximum, then RGB bytes.
        fields, pos = [], 0
        while len(fields) < 4:
            while raw[pos:pos + 1].isspace():
                pos += 1
            start = pos
            while not raw[pos:pos + 1].isspace():
                pos += 1
            fields.append(raw[start:pos])
        pos += 1
        width, height = int(fields[1]), int(fields[2])
        pixels = raw[pos:]
        rows = []
        for y in range(height):
            line = pixels[y * width * 3:(y + 1) * width * 3]
            xs = [x for x in range(width) if line[3 * x:3 * x + 3] in (b"\x00\x00\xff", b"\x2f\x0f\x60")]
            rows.append((min(xs), max(xs)) if len(xs) > 3 else None)
        points, y = [], 0
        while y < height:
            if rows[y] is None:
                y += 1
                continue
            top = y
            while y < height and rows[y] is not None:
                y += 1
            left = min(r[0] for r in rows[top:y])
            right = max(r[1] for r in rows[top:y])
            if y - top >= 5:
                points.append(((left + right) // 2, (top + y) // 2))
        return points

    def click_at(self, window, x, y):
        self.x("xdotool", "mousemove", "--window", str(window), str(x), str(y))
        time.sleep(0.1)
        self.x("xdotool", "click", "1")

    def screenshot(self, name):
        path = os.path.join(self.dir, "%02d-%s.png" % (len(self.shots) + 1, name))
        self.x("import", "-window", "root", path)
        self.shots.append(path)
        return path

    def check_not_blank(self, path, timeout=10):
        """A window just mapped may not be painted yet on a busy machine: the
        screen is taken again until it shows something, for a while."""
        deadline = time.time() + timeout
        while True:
            out = self.x("convert", path, "-format", "%k", "info:")
            colours = int(out.strip() or 0)
            if colours > 8 or time.time() > deadline:
                break
            time.sleep(0.2)
            self.x("import", "-window", "root", path)
        check(colours > 8, "screenshot %s looks blank (%d colours)" % (path, colours))

    def product_files(self):
        """The product directory's files but the page file, as relative path
        to (size, SHA-256)."""
        files = {}
        for top, _, names in os.walk(self.product):
            for n in names:
                path = os.path.join(top, n)
                rel = os.path.relpath(path, self.product)
                if rel != "QuonUpdateLast.html":
                    with open(path, "rb") as f:
                        files[rel] = (os.path.getsize(path), hashlib.sha256(f.read()).hexdigest())
        return files

    # --- end -------------------------------------------------------------
    def stop(self, proc):
        """Stops one process started here (its whole group) and waits."""
        if proc.poll() is None:
            try:
                os.killpg(proc.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait(5)

    def close(self, keep=False):
        for relay in self.relays:
            relay.close()
        for proc in reversed(self.procs):
            if proc.poll() is None:
                try:
                    os.killpg(proc.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
        for proc in reversed(self.procs):
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                try:
                    os.killpg(proc.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                proc.wait(5)
        if not keep:
            shutil.rmtree(self.dir, ignore_errors=True)
