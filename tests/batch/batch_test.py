#!/usr/bin/env python3
"""zemb-batch's behaviours.

Tables: the benchmark's averages on hand-made scores, and the command lines
it refuses. Tools: zembtools on its own. Doors: what a shared or hostile
results folder or list file cannot do (a stand-in zemb). Runs: whole runs of
the real zemb on the generated dataset (the same table however many run at a
time, resumption after an interrupt, new settings, a failing video, a list
of sequences, a one-video root, % in folder names).

Usage: batch_test.py <build folder> Tables|Tools|Doors|Runs
Runs needs a zemb that reads frame patterns and writes -o/-O masks; without
one it exits 77 (skipped), or fails where ZEMB_REQUIRE_BATCH_CLI=1.
"""
import csv
import json
import math
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from unittest import mock
import xml.etree.ElementTree as ElementTree

BUILD = os.path.abspath(sys.argv[1])
sys.path.insert(0, BUILD)
import zembtable  # noqa: E402
import zembtask  # noqa: E402
import zembtools  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
BATCH = os.path.join(BUILD, "zemb-batch")
ZEMB = os.environ.get("ZEMB_EXE") or os.path.join(BUILD, "zemb")  # another zemb to try
SKIPPED = 77


def batch(*args, cwd=None):
    return subprocess.run([BATCH, "--zemb", ZEMB] + list(args), capture_output=True, text=True, cwd=cwd,
                          stdin=subprocess.DEVNULL)


def read(path):
    with open(path) as f:
        return f.read()


def score_text(recall, precision, specificity=0.99, frames=10):
    """A zemb-eval --kv score with the given figures (nan for none); the
    counts do not enter the averages."""
    figures = {"recall": recall, "specificity": specificity, "FPR": 1 - specificity,
               "FNR": 1 - recall, "PWC": 1.0, "precision": precision,
               "F-measure": 2 * recall * precision / (recall + precision)}
    lines = ["first=1", f"last={frames}", f"frames={frames}", "TP=1", "FP=1", "FN=1", "TN=1"]
    lines += [f"{k}={'nan' if math.isnan(v) else '%.6f' % v}" for k, v in figures.items()]
    return "\n".join(lines) + "\n"


