#!/usr/bin/env python3
"""GUI tests of the Linux updater against the reference server, each under
its own Xvfb. Usage: test_gui.py TEST  (one of the functions below).

What the user sees is checked through window titles, classes and sizes
(xdotool, xprop), the page file the browser shows, the trace of message
boxes, and screenshots that must not be blank; what ends on disk is checked
in the product directory. Input is real: keys and pointer clicks through
xdotool.
"""
import os
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from guitest import ABOUT, MAIN, MAIN_SIZE, WAIT, Session, TestFailure, check, wait_until  # noqa: E402

PLAIN_SIZE = (279, 88)
PROGRESS_SIZE = (279, 141)


def start_list(s, rate=150_000, delay=0.0, dir_name="product", wait=True):
    """The updater behind a throttling relay; with `wait`, up to its list
    page, returning the main window."""
    s.start_xvfb()
    root = s.make_catalog()
    port = s.start_server(root)
    relay = s.start_relay(port, rate=rate, delay=delay)
    s.make_product(dir_name=dir_name)
    s.start_app(relay)
    if not wait:
        return None
    main = s.main_window()
    s.wait_trace("First page loaded.")
    return main


def test_update_flow(s):
    """Start-up to the list page, a click on an update, the progress
    dialog, the install page, install, the success sentence, Close."""
    # A product directory whose name a URL would misread: the page must load
    # from it, and "#update8" in the path is no link.
    start_list(s, rate=120_000, delay=1.5, dir_name="Quon 6 #update8 50%", wait=False)
    # The plain wait form while the list is fetched, before the main window.
    wait = s.wait_window(WAIT)[0]
    check(s.geometry(wait)[2:] == PLAIN_SIZE, "plain wait form size %s" % (s.geometry(wait)[2:],))
    check(s.wm_class(wait)[1] == "UpdateDialog", "the updater's windows must not carry a product class")
    check(not s.windows(MAIN), "the main window shows only after the list arrived")
    s.check_not_blank(s.screenshot("connecting"))

    main = s.main_window()
    s.wait_trace("First page loaded.")
    page = s.page()
    check("<B>Available Updates</B>" in page, "list page")
    check('<a href="#update7" > <b> Sample service release (May 04, 2026) </b> </a>' in page, "row of update 7")
    check('href="#update8"' in page, "row of update 8")
    s.check_not_blank(s.screenshot("list"))

    # Keyboard: Tab to the first link, Enter follows it.
    s.key(main, "Tab", "Return")
    progress = s.wait_window(WAIT, timeout=15)[0]
    check(s.geometry(progress)[2:] == PROGRESS_SIZE, "progress form size %s" % (s.geometry(progress)[2:],))
    wait_until("data arriving", lambda: os.path.exists(os.path.join(s.product, "update7.0000")) and
               os.path.getsize(os.path.join(s.product, "update7.0000")) > 100_000, timeout=20)
    s.check_not_blank(s.screenshot("download"))
    s.wait_no_window(WAIT, timeout=30)

    s.wait_page('<a href="#install"')
    page = s.page()
    check("Sample service release" in page and "QSolver.dll" in page, "install page lists the update's files")
    check(os.path.isfile(os.path.join(s.product, "update7.0000.dir", "Update.List")), "unpacked list file")
    s.check_not_blank(s.screenshot("install-page"))

    s.key(main, "Tab", "Return")
    s.wait_page("QUON has been updated successfully.")
    check(s.page() == "QUON has been updated successfully.", "the success page is the bare sentence")
    with open(os.path.join(s.product, "QSolver.dll"), "rb") as f:
        check(f.read() == s.big_payload, "QSolver.dll replaced")
    check(os.path.isfile(os.path.join(s.product, "Help", "Readme.txt")), "Help/Readme.txt installed")
    check(not os.path.exists(os.path.join(s.product, "update7.0000")), "archive removed")
    check(not os.path.exists(os.path.join(s.product, "update7.0000.dir")), "unpack directory removed")
    check("MessageBox:" not in s.app_trace(), "no message box on the way")
    s.check_not_blank(s.screenshot("installed"))

    # The update is complete: Close asks nothing.
    s.click_close(main)
    check(s.wait_exit() == 0, "exit code")
    check(s.page() is None, "the page file is deleted on quitting")


def test_cancel_download(s):
    """Cancel in the progress dialog ends the download at once; the list
    stays and the window goes on working."""
    main = start_list(s, rate=40_000)
    s.key(main, "Tab", "Return")
    progress = s.wait_window(WAIT, timeout=15)[0]
    check(s.geometry(progress)[2:] == PROGRESS_SIZE, "progress form")
    archive = os.path.join(s.product, "update7.0000")
    wait_until("some data", lambda: os.path.exists(archive) and os.path.getsize(archive) > 20_000, timeout=20)
    s.check_not_blank(s.screenshot("before-cancel"))
    s.close_box(progress)
    s.key(progress, "Escape")
    check(progress in s.windows(WAIT), "neither a close request nor Escape ends the download")
    s.click_dlu(progress, 67 + 25, 66 + 7)  # Cancel
    s.wait_no_window(WAIT, timeout=5)
    check("#update7" in s.page() and "#install" not in s.page(), "the list page stays")
    check(not os.path.exists(os.path.join(s.product, "update7.0000.dir")), "nothing unpacked")
    check(not os.path.exists(archive), "the part downloaded is deleted")
    check("MessageBox:" not in s.app_trace(), "Cancel is silent")
    check(s.app.poll() is None, "the updater still runs")
    # The window still answers: a pointer click on the second update's link
    # downloads and unpacks it.
    links = s.link_lines(main)
    check(len(links) == 2, "two link lines on the list page, found %d" % len(links))
    s.click_at(main, *links[1])
    s.wait_page('<a href="#install"', timeout=30)
    check(os.path.isdir(os.path.join(s.product, "update8.0000.dir")), "update 8 unpacked")


