#!/usr/bin/env python3
"""Where a coupled run spends its time, per grid level, read from the program's own console.

Runs optic_flow_3DMultilayers on the 3-layer samples of make_layered_sample (one time step,
-seed 1) with both output streams unbuffered (stdbuf -o0 -e0) in one pipe, and stamps every
piece of text as it arrives. The console already says when each pass ends: the level banner
("**** Resolution R grid level G") follows the level's initialisation, "horizontale : N" ends a
horizontal pass (N repetitions of ICM sweeps and auxiliary fits per layer), ",<tab>vertical : M"
ends the vertical pass that follows (M up-and-down sweeps over the interfaces) and
"convergence ..." ends the level. Nothing in the program changes for this.

    bench/level_times.py [-b BIN_DIR] [-s "256 512"] [-w WORK_DIR] [-r REPEATS] [-- ARGS...]

Prints one Markdown table per size: per grid level the alternations, the horizontal and vertical
repetitions summed over them, and their seconds (a horizontal pass's time includes the data
weights and temporary files of the alternation before it; "init" is the level's preparation
before its banner, with the block splitting and re-registration of the level before). With
-r the fastest of the runs is kept. ARGS go to the program (e.g. -- -threads 1).
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def timed_console(cmd, cwd):
    """[(seconds since start, text)] of the merged, unbuffered console of cmd."""
    start = time.monotonic()
    proc = subprocess.Popen(["stdbuf", "-o0", "-e0"] + cmd, cwd=cwd, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    pieces = []
    fd = proc.stdout.fileno()
    while True:
        data = os.read(fd, 65536)
        if not data:
            break
        pieces.append((time.monotonic() - start, data.decode("latin-1")))
    if proc.wait() != 0:
        sys.exit("level_times.py: the program ended with status %d" % proc.returncode)
    return pieces, time.monotonic() - start


MARKS = [
    ("level", re.compile(r"\*\*\*\* Resolution (\d+) grid level (\d+)")),
    ("horizontal", re.compile(r"horizontale : (\d+)")),
    ("vertical", re.compile(r",\tvertical : (\d+)")),
    ("end", re.compile(r"convergence (?:accomplish|not reached) within (\d+)")),
]


def events(pieces):
    """(time, kind, values) of every mark, stamped with the arrival of its last character."""
    text, stamps = "", []
    for t, s in pieces:
        text += s
        stamps.append((len(text), t))
    found = []
    for kind, rx in MARKS:
        for m in rx.finditer(text):
            t = next(t for end, t in stamps if end >= m.end())
            found.append((m.end(), t, kind, [int(g) for g in m.groups()]))
    found.sort()
    return [(t, kind, vals) for _, t, kind, vals in found]


def levels(evs):
    rows, cur, last = [], None, 0.0
    for t, kind, vals in evs:
        if kind == "level":
            cur = {"level": "%d / %d" % tuple(vals), "init": t - last, "alt": 0, "h": 0, "v": 0,
                   "hs": 0.0, "vs": 0.0, "start": t}
            last = t
        elif kind == "horizontal":
            cur["h"] += vals[0]
            cur["hs"] += t - last
            last = t
        elif kind == "vertical":
            cur["v"] += vals[0]
            cur["vs"] += t - last
            cur["alt"] += 1
            last = t
        elif kind == "end":
            cur["total"] = t - cur["start"] + cur["init"]
            last = t
            rows.append(cur)
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("-b", default=os.path.join(HERE, "build", "bin"))
    ap.add_argument("-s", default="256 512")
    ap.add_argument("-w", default=os.path.join(HERE, "build", "level_times"))
    ap.add_argument("-r", type=int, default=1)
    ap.add_argument("args", nargs="*")
    o = ap.parse_args()
    bin_dir = os.path.abspath(o.b)
    prog = os.path.join(bin_dir, "optic_flow_3DMultilayers")
    for size in o.s.split():
        sample = os.path.join(o.w, "s%s" % size)
        if not os.path.isdir(sample):
            subprocess.run([os.path.join(bin_dir, "make_layered_sample"), "-o", sample, "-size",
                            size, "-layers", "3", "-samples", "2", "-seed", "1"], check=True,
                           stdout=subprocess.DEVNULL)
        best = None
        for _ in range(o.r):
            run = os.path.join(o.w, "run%s" % size)
            shutil.rmtree(run, ignore_errors=True)
            shutil.copytree(sample, run)
            pieces, total = timed_console(
                [prog, "-nbTimeSample", "2", "-nbLayers", "3"] + o.args, run)
            if best is None or total < best[1]:
                best = (pieces, total)
        rows = levels(events(best[0]))
        print("\n%s x %s, %s: %.2f s in all\n" % (size, size, " ".join(o.args) or "defaults",
                                                  best[1]))
        print("| resolution / grid level | alternations | horizontal repetitions | "
              "vertical repetitions | horizontal s | vertical s | init s | level s |")
        print("|---|---|---|---|---|---|---|---|")
        sums = [0, 0, 0, 0.0, 0.0, 0.0, 0.0]
        for r in rows:
            vals = [r["alt"], r["h"], r["v"], r["hs"], r["vs"], r["init"], r["total"]]
            sums = [a + b for a, b in zip(sums, vals)]
            print("| %s | %d | %d | %d | %.2f | %.2f | %.2f | %.2f |" % tuple([r["level"]] + vals))
        print("| all | %d | %d | %d | %.2f | %.2f | %.2f | %.2f |" % tuple(sums))


if __name__ == "__main__":
    main()
