#!/usr/bin/env python3
"""Make docs/walk.png, the README's picture: one frame of the bundled sample,
ZEMB's mask of it, and the frame with the foreground tinted.

    python3 docs/make_picture.py build/zemb [frame]

Runs zemb on the sample in a scratch folder; standard library only.
"""
import os
import struct
import subprocess
import sys
import tarfile
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLE = os.path.join(HERE, "..", "samples", "walk-160x120.tar.xz")
OUTPUT = os.path.join(HERE, "walk.png")
SCALE = 2             # each pixel drawn as SCALE x SCALE, so the small sample reads well
GAP = 4               # white columns between the panels
TINT = (255, 40, 40)  # colour mixed into foreground pixels of the third panel
TINT_SHARE = 0.6      # how much of the tint a foreground pixel gets


def read_netpbm(path):
    """(width, height, channels, bytes) of a binary PPM or PGM as zemb writes them."""
    with open(path, "rb") as f:
        data = f.read()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    channels = {b"P6": 3, b"P5": 1}[fields[0]]
    width, height = int(fields[1]), int(fields[2])
    raster = data[pos + 1:pos + 1 + width * height * channels]
    return width, height, channels, raster


def write_png(path, width, height, rows):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    raw = b"".join(b"\x00" + bytes(row) for row in rows)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    zemb = os.path.abspath(sys.argv[1])
    frame = int(sys.argv[2]) if len(sys.argv) == 3 else 230
    with tempfile.TemporaryDirectory() as scratch:
        with tarfile.open(SAMPLE) as tar:
            tar.extractall(scratch)
        subprocess.run([zemb, "walk", "1", str(frame)], cwd=scratch, check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        width, height, _, rgb = read_netpbm(os.path.join(scratch, f"walk.{frame}.ppm"))
        _, _, _, mask = read_netpbm(os.path.join(scratch, f"walkMask.{frame}.pgm"))

    def panel_row(y, kind):
        row = []
        for x in range(width):
            i = y * width + x
            colour = tuple(rgb[3 * i:3 * i + 3])
            if kind == "mask":
                colour = (mask[i],) * 3
            elif kind == "overlay" and mask[i]:
                colour = tuple(round(c * (1 - TINT_SHARE) + t * TINT_SHARE)
                               for c, t in zip(colour, TINT))
            row.extend(colour * SCALE)
        return row

    rows = []
    for y in range(height):
        gap = [255] * (3 * GAP)
        row = (panel_row(y, "frame") + gap + panel_row(y, "mask") + gap +
               panel_row(y, "overlay"))
        rows.extend([row] * SCALE)
    write_png(OUTPUT, 3 * width * SCALE + 2 * GAP, height * SCALE, rows)
    print(f"{OUTPUT}: frame {frame}, its mask, and the two together")


if __name__ == "__main__":
    main()
