#!/usr/bin/env python3
"""Builds the Windows picture resources from the XPM pictures in res/.

  xpm2res.py ico OUT.ico IN.xpm [IN.xpm ...]   one 16-colour image per input
  xpm2res.py avi OUT.avi IN.xpm [IN.xpm ...]   one frame per input, 333 333 us
                                               each, 4-bit uncompressed DIB

Every picture is mapped onto the standard 16-colour palette (exact colours
stay exact, others go to the nearest entry), so the icon and the clip share
the palette that 16-colour displays use. "None" pixels are transparent in
the icon (AND mask) and the dialog face colour in the clip.
"""
import struct
import sys

VGA = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
FACE = 7  # light grey, the dialog face colour of the 16-colour palette
NAMED = {"black": (0, 0, 0), "white": (255, 255, 255), "red": (255, 0, 0),
         "green": (0, 128, 0), "blue": (0, 0, 255), "yellow": (255, 255, 0),
         "gray": (128, 128, 128), "grey": (128, 128, 128), "cyan": (0, 255, 255),
         "magenta": (255, 0, 255)}
FRAME_US = 333333


def parse_colour(colour):
    colour = colour.strip()
    if colour.lower() in ("none", "transparent"):
        return None
    if colour.startswith("#"):
        h = colour[1:]
        if len(h) == 12:  # 16 bits a channel
            return tuple(int(h[i:i + 4], 16) >> 8 for i in (0, 4, 8))
        if len(h) == 6:
            return tuple(int(h[i:i + 2], 16) for i in (0, 2, 4))
        raise ValueError("unsupported colour " + colour)
    if colour.lower() in NAMED:
        return NAMED[colour.lower()]
    raise ValueError("unsupported colour " + colour)


def nearest(rgb):
    if rgb is None:
        return None
    best = min(range(16), key=lambda i: sum((a - b) ** 2 for a, b in zip(VGA[i], rgb)))
    return best


def read_xpm(path):
    """Returns (width, height, rows of palette indices or None)."""
    strings = []
    with open(path, encoding="latin-1") as f:
        text = f.read()
    i = 0
    while True:
        start = text.find('"', i)
        if start < 0:
            break
        end = text.find('"', start + 1)
        strings.append(text[start + 1:end])
        i = end + 1
    w, h, ncolors, cpp = (int(x) for x in strings[0].split()[:4])
    colours = {}
    for line in strings[1:1 + ncolors]:
        key, rest = line[:cpp], line[cpp:].split()
        colour = None
        for k in range(len(rest) - 1):
            if rest[k] == "c":
                colour = rest[k + 1]
        if colour is None:
            colour = rest[-1]
        colours[key] = nearest(parse_colour(colour))
    rows = []
    for line in strings[1 + ncolors:1 + ncolors + h]:
        rows.append([colours[line[x * cpp:(x + 1) * cpp]] for x in range(w)])
    if len(rows) != h or any(len(r) != w for r in rows):
        raise ValueError(path + ": picture size does not match its header")
    return w, h, rows


def palette_bytes():
    return b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in VGA)


def pixels_4bit(w, h, rows, transparent_index):
    """Bottom-up rows, 4 bits a pixel, each row padded to 4 bytes."""
    out = bytearray()
    stride = ((w * 4 + 31) // 32) * 4
    for row in reversed(rows):
        line = bytearray(stride)
        for x, idx in enumerate(row):
            v = transparent_index if idx is None else idx
            line[x // 2] |= (v << 4) if x % 2 == 0 else v
        out += line
    return bytes(out)


def mask_1bit(w, h, rows):
    out = bytearray()
    stride = ((w + 31) // 32) * 4
    for row in reversed(rows):
        line = bytearray(stride)
        for x, idx in enumerate(row):
            if idx is None:
                line[x // 8] |= 0x80 >> (x % 8)
        out += line
    return bytes(out)


def bitmap_info(w, h, size_image):
    return struct.pack("<IiiHHIIiiII", 40, w, h, 1, 4, 0, size_image, 0, 0, 16, 16)


def make_ico(pictures):
    images = []
    for w, h, rows in pictures:
        xor = pixels_4bit(w, h, rows, 0)
        andm = mask_1bit(w, h, rows)
        images.append((w, h, bitmap_info(w, 2 * h, len(xor) + len(andm)) + palette_bytes() + xor + andm))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for w, h, data in images:
        out += struct.pack("<BBBBHHII", w & 0xFF, h & 0xFF, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    for _, _, data in images:
        out += data
    return out


def chunk(fourcc, data):
    pad = b"\0" if len(data) % 2 else b""
    return fourcc + struct.pack("<I", len(data)) + data + pad


def riff_list(kind, fourcc, data):
    return kind + struct.pack("<I", len(data) + 4) + fourcc + data


def make_avi(pictures):
    w, h, _ = pictures[0]
    if any(p[0] != w or p[1] != h for p in pictures):
        raise ValueError("all frames must have the same size")
    frames = [pixels_4bit(w, h, rows, FACE) for _, _, rows in pictures]
    frame_size = len(frames[0])
    n = len(frames)
    max_bytes_per_sec = frame_size * 1000000 // FRAME_US + 1
    avih = struct.pack("<IIIIIIIIII4I", FRAME_US, max_bytes_per_sec, 0, 0x10, n, 0, 1,
                       frame_size, w, h, 0, 0, 0, 0)
    strh = struct.pack("<4s4sIHHIIIIIIIIhhhh", b"vids", b"DIB ", 0, 0, 0, 0,
                       FRAME_US, 1000000, 0, n, frame_size, 0xFFFFFFFF, 0, 0, 0, w, h)
    strf = bitmap_info(w, h, frame_size) + palette_bytes()
    hdrl = riff_list(b"LIST", b"hdrl", chunk(b"avih", avih) +
                     riff_list(b"LIST", b"strl", chunk(b"strh", strh) + chunk(b"strf", strf)))
    movi_data = b""
    index = b""
    for f in frames:
        offset = 4 + len(movi_data)  # from the 'movi' fourcc
        index += struct.pack("<4sIII", b"00db", 0x10, offset, len(f))
        movi_data += chunk(b"00db", f)
    movi = riff_list(b"LIST", b"movi", movi_data)
    body = hdrl + movi + chunk(b"idx1", index)
    return riff_list(b"RIFF", b"AVI ", body)


def main(argv):
    if len(argv) < 4 or argv[1] not in ("ico", "avi"):
        sys.stderr.write(__doc__)
        return 2
    pictures = [read_xpm(p) for p in argv[3:]]
    data = make_ico(pictures) if argv[1] == "ico" else make_avi(pictures)
    with open(argv[2], "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
