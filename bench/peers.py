#!/usr/bin/env python3
"""General-purpose optical flow on the samples of make_layered_sample, scored like compare_winds.

Each peer sees every layer's image pair (t, t + dt) on its own and gives one flow per layer and
time step. The 10-bit images are mapped linearly to 8 bits, the same map for both images of a
pair (their common minimum to 0, their common maximum to 255), so that brightness changes
between the two images are kept. The flows are quantised as the estimator's .xaf files are
(steps of 0.005 px) and scored with compare_winds' endpoint error: the mean over the interior
(a margin of M pixels left out) of |(u, v) - (u_true, v_true)|, per layer and step.

    /usr/bin/python3 bench/peers.py SAMPLE_DIR [-nbTimeSample S] [-nbLayers L] [-margin M]
                                    [-peers deepflow,dis,tvl1,farneback] [-write] [-threads N]

Prints one line per peer: "peer NAME epe E0 E1 ... mean EM seconds T" (T: the peer's own time
for every layer and step, one thread unless -threads N; 0: all cores). -write also writes each flow as
"<t image>_<peer>.xaf" in the sample folder. Needs Debian's python3-opencv (cv2.optflow comes
from its contrib modules) and numpy.
"""
import argparse
import os
import sys
import time

import cv2
import numpy as np


def read_pgm10(path):
    """A P5 greymap of maximum 255 or 1023 (two bytes a sample, low byte first) as float64."""
    with open(path, "rb") as f:
        data = f.read()
    fields, pos = [], 0
    while len(fields) < 4:  # magic, columns, lines, maximum; '#' comments skipped
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos) + 1
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    pos += 1
    if fields[0] != b"P5":
        sys.exit("peers.py: %s is not a binary greymap" % path)
    cols, lines, maxval = int(fields[1]), int(fields[2]), int(fields[3])
    dtype = np.uint8 if maxval < 256 else np.dtype("<u2")
    samples = np.frombuffer(data, dtype=dtype, count=cols * lines, offset=pos)
    return samples.reshape(lines, cols).astype(np.float64)


def to_8bit(a, b):
    lo, hi = min(a.min(), b.min()), max(a.max(), b.max())
    scale = 255.0 / (hi - lo) if hi > lo else 0.0
    conv = lambda x: np.clip(np.rint((x - lo) * scale), 0, 255).astype(np.uint8)
    return conv(a), conv(b)


def read_xaf(path):
    raw = np.fromfile(path, dtype=np.uint8)
    lines, cols = int(raw[0]) * 256 + raw[1], int(raw[2]) * 256 + raw[3]
    codes = raw[4:].reshape(2, lines, cols, 2)
    c = codes[..., 0].astype(np.int8).astype(np.float64)
    f = codes[..., 1] / 200.0 - 1.0
    x = np.where(c >= 0, c + f, c - f)
    return x[0], x[1]


def xaf_codes(x):
    """The two-byte codes of the .xaf format: c the integer part moved one unit away from zero
    (0 counts as positive), c1 the fraction in units of 1/200; saturated at -128 .. 127 px."""
    x = np.clip(np.asarray(x, dtype=np.float64), -127.995, 126.995)
    a = np.abs(x)
    whole = np.floor(a)
    frac = np.rint((a - whole) * 200.0)
    carry = frac >= 200.0
    whole = np.where(carry, whole + 1.0, whole)
    frac = np.where(carry, 0.0, frac)
    c = np.where(x >= 0, whole + 1.0, -(whole + 1.0)).astype(np.int8)
    return c.view(np.uint8), frac.astype(np.uint8)


def quantise(x):
    c, c1 = xaf_codes(x)
    c = c.view(np.int8).astype(np.float64)
    f = c1 / 200.0 - 1.0
    return np.where(c >= 0, c + f, c - f)