class Tables(unittest.TestCase):
    def summary(self):
        nan = float("nan")
        videos = [  # (category, video, score file or None for a failed video)
            ("ptz", "a", score_text(0.8, 0.6)),
            ("ptz", "b", score_text(0.4, 0.9)),
            ("single", "c", score_text(0.5, 0.5)),
            ("empty", "d", score_text(0.7, 0.8, specificity=0.9)),
            ("empty", "nothing-moves", score_text(nan, 0.0, specificity=0.95)),
            ("lost", "e", None),
        ]
        return zembtable.Summary([{"name": f"{c}/{v}", "category": c, "log": f"out/{c}/{v}/zemb.log",
                                   "score": zembtools.read_score(s) if s else None} for c, v, s in videos])

    def test_a_category_is_the_mean_of_its_videos_and_overall_the_mean_of_categories(self):
        rows = {(r["level"], r["name"]): r for r in csv.DictReader(self.summary().csv().splitlines())}
        f = lambda r, p: 2 * r * p / (r + p)  # noqa: E731
        for (level, name), figure, expected in [
            (("category", "ptz"), "recall", (0.8 + 0.4) / 2),      # not the pooled counts
            (("category", "ptz"), "F-measure", (f(0.8, 0.6) + f(0.4, 0.9)) / 2),
            (("category", "single"), "recall", 0.5),               # one video: its own figures
            (("category", "empty"), "recall", 0.7),                # nan (no positives) left out
            (("category", "empty"), "specificity", (0.9 + 0.95) / 2),  # ... but its other figures count
            (("category", "empty"), "F-measure", f(0.7, 0.8)),
            (("overall", ""), "recall", (0.6 + 0.5 + 0.7) / 3),    # categories, not videos; failed left out
            (("overall", ""), "precision", ((0.6 + 0.9) / 2 + 0.5 + 0.4) / 3),
        ]:
            self.assertAlmostEqual(float(rows[level, name][figure]), expected, places=5,
                                   msg=f"{level} {name} {figure}")
        for missing in ("recall", "F-measure"):
            self.assertEqual(rows["video", "empty/nothing-moves"][missing], "nan")
            self.assertEqual(rows["category", "lost"][missing], "nan")
        self.assertEqual(rows["video", "lost/e"]["log"], "out/lost/e/zemb.log")

    def test_text_and_json_show_failures_and_missing_figures(self):
        summary = self.summary()
        text = summary.text()
        self.assertRegex(text, r"lost/e +failed  see out/lost/e/zemb.log\n")
        self.assertRegex(text, r"\nlost +0/1 +nan ")
        self.assertIn("\nOverall (3/4 categories) ", text)
        data = json.loads(summary.json())
        self.assertIsNone(data["videos"][4]["recall"])
        self.assertEqual(data["overall"]["scored"], 3)
        chart = ElementTree.fromstring(summary.svg())
        labels = [t.text for t in chart.iter("{http://www.w3.org/2000/svg}text")]
        self.assertIn("ptz (mean)", labels)
        self.assertIn("failed", labels)

    def test_refused_command_lines(self):
        with tempfile.TemporaryDirectory() as tmp:
            for name in ("input/in000001.jpg", "groundtruth/gt000001.png"):
                os.makedirs(os.path.join(tmp, "ds/cat/vid", os.path.dirname(name)), exist_ok=True)
                open(os.path.join(tmp, "ds/cat/vid", name), "w").close()
            for args, message in [
                (["ds", "out", "--", "-o", "x"], "-o is zemb-batch's to set"),
                (["ds", "out", "--", "--report", "x"], "--report is zemb-batch's to set"),
                (["ds", "out", "--", "-l"], "-l keeps only the last mask"),
                (["--slurm", "ds", "out", "--", "-j", "0"], "-j 0 leaves the cores"),
                (["--local", "0", "ds", "out"], "'0' is not a positive number"),
                (["--local", "2", "--slurm", "ds", "out"], "not allowed with argument"),
                (["--sshloginfile", "m", "ds", "out"], "--sshloginfile needs --parallel"),
                (["--category", "cat,nosuch", "ds", "out"], "no category or video named nosuch"),
                (["--slurm", "ds", "out\ntouch x"], "the results folder holds a control character"),
                (["--slurm", "--time", "1:00\nid", "ds", "out"], "--time holds a control character"),
                (["--slurm", "ds", "out\\x"], "the results folder holds a backslash"),
                (["--roi", "ds", "out", "--resume"], "--roi cannot be combined with --resume"),
                (["--roi", "ds", "out", "--", "--roi", "r.bmp"], "--roi is given twice"),
            ]:
                r = batch(*args, cwd=tmp)
                self.assertEqual(r.returncode, 2, args)
                self.assertIn(message, r.stderr, args)
            self.assertFalse(os.path.exists(os.path.join(tmp, "out")))


