#!/usr/bin/env python3
"""Checks quon-wire against an independent implementation of the wire rules.

usage: check_quon_wire.py QUON_WIRE BUILD_CONFIG_CPP
The key is read from the build's generated configuration, so this script
holds no copy of it.
"""
import os
import random
import re
import subprocess
import sys
import tempfile

A62 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
A65 = A62 + "%&="


def is_alnum(b):
    return 48 <= b <= 57 or 65 <= b <= 90 or 97 <= b <= 122


def v62(b):
    if 65 <= b <= 90:
        return b - 65
    if 97 <= b <= 122:
        return b - 71
    return b + 4


class Lcg:
    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFF

    def rand(self):
        self.state = (self.state * 214013 + 2531011) & 0xFFFFFFFF
        return (self.state >> 16) & 0x7FFF


def pct_encode(data: bytes) -> bytes:
    return b"".join(bytes([b]) if is_alnum(b) else b"%%%02X" % b for b in data)


def hexval(b):
    c = b - 256 if b > 127 else b
    if 65 <= c <= 70:
        return c - 55
    if 97 <= c <= 102:
        return c - 87
    return c - 48


def pct_decode(data: bytes) -> bytes:
    out, j = bytearray(), 0
    while j < len(data):
        if data[j] == 37 and len(data) - j >= 3:
            out.append((16 * hexval(data[j + 1]) + hexval(data[j + 2])) & 0xFF)
            j += 3
        else:
            out.append(data[j])
            j += 1
    return bytes(out)


def scramble(data: bytes, key: bytes, rng: Lcg) -> bytes:
    out = bytearray()
    for i, c in enumerate(pct_encode(data)):
        d = (100 * rng.rand()) % 62
        out += A62[d].encode()
        for _ in range(d % 3):
            out += A62[(100 * rng.rand()) % 62].encode()
        e = A65.index(chr(c))
        f = (e + key[i % len(key)]) % 65
        if f in (0, 1):
            out += b"AA" if f == 0 else b"AB"
            continue
        m = min(f, 61)
        while True:
            g = rng.rand() % m
            if f - g <= 61:
                break
        out += (A62[g] + A62[f - g]).encode()
    return bytes(out)


def unscramble(text: bytes, key: bytes) -> bytes:
    n, p, k, out = len(text), 0, 0, bytearray()

    def next_alnum():
        nonlocal p
        while p < n and not is_alnum(text[p]):
            p += 1
        if p >= n:
            return None
        p += 1
        return text[p - 1]

    while True:
        c1 = next_alnum()
        if c1 is None:
            break
        p += v62(c1) % 3
        c2 = next_alnum()
        c3 = next_alnum() if c2 is not None else None
        if c3 is None:
            break
        h = (v62(c2) + v62(c3) - key[k % len(key)]) % 65
        k += 1
        out += A65[h].encode()
        if p >= n:
            break
    return pct_decode(bytes(out))


def run(tool, args, stdin=b"", expect=0):
    proc = subprocess.run([tool] + args, input=stdin, capture_output=True)
    if proc.returncode != expect:
        raise AssertionError(f"{args}: exit {proc.returncode}, stderr {proc.stderr!r}")
    return proc.stdout, proc.stderr


def main():
    tool, config = sys.argv[1], sys.argv[2]
    key = re.search(rb'kScrambleKey\[\] = "([A-Za-z0-9]+)"', open(config, "rb").read()).group(1)
    assert len(key) == 244
    rnd = random.Random(7)
    failures = 0
    for trial in range(40):
        data = bytes(rnd.randrange(256) for _ in range(rnd.choice([0, 1, 5, 100, 300, 2000])))
        seed = rnd.randrange(2**32)
        ours, _ = run(tool, ["scramble", "--seed", str(seed)], data)
        theirs = scramble(data, key, Lcg(seed))
        if ours != theirs:
            print(f"scramble differs for seed {seed}, {len(data)} bytes")
            failures += 1
        if unscramble(ours, key) != data:
            print("reference cannot unscramble quon-wire's output")
            failures += 1
        back, _ = run(tool, ["unscramble"], theirs)
        if back != data:
            print("quon-wire cannot unscramble the reference's output")
            failures += 1

    # One field travels escaped twice when scrambled.
    ours, _ = run(tool, ["encode", "--scramble", "--seed", "11", "updateversion=7.0"])
    if ours != scramble(b"updateversion=7%2E0", key, Lcg(11)):
        print("encode --scramble differs")
        failures += 1
    plain, _ = run(tool, ["encode", "b=x y", "a=1=2"])
    if sorted(plain.split(b"&")) != [b"a=1%3D2", b"b=x%20y"]:
        print(f"encode gives {plain!r}")
        failures += 1
    decoded, _ = run(tool, ["decode", "--unscramble"], scramble(b"b=x%20y&a=1&\r\nz=%E9", key, Lcg(3)))
    if decoded != b"a=1\nb=x%20y\nz=%E9\n":
        print(f"decode gives {decoded!r}")
        failures += 1

    # Another key is honoured, and only that key.
    other = bytes(random.Random(1).choice(A62[:52]).encode()[0] for _ in range(240)) + b"1234"
    with tempfile.NamedTemporaryFile(delete=False) as f:
        f.write(other + b"\n")
    try:
        ours, _ = run(tool, ["scramble", "--seed", "5", "--key-file", f.name], b"hello")
        if ours != scramble(b"hello", other, Lcg(5)) or ours == scramble(b"hello", key, Lcg(5)):
            print("--key-file is not honoured")
            failures += 1
    finally:
        os.unlink(f.name)

    for bad in (["frobnicate"], [], ["scramble", "--seed", "x"], ["encode", "novalue"], ["decode", "--seed", "1"]):
        _, err = run(tool, bad, expect=2)
        if err.count(b"\n") != 1:
            print(f"usage error {bad} is not one line: {err!r}")
            failures += 1
    print(f"{failures} failed" if failures else "quon-wire agrees with the reference implementation")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