def write_xaf(path, u, v):
    lines, cols = u.shape
    out = np.empty((2, lines, cols, 2), dtype=np.uint8)
    for k, comp in enumerate((u, v)):
        out[k, ..., 0], out[k, ..., 1] = xaf_codes(comp)
    with open(path, "wb") as f:
        f.write(bytes([lines >> 8, lines & 255, cols >> 8, cols & 255]))
        f.write(out.tobytes())


def endpoint_error(u, v, ut, vt, margin):
    sl = (slice(margin, u.shape[0] - margin), slice(margin, u.shape[1] - margin))
    return float(np.mean(np.hypot(u[sl] - ut[sl], v[sl] - vt[sl])))


# The peers, each with OpenCV's defaults except where noted; the same settings for every sample.
def deepflow():
    algo = cv2.optflow.createOptFlow_DeepFlow()
    return lambda a, b: algo.calc(a, b, None)


def dis():
    # The MEDIUM preset (OpenCV's documented choice for quality over the default FAST speed),
    # with variational refinement as the preset sets it.
    algo = cv2.DISOpticalFlow_create(cv2.DISOPTICAL_FLOW_PRESET_MEDIUM)
    return lambda a, b: algo.calc(a, b, None)


def tvl1():
    algo = cv2.optflow.createOptFlow_DualTVL1()
    return lambda a, b: algo.calc(a, b, None)


def farneback():
    # The parameters of OpenCV's own sample (samples/python/opt_flow.py).
    return lambda a, b: cv2.calcOpticalFlowFarneback(a, b, None, 0.5, 3, 15, 3, 5, 1.2, 0)


PEERS = {"deepflow": deepflow, "dis": dis, "tvl1": tvl1, "farneback": farneback}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("dir")
    ap.add_argument("-nbTimeSample", type=int, default=2)
    ap.add_argument("-nbLayers", type=int, default=3)
    ap.add_argument("-margin", type=int, default=8)
    ap.add_argument("-peers", default="deepflow,dis,tvl1,farneback")
    ap.add_argument("-write", action="store_true")
    ap.add_argument("-threads", type=int, default=1, help="OpenCV threads (0: all cores)")
    o = ap.parse_args()
    cv2.setNumThreads(o.threads if o.threads > 0 else os.cpu_count())
    steps = o.nbTimeSample - 1
    with open(os.path.join(o.dir, "inImage_3D.txt")) as f:
        names = [line.strip() for line in f if line.strip()]
    if len(names) < 2 * steps * o.nbLayers:
        sys.exit("peers.py: the image list holds %d paths; %d are needed"
                 % (len(names), 2 * steps * o.nbLayers))
    pairs = []  # (layer, step, t image path, 8-bit pair)
    for layer in range(o.nbLayers):
        for step in range(steps):
            k = 2 * steps * layer + 2 * step
            t, tdt = (os.path.join(o.dir, names[k + d]) for d in (0, 1))
            pairs.append((layer, step, t, to_8bit(read_pgm10(t), read_pgm10(tdt))))
    for name in o.peers.split(","):
        if name not in PEERS:
            sys.exit("peers.py: unknown peer %s (known: %s)" % (name, ",".join(PEERS)))
        calc = PEERS[name]()
        epe, seconds = {}, 0.0
        for layer, step, t, (a, b) in pairs:
            start = time.perf_counter()
            flow = calc(a, b)
            seconds += time.perf_counter() - start
            u, v = quantise(flow[..., 0]), quantise(flow[..., 1])
            ut, vt = read_xaf(os.path.join(o.dir, "truth_layer%d_step%d.xaf" % (layer, step)))
            epe.setdefault(layer, []).append(endpoint_error(u, v, ut, vt, o.margin))
            if o.write:
                write_xaf("%s_%s.xaf" % (t, name), u, v)
        per_layer = [sum(e) / len(e) for _, e in sorted(epe.items())]
        print("peer %s epe %s mean %.4f seconds %.2f" % (
            name, " ".join("%.4f" % e for e in per_layer), sum(per_layer) / len(per_layer),
            seconds))


if __name__ == "__main__":
    main()