class Tools(unittest.TestCase):
    """zembtools on its own."""

    def test_a_stopped_pool_ends_its_children_and_starts_no_more(self):
        pool, started = zembtools.Pool(2), []

        def job(item):
            return pool.run(["true"] if item == 1 else ["sleep", "30"])

        start = time.monotonic()
        jobs = pool.each(job, [1, 2, 3], on_start=started.append)
        self.assertEqual(next(jobs), (1, 0))
        jobs.close()  # as an interrupt in the caller does
        self.assertEqual(started, [1, 2])
        self.assertLess(time.monotonic() - start, 10)
        self.assertEqual(zembtools.exit_status(-signal.SIGTERM), 128 + signal.SIGTERM)

    def test_zembs_report_gives_the_online_figure_and_the_progress(self):
        timings = {"calibration": {"ms_per_frame": 9.5}, "online": {"ms_per_frame": 0.0035}}
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "zemb.json")
            for text, figure, progress in [
                (json.dumps({"state": "complete", "timings": timings, "frames_done": 9, "frames_total": 9}),
                 0.0035, (9, 9)),
                (json.dumps({"state": "running", "frames_done": 3, "frames_total": 0}), None, None),
                (json.dumps({"timings": {"online": {"ms_per_frame": None}}}), None, None),
                (json.dumps({"timings": {"online": {"ms_per_frame": True}}}), None, None),
                ('{"state": "runn', None, None),  # never seen whole, but a reader must survive it
                ("[1]", None, None),
                (None, None, None),
            ]:
                if text is None:
                    os.remove(path)
                else:
                    with open(path, "w") as f:
                        f.write(text)
                report = zembtools.read_report(path)
                self.assertEqual(zembtools.online_ms_per_frame(report), figure, text)
                self.assertEqual(zembtools.frames_done(report), progress, text)

    def test_the_progress_line_counts_the_running_videos_frames_on_a_terminal_only(self):
        with tempfile.TemporaryDirectory() as tmp:
            tasks = [{"index": i, "name": name, "frames": 100, "results": os.path.join(tmp, name)}
                     for i, name in enumerate(("a", "b", "c"))]
            for task, report in zip(tasks, [{"state": "complete", "frames_done": 99, "frames_total": 99},
                                            {"state": "running", "frames_done": 33, "frames_total": 66},
                                            {"state": "complete", "frames_done": 10, "frames_total": 10}]):
                os.makedirs(task["results"])
                with open(os.path.join(task["results"], zembtask.REPORT), "w") as f:
                    json.dump(report, f)
            # The third is being scored.
            for live, shown in [(True, "1 of 3 done, 2 running; 250 of 300 frames, "), (False, None)]:
                progress = zembtask.Progress(tasks, live=live)
                progress.state.update({0: "done", 1: "running", 2: "running"})
                # COLUMNS: the line is cut to the terminal's width.
                with tempfile.TemporaryFile("w+", newline="") as screen, \
                        mock.patch.dict(os.environ, COLUMNS="200"):
                    saved, sys.stderr = sys.stderr, screen
                    try:
                        progress.show_running()
                        zembtask.err("a message")
                    finally:
                        sys.stderr = saved
                    screen.seek(0)
                    text = screen.read()
                if shown:
                    self.assertRegex(text, rf"^\rzemb-batch: {shown}[0-9]+ frames/s, about [0-9:]+ left"
                                           r"\033\[K\r\033\[Ka message\n$")
                else:
                    self.assertEqual(text, "a message\n")


