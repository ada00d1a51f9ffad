#!/usr/bin/env python3
"""Makes a small dataset in the change-detection benchmark's layout, from
the bundled walk clip and from generated scenes whose moving objects and
ground truth are known exactly:

  <out>/<category>/<video>/input/in000001.jpg ..   (JPEG, through cjpeg)
                           groundtruth/gt000001.png ..
                           ROI.bmp, temporalROI.txt

baseline/street   the real walk clip; a ball rolls over the lawn; pixels that
                  the clip's own walkers ever cross are outside the ROI
baseline/squares  a textured wall, two squares crossing it, light flicker
shadow/disc       a disc that casts a hard shadow (ground truth 50)
thermal/corridor  grey levels only, a warm figure walking past

Ground truth: 255 moving, 170 the object's outline (not scored, as the
benchmark marks blurred borders), 50 hard shadow, 0 static. Every video has
250 frames of 160 x 120; frames 201..250 are scored.

With --highway LAST, baseline/highway is added too: frames 1..LAST of the
benchmark's highway sequence from cdnet-highway.tar in $ZEMB_DATA (default:
../shared/data beside the repository), scored from frame 470.
"""

import argparse
import os
import random
import struct
import subprocess
import sys
import tarfile
import zlib

W, H, FRAMES = 160, 120, 250
SCORED_FROM = 201  # the default calibration takes frames 1..200
JPEG_QUALITY = "90"
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WALK_TARBALL = os.path.join(REPO, "samples", "walk-160x120.tar.xz")
MOVING, OUTLINE, SHADOW = 255, 170, 50


# ---- File writers ----------------------------------------------------------------


def png_grey(pixels, width, height):
    """An 8-bit greyscale PNG, rows unfiltered."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\0" + bytes(pixels[r * width:(r + 1) * width]) for r in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 9))
            + chunk(b"IEND", b""))


def bmp_grey(pixels, width, height):
    """A 24-bit BMP whose three channels carry the grey value."""
    stride = (width * 3 + 3) // 4 * 4
    rows = []
    for r in reversed(range(height)):  # bottom row first
        row = bytes(v for v in pixels[r * width:(r + 1) * width] for _ in range(3))
        rows.append(row + b"\0" * (stride - len(row)))
    data = b"".join(rows)
    return (b"BM" + struct.pack("<IHHI", 54 + len(data), 0, 0, 54)
            + struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0) + data)


def write_jpeg(path, rgb):
    ppm = b"P6\n%d %d\n255\n" % (W, H) + bytes(rgb)
    with open(path, "wb") as out:
        subprocess.run(["cjpeg", "-quality", JPEG_QUALITY], input=ppm, stdout=out, check=True)


def write_video(folder, frames, truths, roi=None, scored=(SCORED_FROM, FRAMES)):
    """frames and truths: iterables of RGB bytes and ground-truth bytes for
    frames 1, 2, ..."""
    os.makedirs(os.path.join(folder, "input"), exist_ok=True)
    os.makedirs(os.path.join(folder, "groundtruth"), exist_ok=True)
    for k, (rgb, truth) in enumerate(zip(frames, truths), start=1):
        write_jpeg(os.path.join(folder, "input", "in%06d.jpg" % k), rgb)
        with open(os.path.join(folder, "groundtruth", "gt%06d.png" % k), "wb") as f:
            f.write(png_grey(truth, W, H))
    with open(os.path.join(folder, "ROI.bmp"), "wb") as f:
        f.write(bmp_grey(roi or bytes([255]) * (W * H), W, H))
    with open(os.path.join(folder, "temporalROI.txt"), "w") as f:
        f.write("%d %d\n" % scored)


# ---- Scenes ------------------------------------------------------------------------


def disc(cy, cx, radius):
    r0, r1 = int(cy - radius), int(cy + radius) + 1
    c0, c1 = int(cx - radius), int(cx + radius) + 1
    return {(r, c) for r in range(r0, r1) for c in range(c0, c1)
            if (r - cy) ** 2 + (c - cx) ** 2 <= radius * radius and 0 <= r < H and 0 <= c < W}


def box(top, left, height, width):
    return {(r, c) for r in range(top, top + height) for c in range(left, left + width)
            if 0 <= r < H and 0 <= c < W}


def outline(pixels):
    """The object's pixels with a 4-neighbour outside it."""
    return {(r, c) for r, c in pixels
            if not {(r - 1, c), (r + 1, c), (r, c - 1), (r, c + 1)} <= pixels}


