#!/usr/bin/env python3
"""scripts/install-deps against stand-ins for apt-get, dpkg-query and dpkg on
PATH that play a machine's packages and a mirror's failures: what the script
asks apt-get for, its exit code and what it says, one case a row.

usage: install_deps_test.py INSTALL_DEPS
"""
import os
import re
import subprocess
import sys
import tempfile

MIRROR_SYNC = ("E: Failed to fetch http://deb.example/debian-security/dists/bookworm-security/main/"
               "binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?")
BROKEN = "E: Unable to correct problems, you have held broken packages."
PLAIN = "install -y -qq --no-install-recommends"
UPDATE = "update -qq"

# The stand-ins keep their state in $FAKE: 'missing' (packages not
# installed), 'arches', counters 'update_fails' and 'broken' (installs
# without -t that fail so), 'held' (packages that never install) and 'calls'
# (every apt-get and dpkg change).
SHIMS = {
    "apt-get": r"""#!/bin/bash
echo "$*" >>"$FAKE/calls"
count() { local n; n=$(cat "$FAKE/$1"); [ "$n" -gt 0 ] && echo $((n - 1)) >"$FAKE/$1"; }
if [ "$1" = update ]; then
  count update_fails && { echo "$MIRROR_SYNC" >&2; exit 100; }
  exit 0
fi
[[ " $* " == *" -t "* ]] || { count broken && { echo "$BROKEN" >&2; exit 100; }; }
for p in "$@"; do grep -qx -- "$p" "$FAKE/held" && { echo "$BROKEN" >&2; exit 100; }; done
for p in "$@"; do grep -vx -- "$p" "$FAKE/missing" >"$FAKE/m" || true; mv "$FAKE/m" "$FAKE/missing"; done
""",
    "dpkg-query": r"""#!/bin/bash
grep -qx -- "${@: -1}" "$FAKE/missing" && exit 1
echo "install ok installed"
""",
    "dpkg": r"""#!/bin/bash
case "$1" in
  --print-foreign-architectures) cat "$FAKE/arches" ;;
  --add-architecture) echo "dpkg $*" >>"$FAKE/calls"; echo "$2" >>"$FAKE/arches" ;;
esac
""",
    "id": "#!/bin/bash\necho 0\n",
}

WINDOWS = "mingw-w64 g++-mingw-w64-i686-posix wine wine32:i386"

# (name, arguments, missing, apt-get update failures, broken installs, held,
#  exit code, calls expected in order, texts expected in what it says)
CASES = [
    ("nothing missing", [], [], 0, 0, [], 0, [], ["nothing to install: linux, test, fuzz, windows, server already"]),
    ("the demo takes linux only", ["linux"], ["cmake", "clang", "wine32:i386"], 0, 0, [], 0,
     [UPDATE, PLAIN + " cmake"], ["installed linux (1 package) in "]),
    ("the mirror syncs on the third try", ["test"], ["gcab"], 2, 0, [], 0,
     [UPDATE, UPDATE, UPDATE, PLAIN + " gcab"], ["installed test (1 package)"]),
    ("the mirror stays mid-sync", ["test", "fuzz"], ["gcab", "clang"], 9, 0, [], 0,
     [UPDATE, UPDATE, UPDATE, PLAIN + " gcab clang"],
     ["apt-get update failed 3 times; going on with the package indexes that loaded (E: Failed to fetch",
      "Mirror sync in progress?", "installed test (1 package), fuzz (1 package) in"]),
    ("architectures out of line, the release's versions resolve", ["windows"], ["wine", "wine32:i386"], 1, 1, [], 0,
     ["dpkg --add-architecture i386", UPDATE, UPDATE, PLAIN + " wine wine32:i386",
      PLAIN + " -t bookworm wine wine32:i386"],
     ["trying again with the release's own versions (-t bookworm)", "installed windows (2 packages)"]),
    ("still out of line: the group is named, nothing builds", ["linux", "windows"], ["cmake"] + WINDOWS.split(), 0, 1, ["wine32:i386"], 1,
     ["dpkg --add-architecture i386", UPDATE, PLAIN + " cmake " + WINDOWS, PLAIN + " -t bookworm cmake " + WINDOWS,
      PLAIN + " -t bookworm cmake", PLAIN + " -t bookworm " + WINDOWS],
     ["cannot install the group 'windows' (" + WINDOWS + "); apt-get said:", BROKEN, "mirror mid-sync"]),
    ("an unknown group", ["gui"], ["cmake"], 0, 0, [], 2, [], ["no group 'gui'"]),
]


def run_case(script, case):
    name, args, missing, update_fails, broken, held, code, calls, texts = case
    with tempfile.TemporaryDirectory() as fake:
        bin_dir = os.path.join(fake, "bin")
        os.mkdir(bin_dir)
        for tool, text in SHIMS.items():
            path = os.path.join(bin_dir, tool)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, 0o755)
        for state, value in (("missing", "".join(p + "\n" for p in missing)), ("arches", ""),
                             ("update_fails", "%d\n" % update_fails), ("broken", "%d\n" % broken),
                             ("held", "".join(p + "\n" for p in held)),
                             ("calls", "")):
            with open(os.path.join(fake, state), "w") as f:
                f.write(value)
        with open(os.path.join(fake, "os-release"), "w") as f:
            f.write('PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\nVERSION_CODENAME=bookworm\n')
        env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ["PATH"], FAKE=fake,
                   MIRROR_SYNC=MIRROR_SYNC, BROKEN=BROKEN, QUON_APT_UPDATE_PAUSE="0",
                   QUON_OS_RELEASE=os.path.join(fake, "os-release"))
        run = subprocess.run([script] + args, env=env, capture_output=True, text=True, timeout=60)
        with open(os.path.join(fake, "calls")) as f:
            made = [re.sub(r"\s+", " ", line.strip()) for line in f]
    failures = []
    if run.returncode != code:
        failures.append("exit code %d, expected %d" % (run.returncode, code))
    if made != calls:
        failures.append("calls %s, expected %s" % (made, calls))
    failures += ["did not say %r" % text for text in texts if text not in run.stderr]
    last = (run.stderr.strip().splitlines() or [""])[-1]
    if code == 0 and "install" not in last:
        failures.append("the last line does not tell what was installed")
    return ["%s: %s\n%s" % (name, failure, run.stderr) for failure in failures]


def main(argv):
    failures = [failure for case in CASES for failure in run_case(argv[1], case)]
    for failure in failures:
        print("FAIL: " + failure)
    print("%d cases, %d failures" % (len(CASES), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
