#!/bin/sh
# Runs a test of the real program against a catalog of its own, made for
# this run and removed after it:
#   exe-catalog.sh QUON_PACK SERVER WINE_TEST_SH [wine-test.sh options] TEST.EXE [ARGS...]
# The catalog offers update 101 (6.0.121.3 to 6.0.122.3) for the files
# below, with a help file of 640 000 random bytes, so that the download
# lasts long enough to show its progress. With QUON_EXE_UNDER_TEST_DIR it
# also offers update 102 (6.0.122.3 to 6.0.123.3), which replaces the
# updater's own QuonUpdate.exe and CABLIB.DLL with the ones of that
# directory, each followed by the line "Self-update 6.0.123.3". Without
# quon-pack the test runs without a server (and skips the cases that need
# it).
set -u
pack="$1" server="$2" wrapper="$3"
shift 3
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
trap 'exit 130' INT TERM

if [ -x "$pack" ]; then
  files="$root/files"
  mkdir -p "$files/Help" "$files/Materials"
  printf 'QSolver 6.0.122.3\n' >"$files/QSolver.dll"
  printf 'QMesh 6.0.122.3\n' >"$files/QMesh.dll"
  printf 'Composites 6.0.122.3\n' >"$files/Materials/Composites.mlib"
  head -c 640000 /dev/urandom >"$files/Help/Quon.chm"
  "$pack" -o "$root/sp1.cab" -C "$files" --name "Quon 6.0 Service Pack 1" \
    QSolver.dll QMesh.dll Help/Quon.chm \
    --module 3 --name "Composite Materials module" Materials/Composites.mlib >/dev/null || exit 1
  cat >"$root/catalog.ini" <<CATALOG
[update 101]
posted      = 2026-03-16 09:30
name        = Quon 6.0 Service Pack 1
description = Solver, mesher and help of build 6.0.122.3.
applies-to  = 6.0.121.3
archive     = sp1.cab
brings      = 6.0.122.3
CATALOG
  self="${QUON_EXE_UNDER_TEST_DIR:-}"
  if [ -n "$self" ]; then
    mkdir -p "$root/self"
    for name in QuonUpdate.exe CABLIB.DLL; do
      { cat "$self/$name"; printf 'Self-update 6.0.123.3\n'; } >"$root/self/$name"
    done
    "$pack" -o "$root/self.cab" -C "$root/self" --name "Quon 6.0 updater" QuonUpdate.exe CABLIB.DLL >/dev/null || exit 1
    cat >>"$root/catalog.ini" <<CATALOG

[update 102]
posted      = 2026-04-20 10:00
name        = Quon 6.0 updater
description = The updater itself.
applies-to  = 6.0.122.3
archive     = self.cab
brings      = 6.0.123.3
CATALOG
  fi
  sh "$wrapper" --server "$server" "$root" "$@"
else
  echo "exe-catalog.sh: no quon-pack at $pack" >&2
  sh "$wrapper" "$@"
fi
