"""The doors of the Python module: its masks and background images against
the files the zemb program writes for the same frames, its refusals, and
two subtractors working at once. ZEMB_EXE names the program and
ZEMB_SAMPLES_DIR the folder of the bundled sample."""
import os
import shutil
import subprocess
import tarfile
import threading
from pathlib import Path

import numpy as np
import pytest
import zemb

K = 20
LAST = 60
W, H = 160, 120


def program_run(folder, sequence, *switches):
    """The program's masks (online frames) and model images (every frame) by frame number."""
    out = folder / ("out" + "".join(s.strip("-") for s in switches))
    subprocess.run([os.environ["ZEMB_EXE"], sequence, "1", str(LAST), "-K", str(K), "-m", "-o", str(out),
                    *switches], cwd=folder, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    base = Path(sequence).stem.split(".")[0]
    n = int(switches[switches.index("-n") + 1]) if "-n" in switches else 3
    masks = {k: (out / f"{base}Mask.{k}.pgm").read_bytes()[-W * H:] for k in range(K + 1, LAST + 1)}
    models = {k: (out / f"{base}Model.{k}.ppm").read_bytes()[-n * n * W * H * 3:] for k in range(1, LAST + 1)}
    return masks, models


@pytest.fixture(scope="module")
def walk(tmp_path_factory):
    folder = tmp_path_factory.mktemp("walk")
    with tarfile.open(Path(os.environ["ZEMB_SAMPLES_DIR"]) / "walk-160x120.tar.xz") as archive:
        archive.extractall(folder)
    return folder


def padded(frame):
    """The same pixels as a view whose rows and pixels are not packed."""
    room = np.zeros((H, W + 3, 4), np.uint8)
    room[:, :W, :3] = frame
    return room[:, :W, :3]


# Each way a frame may come: the order it is in and what makes it.
WAYS = {
    "rgb": ("rgb", lambda f: f),
    "bgr": ("bgr", lambda f: np.ascontiguousarray(f[..., ::-1])),
    "bgr view": ("bgr", lambda f: f[..., ::-1]),
    "padded view": ("rgb", padded),
}


def check_run(sequence, expected, way, **settings):
    order, make = WAYS[way]
    masks, models = expected
    subtractor = zemb.Subtractor(W, H, K=K, **settings)
    for k, frame in enumerate(zemb.frames(sequence, 1, LAST), start=1):
        mask = subtractor.apply(make(frame), order=order)
        assert mask.shape == (H, W) and mask.dtype == np.uint8
        if k > K:
            assert mask.tobytes() == masks[k], f"mask of frame {k}"
        else:
            assert not mask.any(), f"frame {k} is before the online phase"
        background = subtractor.background(order)
        if order == "bgr":
            background = background[..., ::-1]
        assert background.shape == (3 * H, 3 * W, 3)
        assert background.tobytes() == models[k], f"background of frame {k}"
    assert subtractor.frames == LAST and subtractor.phase == "online"


@pytest.mark.parametrize("way", WAYS)
def test_sample_masks_and_backgrounds_are_the_programs(walk, way):
    check_run(str(walk / "walk"), program_run(walk, "walk"), way)


def test_a_region_gives_the_programs_masks_and_backgrounds(walk):
    rows, cols = np.mgrid[0:H, 0:W]
    region = (rows - 60) ** 2 + (cols - 80) ** 2 < 45 ** 2
    image = np.repeat(region.astype(np.uint8)[..., None] * 255, 3, axis=2)
    (walk / "roi.ppm").write_bytes(f"P6\n{W} {H}\n255\n".encode() + image.tobytes())
    expected = program_run(walk, "walk", "--roi", "roi.ppm")
    assert all(not np.frombuffer(m, np.uint8)[~region.ravel()].any() for m in expected[0].values())
    check_run(str(walk / "walk"), expected, "rgb", region=region)


def test_video_masks_and_backgrounds_are_the_programs(walk):
    if shutil.which("ffmpeg") is None:
        pytest.skip("ffmpeg is not installed (Debian: ffmpeg): no video to read")
    video = walk / "walk.mkv"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-framerate", "10", "-start_number", "1", "-i",
                    str(walk / "walk.%d.ppm"), "-frames:v", str(LAST), "-c:v", "libx264", "-pix_fmt",
                    "yuv420p", str(video)], check=True)
    expected = program_run(walk, "walk.mkv", "-s")
    check_run(str(video), expected, "bgr view", shadow=True)


def test_two_subtractors_in_two_threads(walk):
    frames = list(zemb.frames(str(walk / "walk"), 1, LAST))
    expected = {"plain": program_run(walk, "walk")[0], "shadow": program_run(walk, "walk", "-s", "-n", "5")[0]}
    settings = {"plain": {}, "shadow": {"shadow": True, "n": 5}}
    got = {}

    def work(name):
        subtractor = zemb.Subtractor(W, H, K=K, **settings[name])
        got[name] = [subtractor.apply(f).tobytes() for f in frames]

    threads = [threading.Thread(target=work, args=(name,)) for name in settings]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for name, masks in expected.items():
        assert [got[name][k - 1] for k in masks] == list(masks.values()), name