def paint(background, objects, shadow=(), shade=0.55):
    """One frame and its ground truth: objects are (pixels, rgb) pairs."""
    rgb = bytearray(background)
    truth = bytearray(W * H)
    for r, c in shadow:
        i = r * W + c
        rgb[3 * i:3 * i + 3] = bytes(int(v * shade) for v in rgb[3 * i:3 * i + 3])
        truth[i] = SHADOW
    for pixels, colour in objects:
        for r, c in pixels:
            i = r * W + c
            rgb[3 * i:3 * i + 3] = colour
            truth[i] = MOVING
        for r, c in outline(pixels):
            truth[r * W + c] = OUTLINE
    return rgb, truth


def noisy_backgrounds(base, rng, amplitude, count=8):
    """Copies of the background with sensor noise; frames cycle through them."""
    out = []
    for _ in range(count):
        out.append(bytes(min(255, max(0, v + rng.randint(-amplitude, amplitude))) for v in base))
    return out


def flicker(frames_rgb, rng, amplitude):
    """Whole-frame brightness changes of a level or two, as auto exposure does."""
    for rgb in frames_rgb:
        step = rng.randint(-amplitude, amplitude)
        table = bytes(min(255, max(0, v + step)) for v in range(256))
        yield bytes(rgb).translate(table)