def test_quit_question(s):
    """Close while the update is not complete asks first; No keeps the
    window and its files, Yes cleans up and ends. Escape does nothing."""
    main = start_list(s)
    s.key(main, "Escape")
    check(s.app.poll() is None and main in s.windows(MAIN), "Escape does nothing")

    s.click_close(main)
    box = s.message_box(main)
    s.wait_trace("MessageBox: QUON Update is not complete. Are you sure that you want to quit?")
    s.check_not_blank(s.screenshot("quit-question"))
    s.key(box, "Tab", "Return")  # No
    wait_until("the box to close", lambda: box not in s.windows(MAIN))
    check(s.app.poll() is None, "No keeps the updater running")
    check(s.page() is not None, "No keeps the page file")

    # The window's close box runs the same sequence; this time Yes.
    s.close_box(main)
    box = s.message_box(main)
    s.key(box, "Return")  # Yes has the focus
    check(s.wait_exit() == 0, "exit code")
    check(s.page() is None, "Yes deletes the page file")


def test_message_box(s):
    """No server: the connection message is shown before any main window,
    answered with OK, and the program ends without showing its window."""
    s.start_xvfb()
    s.make_product()
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()  # nothing listens there now
    s.start_app(port)
    box = s.wait_window(MAIN, timeout=30)[0]
    check(s.geometry(box)[2:] != MAIN_SIZE, "the main window is not shown")
    s.wait_trace("MessageBox: Error: Can not connect to the Norvanta server.")
    s.check_not_blank(s.screenshot("cannot-connect"))
    s.key(box, "Return")
    check(s.wait_exit() == 0, "exit code")
    check("First page loaded." not in s.app_trace(), "no page was shown")


def test_policy_off(s):
    """The administrator turned updates off: the window says so before any
    main window, and the program ends without asking any server."""
    s.start_xvfb()
    policy = os.environ["QUON_POLICY_FILE"]
    os.makedirs(os.path.dirname(policy), exist_ok=True)
    with open(policy, "w") as f:
        f.write("Updates = off\n")
    try:
        s.make_product(app=os.environ["QUON_POLICY_APP"])
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        probe.listen(1)  # a server that would see any request
        s.start_app(probe.getsockname()[1])
        box = s.wait_window(MAIN, timeout=30)[0]
        s.wait_trace("MessageBox: Updates of QUON are managed by your administrator.")
        s.check_not_blank(s.screenshot("policy-off"))
        s.key(box, "Return")
        check(s.wait_exit() == 0, "exit code")
        probe.settimeout(0)
        try:
            probe.accept()
            check(False, "a request was sent")
        except BlockingIOError:
            pass
        probe.close()
    finally:
        os.remove(policy)


def test_about_box(s):
    """About... opens the About box modally; Enter closes it."""
    main = start_list(s)
    s.click_about(main)
    about = s.wait_window(ABOUT)[0]
    x, y, w, h = s.geometry(about)
    check((w, h) == (353, 89), "About box size %dx%d" % (w, h))
    s.check_not_blank(s.screenshot("about"))
    s.key(about, "Return")
    s.wait_no_window(ABOUT)
    check(s.app.poll() is None, "the main window stays")


def test_close_request(s):
    """A product application is running (hidden): the install asks the user
    to close it, sends it the close request, waits with the wait cursor and
    then installs."""
    main = start_list(s)
    helper_path = os.environ.get("QUON_HELPER_WINDOW")
    check(helper_path, "QUON_HELPER_WINDOW not set")
    helper = s._spawn([helper_path, "QuonSolverFrame", "--hidden"], env=s.env, stdout=subprocess.PIPE, text=True)
    check(helper.stdout.readline().startswith("ready "), "helper window")
    s.key(main, "Tab", "Return")
    s.wait_page('<a href="#install"', timeout=30)
    s.key(main, "Tab", "Return")
    box = s.message_box(main)
    s.wait_trace("MessageBox: Please close all QUON and Graflux applications.")
    check(helper.poll() is None, "nothing is sent before the box is answered")
    s.check_not_blank(s.screenshot("close-applications"))
    s.key(box, "Return")
    line = helper.stdout.readline().split()
    check(line == ["request", "1038", "4294967295", "0"], "close request received: %r" % line)
    check(helper.wait(10) == 0, "the helper honoured the request")
    s.wait_page("QUON has been updated successfully.", timeout=30)