class Doors(unittest.TestCase):
    """What a hostile or shared results folder or list file cannot do; a
    stand-in zemb that sleeps FAKE_SLEEP seconds and succeeds."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zemb-batch-doors.")
        self.zemb = self.path("zemb")
        with open(self.zemb, "w") as f:
            f.write('#!/bin/sh\nsleep "${FAKE_SLEEP:-0}"\n')
        os.chmod(self.zemb, 0o755)
        self.listing = self.list_file("a.ppm 1 1 v\n")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def list_file(self, text):
        path = self.path("list.txt")
        with open(path, "w") as f:
            f.write(text)
        return path

    def run_batch(self, *args, sleep=0, wait=True):
        argv = [BATCH, "--zemb", self.zemb, self.listing, self.path("out")] + list(args)
        child = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True,
                                 env=dict(os.environ, FAKE_SLEEP=str(sleep)))
        if not wait:
            return child
        out, err = child.communicate()
        return subprocess.CompletedProcess(argv, child.returncode, out, err)

    def test_one_run_at_a_time_on_a_results_folder(self):
        first = self.run_batch(sleep=3, wait=False)
        status = self.path("out/v/status.json")
        deadline = time.monotonic() + 30
        while not os.path.exists(status):
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)
        second = self.run_batch()
        self.assertEqual(second.returncode, 1, second.stderr)
        self.assertIn(f"another zemb-batch is using this results folder (pid {first.pid} on ", second.stderr)
        first.communicate()
        self.assertEqual(first.returncode, 0)
        # The lock file stays behind, naming a process that is gone: free.
        # (--local alone: the default width.)
        r = self.run_batch("--force", "--local")
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_list_entries_that_name_one_folder_are_refused(self):
        for names in [("a", "a/"), ("a", "./a"), ("a/b", "a//b/.")]:
            self.list_file("".join(f"s{i}.ppm 1 1 {name}\n" for i, name in enumerate(names)))
            r = self.run_batch()
            self.assertEqual(r.returncode, 1, names)
            self.assertIn(f"list.txt:2: the results folder '{os.path.normpath(names[0])}' is line 1's too",
                          r.stderr)

    def test_a_status_file_with_wrong_types_is_no_status(self):
        self.assertEqual(self.run_batch().returncode, 0)
        status_file = self.path("out/v/status.json")
        good = json.loads(read(status_file))
        for field, value in [("ms_per_frame", "fast"), ("seconds", "1"), ("state", 5), ("key", "k"),
                             ("host", ["h"]), ("seconds", True)]:
            with open(status_file, "w") as f:
                json.dump(dict(good, **{field: value}), f)
            r = self.run_batch()
            self.assertEqual(r.returncode, 0, (field, r.stderr))
            self.assertIn("0 complete from an earlier run, 1 to run", r.stderr, field)

    def test_links_in_the_results_folder_are_replaced_or_refused(self):
        victim, victims = self.path("victim.txt"), self.path("victims")
        os.makedirs(victims)
        for name in ("bin000001.png", "score.kv", "status.json"):
            open(os.path.join(victims, name), "w").close()
        with open(victim, "w") as f:
            f.write("precious")
        for links, status, message in [
            ({"table.txt": victim, "v/zemb.log": victim, "v/status.json": victim,
              ".zemb-batch/tasks.json": victim}, 0, ""),
            ({"v": victims}, 1, "out/v: a symbolic link, not a folder: refused"),
            ({".zemb-batch": victims}, 1, "out/.zemb-batch: a symbolic link, not a folder: refused"),
        ]:
            shutil.rmtree(self.path("out"), ignore_errors=True)
            for name, target in links.items():
                os.makedirs(os.path.dirname(self.path("out", name)), exist_ok=True)
                os.symlink(target, self.path("out", name))
            r = self.run_batch()
            self.assertEqual(r.returncode, status, (links, r.stderr))
            self.assertIn(message, r.stderr)
            self.assertEqual(read(victim), "precious")
            self.assertEqual(sorted(os.listdir(victims)), ["bin000001.png", "score.kv", "status.json"])


class Runs(unittest.TestCase):
    """Whole runs on the generated dataset; the reference is --local 1."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="zemb-batch-test.")
        cls.ds = os.path.join(cls.tmp, "ds")
        subprocess.run([sys.executable, os.path.join(HERE, "make_dataset.py"), cls.ds], check=True)
        cls.reference = batch("--local", "1", cls.ds, os.path.join(cls.tmp, "reference"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def results(self, name):
        return os.path.join(self.tmp, name)

    def test_every_video_is_scored_with_a_table_and_a_chart(self):
        r = self.reference
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.splitlines()
        for video in ("baseline/squares", "baseline/street", "shadow/disc", "thermal/corridor"):
            row = next(line for line in lines if line.startswith(video + " "))
            frames, recall = row.split()[1:3]
            self.assertEqual(frames, "50")
            self.assertGreater(float(recall), 0.8, row)  # the objects are plain to see
        self.assertIn("Overall (3 categories)", r.stdout)
        self.assertEqual(read(os.path.join(self.results("reference"), "table.txt")), r.stdout)
        ElementTree.parse(os.path.join(self.results("reference"), "f-measure.svg"))
        self.assertTrue(os.path.exists(os.path.join(self.results("reference"), "shadow/disc/bin000250.png")))

    def test_the_table_does_not_depend_on_how_many_run_at_a_time(self):
        r = batch("--local", "2", self.ds, self.results("two"))
        self.assertEqual((r.returncode, r.stdout), (0, self.reference.stdout), r.stderr)

    def test_an_interrupted_run_resumes_with_the_videos_that_had_not_finished(self):
        results = self.results("interrupted")
        # The real zemb for the first video; every later one waits until the
        # interrupt, so that it meets a video midway however busy the machine.
        slow = os.path.join(self.tmp, "slow-zemb")
        gate = os.path.join(self.tmp, "first-zemb-started")
        with open(slow, "w") as f:
            f.write(f'#!/bin/sh\nmkdir "{gate}" 2>/dev/null && exec "{ZEMB}" "$@"\nexec sleep 120\n')
        os.chmod(slow, 0o755)
        first = os.path.join(results, "baseline/squares/status.json")
        run = subprocess.Popen([BATCH, "--zemb", slow, "--local", "1", self.ds, results],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
        following = [os.path.join(results, v, "status.json") for v in ("baseline/street", "shadow/disc")]
        deadline = time.monotonic() + 60
        # The first done and the next one running.
        while (not os.path.exists(first) or '"done"' not in read(first)
               or not any(os.path.exists(f) and '"running"' in read(f) for f in following)):
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)
        run.send_signal(signal.SIGINT)
        _, err = run.communicate()
        self.assertEqual(run.returncode, 130, err)
        self.assertIn("interrupted", err)
        states = [json.loads(read(os.path.join(results, v, "status.json")))["state"]
                  for v in ("baseline/street", "shadow/disc") if os.path.exists(os.path.join(results, v))]
        self.assertIn("stopped", states)
        done_at = os.stat(first).st_mtime_ns

        r = batch(self.ds, results)
        self.assertEqual((r.returncode, r.stdout), (0, self.reference.stdout), r.stderr)
        self.assertRegex(r.stderr, r"4 videos, [1-3] complete from an earlier run")
        self.assertEqual(os.stat(first).st_mtime_ns, done_at)

    def test_with_resume_a_stopped_video_goes_on_from_its_checkpoint(self):
        video = os.path.join(self.ds, "shadow/disc")
        results = self.results("resumed")
        folder = os.path.join(results, "disc")
        # A run stopped after frame 120, as its checkpoint and masks leave it.
        os.makedirs(folder)
        subprocess.run([ZEMB, os.path.join(video, "input/in%06d.jpg"), "1", "120", "-o", folder, "-O",
                        "bin%06d.png", "--save-model", os.path.join(folder, "zemb.model")],
                       stdin=subprocess.DEVNULL, capture_output=True, check=True)
        r = batch("--local", "1", "--resume", "50", video, results)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("Model loaded from:      " + os.path.join(folder, "zemb.model") + " (120 frames",
                      read(os.path.join(folder, "zemb.log")))
        reference = next(line for line in self.reference.stdout.splitlines() if line.startswith("shadow/disc "))
        self.assertEqual(r.stdout.splitlines()[1].split(), ["disc"] + reference.split()[1:])

    def test_new_settings_or_force_run_a_complete_video_again(self):
        results = self.results("settings")
        for args, to_run in [([], 1), ([], 0), (["--", "-e2", "0.02"], 1),
                             (["--force", "--", "-e2", "0.02"], 1), (["--", "-e2", "0.02"], 0)]:
            r = batch("--video", "squares", self.ds, results, *args)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn(f"{1 - to_run} complete from an earlier run, {to_run} to run", r.stderr, args)
        self.assertNotEqual(r.stdout.splitlines()[1], self.reference.stdout.splitlines()[1])

    def test_roi_segments_only_the_videos_region_and_is_scored_in_it(self):
        r = batch("--roi", "--video", "street", self.ds, self.results("roi"))
        self.assertEqual(r.returncode, 0, r.stderr)
        log = read(os.path.join(self.results("roi"), "baseline/street", "zemb.log"))
        self.assertIn("Region of interest:", log)
        row = next(line for line in r.stdout.splitlines() if line.startswith("baseline/street "))
        self.assertGreater(float(row.split()[2]), 0.8, row)

    def test_a_failing_video_is_reported_with_its_log_and_the_rest_go_on(self):
        ds = os.path.join(self.tmp, "damaged-ds")
        os.makedirs(os.path.join(ds, "thermal"))
        os.symlink(os.path.join(self.ds, "thermal/corridor"), os.path.join(ds, "thermal/corridor"))
        damaged = os.path.join(ds, "thermal/damaged")
        shutil.copytree(os.path.join(self.ds, "thermal/corridor"), damaged)
        with open(os.path.join(damaged, "input/in000120.jpg"), "r+b") as f:
            f.truncate(300)
        results = self.results("damaged")
        log = os.path.join(results, "thermal/damaged/zemb.log")
        for to_run in (2, 1):  # the failed video runs again next time, the good one not
            r = batch(ds, results)
            self.assertEqual(r.returncode, 1, r.stderr)
            self.assertIn(f"{to_run} to run", r.stderr)
            self.assertIn("thermal/damaged failed: zemb ended with status 1", r.stderr)
            self.assertIn(f"log: {log}", r.stderr)
            self.assertRegex(r.stdout, rf"thermal/damaged +failed  see {log}\n")
            self.assertRegex(r.stdout, r"\nthermal +1/2 ")
        self.assertTrue(os.path.getsize(log) > 0)

    def test_percent_signs_in_the_dataset_and_results_folders_are_plain_text(self):
        ds = os.path.join(self.tmp, "100%d ds")
        os.makedirs(os.path.join(ds, "baseline"))
        os.symlink(os.path.join(self.ds, "baseline/squares"), os.path.join(ds, "baseline/squares"))
        r = batch(ds, self.results("%s results"))
        self.assertEqual(r.returncode, 0, r.stderr)
        reference = next(line for line in self.reference.stdout.splitlines()
                         if line.startswith("baseline/squares "))
        self.assertEqual(r.stdout.splitlines()[1].split(), reference.split())

    def test_a_root_that_is_one_video_runs_it(self):
        r = batch("--local", os.path.join(self.ds, "shadow/disc"), self.results("one"))
        self.assertEqual(r.returncode, 0, r.stderr)
        reference = next(line for line in self.reference.stdout.splitlines()
                         if line.startswith("shadow/disc "))
        self.assertEqual(r.stdout.splitlines()[1].split(), ["disc"] + reference.split()[1:])
        self.assertRegex(r.stdout, r"\n- +1 .*\n\nOverall \(1 category\) ")
        self.assertIn("1 video, 0 complete", r.stderr)

    def test_a_list_of_sequences_runs_without_scores(self):
        listing = os.path.join(self.ds, "sequences.txt")
        with open(listing, "w") as f:
            f.write("# sequence first last [name]\nbaseline/squares/input/in%06d.jpg 1 250\n"
                    "shadow/disc/input/in%06d.jpg 1 250 disc-run\n")
        results = self.results("listed")
        r = batch(listing, results)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stdout, r"\nsquares +250 +[0-9.]+  complete\ndisc-run +250 ")
        self.assertTrue(os.path.exists(os.path.join(results, "disc-run/bin000250.png")))


def zemb_has_batch_cli():
    """Whether zemb reads frame patterns and writes masks where -o/-O say."""
    with tempfile.TemporaryDirectory() as tmp:
        frames = os.path.join(tmp, "in%06d.ppm")
        for k in (1, 2):
            with open(frames % k, "wb") as f:
                f.write(b"P6\n8 6\n255\n" + bytes(8 * 6 * 3))
        subprocess.run([ZEMB, frames, "1", "2", "-K", "1", "-o", tmp, "-O", "bin%06d.png"],
                       stdin=subprocess.DEVNULL, capture_output=True)
        return os.path.exists(os.path.join(tmp, "bin000002.png"))


if __name__ == "__main__":
    suite = sys.argv.pop(2)
    if suite == "Runs" and not zemb_has_batch_cli():
        print(f"{ZEMB} does not read frame patterns or write masks with -o/-O")
        sys.exit(1 if os.environ.get("ZEMB_REQUIRE_BATCH_CLI") == "1" else SKIPPED)
    unittest.main(argv=[sys.argv[0], suite], verbosity=2)
