#!/usr/bin/env python3
"""Runs the demo (called by scripts/demo): a sample product directory, the
reference server on the demo catalog at the port built into the demo
updater, and the updater.

  demo_walk.py --build DIR --port N [--shots DIR] [--signed CERT KEY]

The demo catalog tells one story: the product is 6.0.121.3; Service Pack 1
brings QUON.EXE 6.0.122.3, after which the mesher hotfix is offered; after
the hotfix the product is up to date.

With a display ($DISPLAY set) the updater opens there; when its window
closes after an update was installed, it opens again (as a user would start
it again to look for the next update), and the demo ends when it closes
without one. Without a display it runs under a private Xvfb with a window
manager, walks the story through by itself (list, About box, a click on
Service Pack 1, the download, the install page, the quit question answered
No, install, Close; the updater again: the hotfix offered, installed; the
updater again: up to date) and saves a screenshot of every stage in the
shots folder. The link to the server is slowed there, so that the wait
dialogs stay up long enough to be photographed. Everything started is
stopped at the end, also on failure or interruption.

With --signed the updater was built to require archives signed by CERT:
the demo catalog's archives are signed with CERT and KEY, and the first
update's archive then has one byte changed. The walk clicks that update and
shows the refusal: the box naming the reason, the archive deleted, nothing
installed.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from guitest import ABOUT, MAIN, WAIT, Session, TestFailure, check, wait_until  # noqa: E402

DONE = "QUON has been updated successfully."
UP_TO_DATE = "Your version of QUON is up-to-date. There are no updates available at this time."

# Installed files of the sample product (the updates replace some of them).
PRODUCT_FILES = {
    "QSolver.dll": b"solver 6.0.121.3\n",
    "QMesh.dll": b"mesher 6.0.121.3\n",
    "Help/Quon.chm": b"help 6.0.121.3\n",
    "Materials/Metals.mlib": b"metals 2025-11\n",
    "Materials/Composites.mlib": b"composites 2025-11\n",
}


def prepare_product(s, build):
    product = os.path.join(s.dir, "Quon 6.0")  # a blank in the path, as installations have
    os.makedirs(product)
    shutil.copy2(os.path.join(build, "src", "frontend", "gtk", "QuonUpdate"), product)
    shutil.copy2(os.path.join(build, "cablib", "libcablib.so"), product)
    shutil.copy2(os.path.join(build, "demo-product-files", "QUON.EXE"), product)
    for name, data in PRODUCT_FILES.items():
        path = os.path.join(product, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    s.product = product
    return product


class Shots:
    def __init__(self, s, folder):
        self.s, self.folder, self.n = s, folder, 0
        os.makedirs(folder, exist_ok=True)

    def take(self, name, around):
        """A screenshot of the screen cut to the main window's frame (or the
        given window's), so that its dialogs show too."""
        self.n += 1
        full = os.path.join(self.s.dir, "full.png")
        self.s.x("import", "-window", "root", full)
        x, y, w, h = self.s.geometry(around)
        left, top = max(0, x - 12), max(0, y - 40)
        path = os.path.join(self.folder, "%02d-%s.png" % (self.n, name))
        self.s.x("convert", full, "-crop", "%dx%d+%d+%d" % (w + 24, h + 52, left, top), "+repage", path)
        self.s.check_not_blank(path)
        print("  screenshot " + path, flush=True)