def test_settings_are_the_programs_defaults_and_readable():
    s = zemb.Subtractor(W, H)
    assert (s.width, s.height, s.n, s.K, s.shadow, s.threads, s.phase, s.frames) == \
        (W, H, 3, 200, False, 1, "first_frame", 0)
    assert np.float32(s.e1) == np.float32(0.1) and np.float32(s.e2) == np.float32(0.03)
    assert (np.float32(s.c1), np.float32(s.c2)) == (np.float32(1.0), np.float32(0.05))
    assert (np.float32(s.gamma), s.beta, np.float32(s.tau_S), s.tau_H) == (np.float32(0.7), 1.0, np.float32(0.1), 10.0)
    assert s.vector_unit in ("scalar", "avx2", "avx512")
    assert zemb.Subtractor(W, H, vector_unit="scalar", threads=0).vector_unit == "scalar"
    assert (s.ghost_frames, s.relearn, s.relearned) == (0, 0.0, False)
    g = zemb.Subtractor(W, H, ghost_frames=50, relearn=0.5)
    assert (g.ghost_frames, g.relearn) == (50, 0.5)


REFUSALS = [
    # what is handed in, the exception, what its message names
    (lambda s: s.apply(np.zeros((H, W, 3), np.float32)), TypeError, "float32"),
    (lambda s: s.apply(np.zeros((H, W), np.uint8)), ValueError, f"({H}, {W}, 3), not ({H}, {W})"),
    (lambda s: s.apply(np.zeros((H, W, 4), np.uint8)), ValueError, f"not ({H}, {W}, 4)"),
    (lambda s: s.apply(np.zeros((W, H, 3), np.uint8)), ValueError, f"not ({W}, {H}, 3)"),
    (lambda s: s.apply(np.zeros((H, W, 3), np.uint8), order="rgba"), ValueError, '"rgba"'),
    (lambda s: s.apply([[1, 2, 3]]), TypeError, "NumPy array of uint8, not list"),
    (lambda s: s.background(), ValueError, "no background before the first frame"),
    (lambda s: zemb.Subtractor(W, H, n=4), ValueError, "n must be 1, 3, 5, 7 or 9 (the map side), not 4"),
    (lambda s: zemb.Subtractor(W, H, K=0), ValueError, "K must be at least 1"),
    (lambda s: zemb.Subtractor(W, H, threads=-2), ValueError, "threads must be 0 (one per core) or more"),
    (lambda s: zemb.Subtractor(0, H), ValueError, "the frames have no pixels (0 x 120)"),
    (lambda s: zemb.Subtractor(W, H, vector_unit="sse"), ValueError, '"sse"'),
    (lambda s: zemb.Subtractor(W, H, 3), TypeError, "incompatible"),
    (lambda s: zemb.frames("no-such-walk"), FileNotFoundError, "no-such-walk.1.ppm"),
    (lambda s: zemb.frames("in%s.jpg"), ValueError, "in%s.jpg"),
    (lambda s: zemb.Subtractor(W, H, region=np.ones((W, H))), ValueError, f"({H}, {W}), not ({W}, {H})"),
    (lambda s: zemb.Subtractor(W, H, region=np.zeros((H, W))), ValueError, "the region is empty"),
]


@pytest.mark.parametrize("call,exception,names", REFUSALS)
def test_wrong_inputs_are_refused_saying_what_they_got(call, exception, names):
    subtractor = zemb.Subtractor(W, H)
    with pytest.raises(exception) as raised:
        call(subtractor)
    assert names in str(raised.value)
    assert subtractor.frames == 0


def test_a_saved_subtractor_resumes_in_the_program_and_back(walk, tmp_path):
    """Python trains and saves; the program goes on from the file to its own whole run's masks;
    frozen frames leave the background alone."""
    masks, _ = program_run(walk, "walk")
    frames = list(zemb.frames(str(walk / "walk"), 1, LAST))
    trained = zemb.Subtractor(W, H, K=K)
    for frame in frames[:30]:
        trained.apply(frame)
    trained.save(str(tmp_path / "state"))
    out = tmp_path / "out"
    subprocess.run([os.environ["ZEMB_EXE"], str(walk / "walk"), "31", str(LAST), "-o", str(out), "--load-model",
                    str(tmp_path / "state")], check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    assert all((out / f"walkMask.{k}.pgm").read_bytes()[-W * H:] == masks[k] for k in range(31, LAST + 1))
    resumed = zemb.Subtractor(W, H)
    resumed.load(tmp_path / "state")
    assert resumed.K == K and resumed.frames == 30
    before = resumed.background()
    assert resumed.apply(frames[30], learn=False).tobytes() == masks[31]
    assert resumed.background().tobytes() == before.tobytes()
    (tmp_path / "state").write_bytes((tmp_path / "state").read_bytes()[:1000])
    with pytest.raises(zemb.Error, match="cut short"):
        resumed.load(tmp_path / "state")