def squares_video(rng):
    base = bytearray()
    for r in range(H):
        for c in range(W):
            brick = 18 if ((r // 8) + (c // 16 + (r // 8) % 2)) % 2 else 0
            base += bytes((110 + brick + c // 8, 95 + brick + r // 6, 80 + brick))
    backgrounds = noisy_backgrounds(base, rng, 3)
    frames, truths = [], []
    for k in range(1, FRAMES + 1):
        a = box(30, (k * 3) % (W + 20) - 20, 14, 14)           # left to right, again and again
        b = box((k * 2) % (H + 16) - 16, 100, 16, 12)          # top to bottom
        rgb, truth = paint(backgrounds[k % len(backgrounds)],
                           [(a, bytes((30, 60, 200))), (b, bytes((230, 220, 40)))])
        frames.append(rgb)
        truths.append(truth)
    return list(flicker(frames, rng, 2)), truths


def disc_video(rng):
    base = bytearray()
    for r in range(H):
        for c in range(W):
            base += bytes((150 + (c * 40) // W, 150 + (r * 30) // H, 140))
    backgrounds = noisy_backgrounds(base, rng, 2)
    frames, truths = [], []
    for k in range(1, FRAMES + 1):
        cx = 10 + (k * 7 // 4) % (W - 20)
        body = disc(50, cx, 9)
        shadow = {(r + 14, c + 10) for r, c in body if r + 14 < H and c + 10 < W} - body
        rgb, truth = paint(backgrounds[k % len(backgrounds)], [(body, bytes((200, 40, 40)))], shadow)
        frames.append(rgb)
        truths.append(truth)
    return frames, truths


def corridor_video(rng):
    base = bytearray()
    for r in range(H):
        for c in range(W):
            g = 60 + (20 if 40 <= r < 100 and c % 40 < 4 else 0) + r // 10
            base += bytes((g, g, g))
    backgrounds = noisy_backgrounds(base, rng, 4)
    frames, truths = [], []
    for k in range(1, FRAMES + 1):
        x = W - (k * 5 // 3) % (W + 30)
        figure = box(52, x, 40, 12) | disc(46, x + 6, 6)
        rgb, truth = paint(backgrounds[k % len(backgrounds)], [(figure, bytes((150, 150, 150)))])
        frames.append(rgb)
        truths.append(truth)
    return list(flicker(frames, rng, 1)), truths


def read_ppm(data):
    fields, at = [], 0
    while len(fields) < 4:
        while data[at:at + 1].isspace():
            at += 1
        end = at
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[at:end])
        at = end
    assert fields[0] == b"P6" and (int(fields[1]), int(fields[2])) == (W, H)
    return data[at + 1:at + 1 + 3 * W * H]


def street_video():
    with tarfile.open(WALK_TARBALL) as tar:
        clip = [read_ppm(tar.extractfile("walk.%d.ppm" % k).read()) for k in range(1, FRAMES + 1)]
    # Every pixel the clip's walkers cross, grown by a margin, leaves the ROI.
    crossed = bytearray(W * H)
    for k in range(5, FRAMES, 5):
        a, b = clip[k], clip[k - 5]
        for i in range(W * H):
            if max(abs(a[3 * i + j] - b[3 * i + j]) for j in range(3)) > 30:
                crossed[i] = 1
    margin = 4
    roi = bytearray([255]) * (W * H)
    for i in (i for i in range(W * H) if crossed[i]):
        r, c = divmod(i, W)
        for rr in range(max(0, r - margin), min(H, r + margin + 1)):
            roi[rr * W + max(0, c - margin):rr * W + min(W, c + margin + 1)] = bytes(
                min(W, c + margin + 1) - max(0, c - margin))
    frames, truths = [], []
    for k in range(1, FRAMES + 1):
        cx = -8 + (k * 3 // 2) % (W + 16)
        ball = disc(100 + (k % 6 == 0), cx, 6)
        rgb, truth = paint(clip[k - 1], [(ball, bytes((240, 90, 20)))])
        frames.append(rgb)
        truths.append(truth)
    return frames, truths, bytes(roi)


# ---- The highway cut -------------------------------------------------------------


def highway_cut(out, last, data):
    tar_path = os.path.join(data, "cdnet-highway.tar")
    folder = os.path.join(out, "baseline", "highway")
    wanted = {"highway/ROI.bmp"}
    for k in range(1, last + 1):
        wanted |= {"highway/input/in%06d.jpg" % k, "highway/groundtruth/gt%06d.png" % k}
    with tarfile.open(tar_path) as tar:
        for member in tar:
            if member.name in wanted:
                target = os.path.join(folder, member.name.split("/", 1)[1])
                os.makedirs(os.path.dirname(target), exist_ok=True)
                with open(target, "wb") as f:
                    f.write(tar.extractfile(member).read())
    with open(os.path.join(folder, "temporalROI.txt"), "w") as f:
        f.write("470 %d\n" % last)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out", help="folder to make the dataset in")
    parser.add_argument("--highway", type=int, metavar="LAST", help="add baseline/highway, frames 1..LAST")
    args = parser.parse_args()
    data = os.environ.get("ZEMB_DATA") or os.path.normpath(os.path.join(REPO, "..", "shared", "data"))
    if args.highway is not None:
        if args.highway <= 470:
            sys.exit("make_dataset.py: --highway: the highway sequence is scored from frame 470 on")
        if not os.path.isfile(os.path.join(data, "cdnet-highway.tar")):
            sys.exit(f"make_dataset.py: --highway needs cdnet-highway.tar, not found in {data}: "
                     "set ZEMB_DATA to the folder that holds it")
    if not os.path.isfile(WALK_TARBALL):
        sys.exit(f"make_dataset.py: {WALK_TARBALL}: not found (it comes with the repository)")
    rng = random.Random(14)
    frames, truths, roi = street_video()
    write_video(os.path.join(args.out, "baseline", "street"), frames, truths, roi)
    write_video(os.path.join(args.out, "baseline", "squares"), *squares_video(rng))
    write_video(os.path.join(args.out, "shadow", "disc"), *disc_video(rng))
    write_video(os.path.join(args.out, "thermal", "corridor"), *corridor_video(rng))
    if args.highway is not None:
        try:
            highway_cut(args.out, args.highway, data)
        except (OSError, tarfile.TarError) as e:
            sys.exit(f"make_dataset.py: {os.path.join(data, 'cdnet-highway.tar')}: cannot be read ({e})")


if __name__ == "__main__":
    main()
