#!/usr/bin/env python3
"""Horizontal-wind error by distance to the image edge, on a sample of make_layered_sample.

usage: edge_bands.py DIR [NB_TIME_SAMPLES] [NB_LAYERS]

For every layer and step it reads the estimate "<t image>_3D.xaf" and the truth
"truth_layer<l>_step<i>.xaf" and prints the mean endpoint error (px/step) over the pixels whose
distance to the nearest edge lies in 0-8, 8-16, 16-32 and 32+ px, then, over all layers and
steps, the same bands and the 8-32 px band of each edge (left, right, top, bottom) beside the
interior (32+) figure, and the vertical-wind correlation with the truth (8 px margin, as
compare_winds). Plain Python: no third-party module.
"""
import math
import os
import struct
import sys

BANDS = [(0, 8), (8, 16), (16, 32), (32, 1 << 30)]


def read_xaf(path):
    raw = open(path, 'rb').read()
    nl, nc = raw[0] * 256 + raw[1], raw[2] * 256 + raw[3]
    out = []
    for comp in range(2):
        base = 4 + comp * nl * nc * 2
        vals = []
        for k in range(nl * nc):
            c = struct.unpack('b', raw[base + 2 * k:base + 2 * k + 1])[0]
            f = raw[base + 2 * k + 1] / 200.0 - 1.0
            vals.append(c + f if c >= 0 else c - f)
        out.append(vals)
    return nc, nl, out[0], out[1]


def read_raw(path):
    raw = open(path, 'rb').read()
    return list(struct.unpack('<%df' % (len(raw) // 4), raw))


def corr(a, b):
    n = len(a)
    ma, mb = sum(a) / n, sum(b) / n
    sab = sum((x - ma) * (y - mb) for x, y in zip(a, b))
    saa = sum((x - ma) ** 2 for x in a)
    sbb = sum((y - mb) ** 2 for y in b)
    return sab / math.sqrt(saa * sbb) if saa > 0 and sbb > 0 else float('nan')


def main():
    d = sys.argv[1]
    nb_seq = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    nb_layers = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    names = [l.strip() for l in open(os.path.join(d, 'inImage_3D.txt')) if l.strip()]
    per_layer = 2 * (nb_seq - 1)
    tot = [[0.0, 0] for _ in BANDS]
    edge = {e: [0.0, 0] for e in ('left', 'right', 'top', 'bottom')}
    for l in range(nb_layers):
        for i in range(nb_seq - 1):
            t_name = os.path.join(d, names[l * per_layer + 2 * i])
            nc, nl, u, v = read_xaf(t_name + '_3D.xaf')
            _, _, tu, tv = read_xaf(os.path.join(d, 'truth_layer%d_step%d.xaf' % (l, i)))
            acc = [[0.0, 0] for _ in BANDS]
            for k in range(nc * nl):
                y, x = divmod(k, nc)
                e = math.hypot(u[k] - tu[k], v[k] - tv[k])
                dist = {'left': x, 'right': nc - 1 - x, 'top': y, 'bottom': nl - 1 - y}
                m = min(dist.values())
                for b, (lo, hi) in enumerate(BANDS):
                    if lo <= m < hi:
                        acc[b][0] += e
                        acc[b][1] += 1
                        tot[b][0] += e
                        tot[b][1] += 1
                for side, dd in dist.items():
                    if 8 <= dd < 32 and m == dd:
                        edge[side][0] += e
                        edge[side][1] += 1
            print('layer %d step %d: ' % (l, i) + '  '.join(
                '%s %.4f' % (band_name(b), s / max(n, 1)) for b, (s, n) in enumerate(acc)))
    print('all layers:     ' + '  '.join(
        '%s %.4f' % (band_name(b), s / max(n, 1)) for b, (s, n) in enumerate(tot)))
    inner = tot[-1][0] / max(tot[-1][1], 1)
    print('8-32 px from each edge: ' + '  '.join(
        '%s %.4f (x%.2f)' % (s, v[0] / max(v[1], 1), v[0] / max(v[1], 1) / inner)
        for s, v in edge.items()))
    for k in range(1, nb_layers):
        for i in range(nb_seq - 1):
            t_name = os.path.join(d, names[k * per_layer + 2 * i])
            w = read_raw(t_name + '_3D.motionUp')
            tw = read_raw(os.path.join(d, 'truth_wvert%d_step%d.raw' % (k, i)))
            idx = [y * nc + x for y in range(8, nl - 8) for x in range(8, nc - 8)]
            print('interface %d step %d: corr %.4f' % (k, i, corr([w[j] for j in idx],
                                                                  [tw[j] for j in idx])))


def band_name(b):
    lo, hi = BANDS[b]
    return '%d-%s' % (lo, hi if hi < 1 << 20 else '')


if __name__ == '__main__':
    main()