def sign_catalog(s, root, cert, key):
    """A copy of the demo server's root whose archives are signed, the first
    update's (quon-6.0-sp1.cab) with one byte of its data changed."""
    signed = os.path.join(s.dir, "demo-server-signed")
    shutil.copytree(root, signed)
    for name in os.listdir(signed):
        if name.endswith(".cab"):
            path = os.path.join(signed, name)
            subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256",
                            "-in", path, "-out", path + ".signed"], check=True, stdout=subprocess.DEVNULL)
            os.replace(path + ".signed", path)
    with open(os.path.join(signed, "quon-6.0-sp1.cab"), "r+b") as f:
        data = bytearray(f.read())
        cabinet = int.from_bytes(data[8:12], "little")  # the signature follows the cabinet
        data[cabinet // 2] ^= 0x01
        f.seek(0)
        f.write(data)
    return signed


def walk_refused(s, shots):
    s.wait_window(WAIT, timeout=60)
    main = s.main_window(timeout=60)
    s.wait_trace("First page loaded.")
    time.sleep(0.7)
    shots.take("updates", main)
    links = s.link_lines(main)
    check(links, "links on the list page")
    s.click_at(main, *links[0])  # the tampered update
    s.wait_trace("archive refused", timeout=60)
    box = s.message_box(main)
    time.sleep(0.7)
    shots.take("refused", main)
    s.key(box, "Return")
    wait_until("the box to close", lambda: box not in s.windows(MAIN))
    left = [n for n in os.listdir(s.product) if n.startswith("update101")]
    check(not left, "the refused archive was deleted and nothing unpacked: %s" % left)
    with open(os.path.join(s.product, "QSolver.dll"), "rb") as f:
        check(f.read() == PRODUCT_FILES["QSolver.dll"], "QSolver.dll is untouched")
    s.click_close(main)  # updates are still offered: the quit question, answered Yes
    s.key(s.message_box(main), "Return")
    check(s.wait_exit() == 0, "the updater ended")


def walk(s, shots, port):
    wait = s.wait_window(WAIT, timeout=60)[0]
    time.sleep(0.5)
    shots.take("connecting", wait)
    main = s.main_window(timeout=60)
    s.wait_trace("First page loaded.")
    time.sleep(0.7)
    shots.take("updates", main)

    s.click_about(main)
    about = s.wait_window(ABOUT)[0]
    time.sleep(0.5)
    shots.take("about", main)
    s.key(about, "Return")
    s.wait_no_window(ABOUT)

    links = s.link_lines(main)
    check(links, "links on the list page")
    s.click_at(main, *links[0])  # the first update's link
    s.wait_window(WAIT, timeout=30)
    s.wait_trace("InternetCall_Function_GetFile (502)", timeout=30)
    time.sleep(1.5)
    shots.take("download", main)
    s.wait_no_window(WAIT, timeout=60)
    s.wait_page('<a href="#install"')
    time.sleep(0.7)
    shots.take("install-page", main)

    s.click_close(main)  # before the update is complete
    box = s.message_box(main)
    time.sleep(0.5)
    shots.take("quit-question", main)
    s.key(box, "Tab", "Return")  # No
    wait_until("the question to close", lambda: box not in s.windows(MAIN))

    links = s.link_lines(main)
    check(len(links) == 1, "one link on the install page")
    s.click_at(main, *links[0])  # the install link
    s.wait_page(DONE)
    time.sleep(0.7)
    shots.take("installed", main)
    with open(os.path.join(s.product, "QSolver.dll"), "rb") as f:
        check(f.read() != PRODUCT_FILES["QSolver.dll"], "QSolver.dll was replaced")

    s.click_close(main)  # complete: no question
    check(s.wait_exit() == 0, "the updater ended")
    check(s.page() is None, "the page file was removed")

    # Started again: the service pack brought QUON.EXE 6.0.122.3, and the
    # hotfix for that version is offered next.
    main = restart(s, port)
    check("#update201" in s.page() and "#update101" not in s.page(), "the hotfix offered, and only it")
    shots.take("next-update", main)
    s.click_at(main, *s.link_lines(main)[0])
    s.wait_page('<a href="#install"', timeout=60)
    s.click_at(main, *s.link_lines(main)[0])
    s.wait_page(DONE)
    s.click_close(main)
    check(s.wait_exit() == 0, "the updater ended")

    # And again: nothing more to offer.
    main = restart(s, port)
    check(UP_TO_DATE in s.page(), "up to date after the hotfix")
    shots.take("up-to-date", main)
    s.click_close(main)  # nothing incomplete: no question
    check(s.wait_exit() == 0, "the updater ended")


def restart(s, port):
    """The updater started again, once its first page has loaded."""
    s.start_app(port)
    main = s.main_window(timeout=60)
    s.wait_trace("First page loaded.", timeout=60)
    time.sleep(0.7)
    return main


def open_until_done(s, port):
    """With a display: the updater, again after each run that installed an
    update (its QUON.EXE changed), until a run installs nothing."""
    exe = os.path.join(s.product, "QUON.EXE")
    while True:
        with open(exe, "rb") as f:
            before = f.read()
        s.start_app(port)
        s.app.wait()
        with open(exe, "rb") as f:
            if f.read() == before:
                return
        print("An update was installed; QuonUpdate opens again to look for the next one.", flush=True)


def main(argv):
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--shots", default=None)
    ap.add_argument("--signed", nargs=2, metavar=("CERT", "KEY"), default=None)
    args = ap.parse_args(argv)
    build = os.path.abspath(args.build)
    paths = {"QUON_SERVER": os.path.join(build, "server", "quon-update-server")}
    s = Session("demo", paths=paths)
    # An interruption ends the demo the ordinary way, with the clean-up.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    headless = not os.environ.get("DISPLAY")
    ok = False
    try:
        product = prepare_product(s, build)
        print("product directory: " + product, flush=True)
        root = os.path.join(build, "demo-server")
        if args.signed:
            root = sign_catalog(s, root, *args.signed)
        if not headless:
            s.start_server(root, "127.0.0.1:%d" % args.port)
            print("update server: http://127.0.0.1:%d (demo catalog)" % args.port, flush=True)
            print("QuonUpdate opens; close its window to end the demo (after an update it opens again).", flush=True)
            open_until_done(s, args.port)
            ok = True
            return 0
        shots = Shots(s, os.path.abspath(args.shots or os.path.join(build, "demo-screenshots")))
        s.start_xvfb()
        wm = shutil.which("openbox")
        if wm:
            s._spawn([wm, "--sm-disable"], env=s.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(1.0)
        print("no display: running under Xvfb %s%s" % (s.display, " with openbox" if wm else ""), flush=True)
        server = s.start_server(root)
        s.start_relay(server, rate=1500, port=args.port, delay=2.0)
        s.start_app(args.port)
        if args.signed:
            walk_refused(s, shots)
            print("demo finished: the tampered archive was refused", flush=True)
        else:
            walk(s, shots, args.port)
            print("demo finished: the updates were installed into %s, which is now up to date" % product, flush=True)
        print("screenshots: " + shots.folder, flush=True)
        ok = True
        return 0
    except TestFailure as failure:
        print("demo failed: %s" % failure, file=sys.stderr)
        if s.app is not None:
            print(s.app_trace()[-3000:], file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    finally:
        s.close(keep=not ok)
        if not ok:
            print("kept for inspection: " + s.dir, file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