def test_proxy_prompt(s):
    """A proxy asks for credentials: the prompt comes up over the wait
    dialog, the user types them, and the list arrives through the proxy."""
    s.start_xvfb()
    root = s.make_catalog()
    port = s.start_server(root)
    proxy = s.start_tinyproxy("planner", "s3cret")
    s.make_product()
    s.start_app(port, extra_env={"http_proxy": "http://127.0.0.1:%d" % proxy, "no_proxy": "",
                                 "NO_PROXY": "", "HTTP_PROXY": ""})
    prompt = s.wait_window("Proxy Authentication", timeout=30)[0]
    check(s.windows(WAIT), "the prompt comes up while the wait dialog is showing")
    check(not s.windows(MAIN), "before the main window")
    s.check_not_blank(s.screenshot("proxy-prompt"))
    s.type_text(prompt, "planner")
    s.key(prompt, "Tab")
    s.type_text(prompt, "s3cret")
    s.key(prompt, "Return")
    main = s.main_window()
    s.wait_trace("First page loaded.")
    check('href="#update7"' in s.page(), "the list came through the proxy")
    with open(os.path.join(s.dir, "tinyproxy.log"), errors="replace") as f:
        check("GetUpgradeList" in f.read(), "the request went through the proxy")
    s.click_close(main)
    box = s.message_box(main)
    s.key(box, "Return")  # Yes
    check(s.wait_exit() == 0, "exit code")


ELSEWHERE = "file:///quon-elsewhere/page.html"
REFRESH = '<meta http-equiv="refresh" content="0,url=%s">'

# Server texts that make a page navigate by itself towards an action: as
# update 7's name or description in the list, or as the title in its
# Update.List (then the user clicks the update once to reach the install
# page). (case, name, description, list file title)
HOSTILE_PAGES = [
    ("refresh in a name", REFRESH % "#update7", None, None),
    ("refresh in a description", None, REFRESH % "#update8", None),
    ("base address elsewhere", '<base href="%s">' % ELSEWHERE + REFRESH % "#update7", None, None),
    ("frame", '<iframe src="%s#update7"></iframe>' % ELSEWHERE, None, None),
    ("refresh in an install-page title", None, None, REFRESH % "#install"),
]


def test_hostile_pages(s):
    """Without any input, no hostile page starts an action: the browser
    refuses its navigation, the server is asked for no archive, nothing in
    the product directory changes. One display for all cases."""
    s.start_xvfb()
    failures = []
    for n, (case, name, description, list_name) in enumerate(HOSTILE_PAGES):
        texts = {k: v for k, v in (("name", name), ("description", description), ("list_name", list_name)) if v}
        port = s.start_server(s.make_catalog(big_file_bytes=20_000, tag=str(n), **texts))
        s.make_product(dir_name="product%d" % n)
        before = s.product_files()
        s.start_app(port)
        main = s.main_window()
        s.wait_trace("First page loaded.")
        clicked = 0
        if list_name:
            s.key(main, "Tab", "Return")
            wait_until("the page after the download", lambda: s.app_trace().count("Navigate:") >= 2)
            clicked = 1
        try:
            wait_until("a refusal", lambda: "Navigation refused:" in s.app_trace() or
                       s.file_requests() > clicked, timeout=10)
        except TestFailure:
            pass
        time.sleep(1)  # anything the page might still start
        after = s.product_files()
        # Only the user's own download may have added files.
        changed = [p for p in set(before) | set(after) if before.get(p) != after.get(p) and
                   not (clicked and p not in before and p.startswith("update7.0000"))]
        problems = [what for what, bad in (
            ("archive requested", s.file_requests() != clicked),
            ("product files changed: %s" % sorted(changed), changed),
            ("no refusal traced", "Navigation refused:" not in s.app_trace())) if bad]
        if problems:
            failures.append("%s: %s" % (case, ", ".join(problems)))
        s.stop(s.app)
        s.stop(s.server)
    check(not failures, "; ".join(failures))


def main(argv):
    if len(argv) != 2 or "test_" + argv[1] not in globals():
        print(__doc__)
        return 2
    session = Session(argv[1])
    keep = os.environ.get("QUON_GUI_KEEP") == "1"
    try:
        globals()["test_" + argv[1]](session)
        print("PASS %s" % argv[1])
        return 0
    except TestFailure as failure:
        print("FAIL %s: %s" % (argv[1], failure))
        if session.display:
            try:
                shot = session.screenshot("failure")
                titles = session.x("xdotool", "search", "--onlyvisible", "--name", ".", check_rc=False).split()
                print("screen at the failure: %s; visible windows: %s" % (shot, ", ".join(
                    session.x("xdotool", "getwindowname", w, check_rc=False).strip() for w in titles)))
            except Exception as e:  # the display may be gone
                print("no screenshot: %s" % e)
        if session.app is not None:
            print("--- updater trace ---\n" + session.app_trace()[-4000:])
        keep = True
        return 1
    finally:
        session.close(keep=keep)
        if keep:
            print("kept: " + session.dir)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
