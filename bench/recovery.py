#!/usr/bin/python3
"""F-measure over time with and without -G and --relearn, on generated scenes
with ground truth: objects in the first frame that leave, an object that
arrives and stops, a light switched on; a walker crosses each scene.

    /usr/bin/python3 bench/recovery.py build/zemb [WORKDIR]

WORKDIR keeps the frames, ground truth and masks (default: a scratch folder,
removed at the end).
Prints Markdown tables: F-measure per window of online frames, and the frame
from which each ghost box stays under 5 % wrongly foreground. Truth marks what
moves in that frame: an object that has stopped, the ground a ghost covers and
a brighter scene are background. Needs numpy (Debian: python3-numpy).
"""
import os
import subprocess
import sys
import tempfile

import numpy as np

W, H = 160, 120
FRAMES = 500
K = 200                      # zemb's default calibration: online from frame 201
WINDOW = 50                  # online frames per scored window
SEED = 29
NOISE = 2.0                  # standard deviation per channel, in grey levels
GONE_SHARE = 0.05            # a ghost box under this share is gone
RUNS = [[], ["-G", "10"], ["-G", "25"], ["-G", "50"], ["--relearn", "0.5"], ["-G", "50", "--relearn", "0.5"]]

# Boxes as (x, y, w, h). The walker crosses rows 70..105, a column a frame,
# back and forth, so each pixel is covered at most 19 frames in a row.
WALKER_Y, WALKER_W, WALKER_H = 70, 10, 36
LEFT_BOX, RIGHT_BOX, STOP_BOX = (20, 15, 30, 40), (100, 15, 30, 40), (70, 15, 30, 40)
LEFT_LEAVES, RIGHT_LEAVES = 230, 320          # they move out at 2 columns a frame
ARRIVES, STOPS = 220, 265                     # enters at the right edge, 2 columns a frame
LIGHT_ON, LIGHT = 301, 80                     # every channel brighter from that frame


def background():
    y, x = np.mgrid[0:H, 0:W].astype(np.float64)
    stripes = 12 * np.sin(x / 7.0) * np.cos(y / 11.0)
    return np.stack([70 + 0.5 * y + stripes, 100 + 0.3 * x, 120 - 0.2 * y - stripes], axis=-1)


def walker_x(k):
    """Enters at the left edge in the first online frame, so calibration sees no walker."""
    if k <= K:
        return -WALKER_W
    span = W + WALKER_W
    t = (k - K - 1) % (2 * span)
    return (t if t < span else 2 * span - t) - WALKER_W


def objects(scene, k):
    """(box, colour, moving) of each object in frame k."""
    out = [((walker_x(k), WALKER_Y, WALKER_W, WALKER_H), (210, 180, 60), True)]
    if scene == "leave":
        x, y, w, h = LEFT_BOX
        out.append(((x - 2 * max(0, k - LEFT_LEAVES), y, w, h), (110, 30, 30), k > LEFT_LEAVES))
        x, y, w, h = RIGHT_BOX
        out.append(((x + 2 * max(0, k - RIGHT_LEAVES), y, w, h), (30, 40, 130), k > RIGHT_LEAVES))
    elif scene == "stop" and k >= ARRIVES:
        x, y, w, h = STOP_BOX
        out.append(((max(x, W - 2 * (k - ARRIVES)), y, w, h), (40, 120, 40), k < STOPS))
    return out


def clip_box(box):
    x, y, w, h = box
    return (slice(min(max(y, 0), H), min(max(y + h, 0), H)),
            slice(min(max(x, 0), W), min(max(x + w, 0), W)))


def make_scene(scene, folder, rng):
    base = background()
    for k in range(1, FRAMES + 1):
        frame = base + (LIGHT if scene == "light" and k >= LIGHT_ON else 0)
        truth = np.zeros((H, W), np.uint8)
        for box, colour, moves in objects(scene, k):
            frame[clip_box(box)] = colour
            if moves:
                truth[clip_box(box)] = 255
        frame = np.clip(np.rint(frame + rng.normal(0, NOISE, frame.shape)), 0, 255).astype(np.uint8)
        with open(os.path.join(folder, "f.%d.ppm" % k), "wb") as f:
            f.write(b"P6\n%d %d\n255\n" % (W, H) + frame.tobytes())
        with open(os.path.join(folder, "gt%d.pgm" % k), "wb") as f:
            f.write(b"P5\n%d %d\n255\n" % (W, H) + truth.tobytes())


