#!/usr/bin/env python3
"""scripts/check-layers on a made-up src/ tree: one file per case, each with
one include; the script must name exactly the files whose include goes up a
layer or into another system's code.

usage: check_layers_test.py CHECK_LAYERS
"""
import os
import re
import subprocess
import sys
import tempfile

# (file under src/, the header it includes, refused)
CASES = [
    ("net/Up.cpp", "update/Session.h", True),
    ("net/Down.cpp", "base/Text.h", False),
    ("update/Own.cpp", "update/Other.h", False),
    ("cli/Up.cpp", "platform/posix/Curl.h", True),
    ("platform/posix/Down.cpp", "cli/Run.h", False),
    ("platform/posix/Across.cpp", "platform/win/WinInet.h", True),
    ("platform/win/Across.cpp", "platform/posix/Curl.h", True),
    ("frontend/gtk/Own.cpp", "platform/posix/Curl.h", False),
    ("frontend/gtk/Across.cpp", "platform/win/WinInet.h", True),
    ("frontend/gtk/Beside.cpp", "frontend/win/Browser.h", True),
    ("frontend/win/Own.cpp", "platform/win/WinInet.h", False),
    ("frontend/win/Across.cpp", "platform/posix/Curl.h", True),
    ("frontend/win/Outside.cpp", "res/resource.h", False),
]


def main(argv):
    with tempfile.TemporaryDirectory() as root:
        for name, header, _ in CASES:
            path = os.path.join(root, "src", name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write('#include <string>\n#include "%s"\n' % header)
        run = subprocess.run([sys.executable, argv[1], root], capture_output=True, text=True)
    named = set(re.findall(r"^src/(\S+):2: ", run.stderr, re.M))
    expected = {name for name, _, refused in CASES if refused}
    failures = []
    if named != expected:
        failures.append("refused %s, expected %s" % (sorted(named), sorted(expected)))
    if run.returncode != 1:
        failures.append("exit code %d, expected 1" % run.returncode)
    for failure in failures:
        print("FAIL: " + failure)
    print(run.stderr, end="")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