def read_pgm(path):
    with open(path, "rb") as f:
        data = f.read()
    return np.frombuffer(data[len(data) - W * H:], np.uint8).reshape(H, W)


def ghost_boxes(scene):
    """(name, box, frame the ghost can start) whose wrong foreground is timed."""
    if scene == "leave":
        return [("left box", LEFT_BOX, LEFT_LEAVES), ("right box", RIGHT_BOX, RIGHT_LEAVES)]
    if scene == "stop":
        return [("stopped box", STOP_BOX, STOPS)]
    return [("whole frame", (0, 0, W, H), LIGHT_ON)]


def score(scene, folder, masks):
    tp, fp, fn = np.zeros(FRAMES + 1), np.zeros(FRAMES + 1), np.zeros(FRAMES + 1)
    ghosts = ghost_boxes(scene)
    share = np.zeros((len(ghosts), FRAMES + 1))
    for k in range(K + 1, FRAMES + 1):
        fg = read_pgm(os.path.join(masks, "fMask.%d.pgm" % k)) != 0
        gt = read_pgm(os.path.join(folder, "gt%d.pgm" % k)) == 255
        tp[k], fp[k], fn[k] = (fg & gt).sum(), (fg & ~gt).sum(), (~fg & gt).sum()
        for g, (_, box, _) in enumerate(ghosts):
            rows, cols = clip_box(box)
            share[g, k] = (fg & ~gt)[rows, cols].mean()
    windows = []
    for start in range(K + 1, FRAMES + 1, WINDOW):
        s = slice(start, start + WINDOW)
        windows.append(2 * tp[s].sum() / (2 * tp[s].sum() + fp[s].sum() + fn[s].sum()))
    whole = 2 * tp.sum() / (2 * tp.sum() + fp.sum() + fn.sum())
    gone = []  # the frame after the last one at or over GONE_SHARE
    for g, (_, _, start) in enumerate(ghosts):
        over = [k for k in range(start, FRAMES + 1) if share[g, k] >= GONE_SHARE]
        gone.append(start if not over else over[-1] + 1)
    return windows, whole, gone


def measure(zemb, work):
    rng = np.random.default_rng(SEED)
    starts = range(K + 1, FRAMES + 1, WINDOW)
    heads = ["%d-%d" % (s, min(s + WINDOW - 1, FRAMES)) for s in starts]
    for scene in ("leave", "stop", "light"):
        folder = os.path.join(work, scene)
        os.makedirs(folder, exist_ok=True)
        make_scene(scene, folder, rng)
        names = [g[0] for g in ghost_boxes(scene)]
        print("\n### %s\n" % scene)
        print("| switches | " + " | ".join(heads) + " | all | " +
              " | ".join(n + " gone" for n in names) + " |")
        print("|---|" + "---:|" * (len(heads) + 1 + len(names)))
        for switches in RUNS:
            masks = os.path.join(folder, "-".join(switches).replace("-", "") or "plain")
            os.makedirs(masks, exist_ok=True)
            r = subprocess.run([zemb, "f", "1", str(FRAMES), "-o", masks, "--no-wait"] + switches,
                               cwd=folder, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, text=True)
            if r.returncode != 0:
                sys.exit("zemb failed: " + r.stderr)
            windows, whole, gone = score(scene, folder, masks)
            relearnt = [l.split("frame ")[1].split(":")[0] for l in r.stderr.splitlines()
                        if "relearning" in l]
            label = " ".join(switches) or "none"
            if relearnt:
                label += " (relearnt at %s)" % ", ".join(relearnt)
            print("| %s | %s | %.4f | %s |" % (
                label, " | ".join("%.4f" % f for f in windows), whole,
                " | ".join(str(g) if g <= FRAMES else "not by %d" % FRAMES for g in gone)))


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    zemb = os.path.abspath(sys.argv[1])
    if len(sys.argv) == 3:
        measure(zemb, sys.argv[2])
    else:
        with tempfile.TemporaryDirectory(prefix="zemb-recovery-") as work:
            measure(zemb, work)


if __name__ == "__main__":
    main()
