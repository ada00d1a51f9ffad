#!/usr/bin/env python3
"""Independent re-implementation of a whole ZEMB run, written from the
written description of the behaviour only, for bit-exact comparison.

Doubles everywhere; rounding to 32-bit float only where a value is stored.
Usage: oracle.py <SeqName> <first> <last> [switches]   (outputs go to cwd)
"""
import math
import os
import struct
import sys
from array import array

# Frames whose magic word is not P6 are refused, as zemb refuses them.
REQUIRE_P6 = os.environ.get('ORACLE_REQUIRE_P6', '1') == '1'
MUT = os.environ.get('ORACLE_MUTANT', '')  # deliberate faults, to prove the tests can see them

_F = struct.Struct('f')


def f32(x):
    try:
        return _F.unpack(_F.pack(x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def ddiv(a, b):
    """IEEE double division without traps."""
    try:
        return a / b
    except ZeroDivisionError:
        if a != a or a == 0.0:
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)


BYTE_SCALE = f32(1.0 / 255.0)
SECTOR_SCALE = f32(1.0 / 60.0)
DEG2RAD = f32(math.pi / 180.0)
FULL_TURN = f32(2.0 * math.pi)
COS_THR = f32(1e-6)


# ---------------------------------------------------------------- switches
def lread_switch(argv, text, n, absent):
    if len(argv) <= 1:
        return absent
    for i in range(1, len(argv)):
        if argv[i] == text:
            break
    else:
        return absent
    if i + n >= len(argv):
        sys.stderr.write('Lread_switch: Manca arg. dopo "%s"\n' % text)
        sys.exit(2)
    res = argv[i + 1] if n >= 1 else argv[i]
    if n > 1:
        res = ' '.join(argv[i + 1:i + n + 1])
    del argv[i:i + n + 1]
    return res


def lread_iswitch(argv, text, dflt):
    s = lread_switch(argv, text, 1, None)
    if s is None:
        return dflt
    try:
        v = int(s.strip(), 0) if s.strip() not in ('',) else 0
    except ValueError:
        # octal with leading 0 as C does
        t = s.strip()
        try:
            v = int(t, 8)
        except ValueError:
            sys.stderr.write('Lread_iswitch: Manca arg. per "%s"\n' % text)
            sys.exit(2)
    return max(-2**31, min(2**31 - 1, v))


def lread_dswitch(argv, text, dflt):
    s = lread_switch(argv, text, 1, None)
    if s is None:
        return dflt
    if s == '':
        return 0.0
    try:
        return float(s)
    except ValueError:
        sys.stderr.write('Lread_dswitch: Manca arg. per "%s"\n' % text)
        sys.exit(2)


def lread_flag(argv, text):
    return 1 if lread_switch(argv, text, 0, None) is not None else 0


# ---------------------------------------------------------------- files
def _read_header(f):
    """Returns (width, height) or None; leaves f after the one separator byte."""
    c = f.read(1)
    while c and c in b' \t\n\r\v\f':
        c = f.read(1)
    magic = b''
    while c and c not in b' \t\n\r\v\f':
        magic += c
        c = f.read(1)
    if REQUIRE_P6 and magic != b'P6':
        return None  # the refusal of other magic words is left open; this mirrors a reader that refuses them
    # c is the whitespace ending the magic (or EOF); it is a separator too
    while True:
        c = f.read(1)
        if not c:
            return None
        if c in b' \t\n\r':
            continue
        if c == b'#':
            while True:
                c = f.read(1)
                if not c:
                    return None
                if c in b'\n\r':
                    break
            continue
        break
    f.seek(-1, 1)
    nums = []
    for _ in range(3):
        c = f.read(1)
        while c and c in b' \t\n\r\v\f':
            c = f.read(1)
        s = b''
        if c in (b'+', b'-'):
            s, c = c, f.read(1)
        while c and c.isdigit():
            s += c
            c = f.read(1)
        if c:
            f.seek(-1, 1)
        nums.append(int(s))
    f.read(1)
    return nums[0], nums[1]


def read_ppm(path, frame):
    """frame: dict with 'w','h','r','g','b' (lists). Returns 1/0."""
    try:
        f = open(path, 'rb')
    except OSError:
        sys.stdout.write('Errore apertura file %s\n' % path)
        return 0
    with f:
        hw = _read_header(f)
        if hw is None:
            return 0
        w, h = hw
        data = f.read(w * h * 3)
    frame['w'], frame['h'] = w, h
    npx = len(data) // 3
    npx = min(npx, len(frame['r']))
    frame['r'][:npx] = list(data[0:3 * npx:3])
    frame['g'][:npx] = list(data[1:3 * npx:3])
    frame['b'][:npx] = list(data[2:3 * npx:3])
    rem = len(data) - 3 * npx
    if rem >= 1 and npx < len(frame['r']):
        frame['r'][npx] = data[3 * npx]
    if rem >= 2 and npx < len(frame['r']):
        frame['g'][npx] = data[3 * npx + 1]
    return 1


def write_pgm(rows, cols, mask, path):
    with open(path, 'wb') as f:
        f.write(b'P5\n%d %d\n%d\n' % (cols, rows, 255))
        f.write(bytes(mask[:rows * cols]))


def write_ppm(rows, cols, img, path):
    n = rows * cols
    out = bytearray(3 * n)
    out[0::3] = bytes(img[0][:n])
    out[1::3] = bytes(img[1][:n])
    out[2::3] = bytes(img[2][:n])
    with open(path, 'wb') as f:
        f.write(b'P6\n%d %d\n%d\n' % (cols, rows, 255))
        f.write(out)


# ---------------------------------------------------------------- colour
def max3(a, b, c):
    t = a if a > b else b
    return t if t > c else c


def min3(a, b, c):
    t = a if a < b else b
    return t if t < c else c


def rgb_to_hsv(R, G, B):
    r = f32(R * BYTE_SCALE)
    g = f32(G * BYTE_SCALE)
    b = f32(B * BYTE_SCALE)
    V = max3(r, g, b)
    m = min3(r, g, b)
    delta = f32(V - m)
    if V == 0:
        return 0.0, 0.0, V
    s = delta / V
    if s == 0:
        return 0.0, 0.0, V
    if r == V:
        h = (g - b) / delta
    elif g == V:
        h = (b - r) / delta + 2
    else:
        h = (r - g) / delta + 4
    h = h * 60
    if h < 0:
        h = h + 360
    return f32(h), f32(s), V


def hsv_to_rgb(H, S, V):
    if S == 0:
        return V, V, V
    h = H * SECTOR_SCALE
    i = math.floor(h)
    f = f32(h) - i
    p = f32(V * (1 - S))
    q = f32(V * (1 - S * f))
    t = f32(V * (1 - S * (1 - f)))
    i = int(i)
    if i == 0:
        return V, t, p
    if i == 1:
        return q, V, p
    if i == 2:
        return p, V, t
    if i == 3:
        return p, q, V
    if i == 4:
        return t, p, V
    return V, p, q


def to_byte(x):
    if x < 0:
        return 0
    if x > 255:
        return 255
    if x != x:
        return 0
    return int(f32(x + 0.5)) if MUT == 'tobyte_f32' else int(x + 0.5)


_cone_cache = {}


def rgb_to_cone(R, G, B):
    key = (R << 16) | (G << 8) | B
    v = _cone_cache.get(key)
    if v is None:
        H, S, V = rgb_to_hsv(R, G, B)
        a = DEG2RAD * H
        v = (f32(math.cos(a) * S * V), f32(math.sin(a) * S * V), V)
        _cone_cache[key] = v
    return v


def cone_to_hsv(x, y, z):
    a = math.atan2(y, x)
    if a < 0:
        a = a + FULL_TURN
    c = math.cos(a)
    if abs(c) > COS_THR:
        S = ddiv(x, c * z)
    else:
        S = ddiv(y, math.sin(a) * z)
    return f32(a / DEG2RAD), f32(S), z


def cone_to_rgb_planes(model, count):
    xs, ys, zs = model
    R = bytearray(count)
    G = bytearray(count)
    B = bytearray(count)
    for i in range(count):
        H, S, V = cone_to_hsv(xs[i], ys[i], zs[i])
        r, g, b = hsv_to_rgb(H, S, V)
        R[i] = to_byte(f32(r * 255))
        G[i] = to_byte(f32(g * 255))
        B[i] = to_byte(f32(b * 255))
    return R, G, B


# ---------------------------------------------------------------- model
SPREAD = {1: 1.0, 3: 0.75, 5: 2.2, 7: 4.4, 9: 7.0}  # n = 1: any spread gives the kernel [1]


def make_weight_kernel(n, s):
    k = [[0.0] * n for _ in range(n)]
    h = (n + 1) // 2
    c = h - 1
    g = 1.0 / (2 * s)
    for i in range(h):
        for j in range(h):
            v = f32(math.exp(-(j * j * g + i * i * g)))
            k[c - i][c + j] = v
            k[c + i][c - j] = v
            k[c - i][c - j] = v
            k[c + i][c + j] = v
    inv = 1.0 / k[n - 1][n - 1]
    for a in range(n):
        for b in range(n):
            k[a][b] = f32(math.trunc(inv * k[a][b] + 0.5))
    return k


def scale_weights(n, rate, kernel):
    return [[f32(rate * kernel[i][j]) for j in range(n)] for i in range(n)]


def is_shadow(x, y, z, cx, cy, cz, W, row, col, n, P):
    Hp, Sp, Vp = cone_to_hsv(x, y, z)
    nW = n * W
    for a in range(n * row, n * row + n):
        for b in range(n * col, n * col + n):
            idx = a * nW + b
            Hm, Sm, Vm = cone_to_hsv(cx[idx], cy[idx], cz[idx])
            ratio = ddiv(Vp, Vm)
            if not (P['gamma'] <= ratio <= P['beta']) or (MUT == 'beta_strict' and ratio == P['beta']):
                continue
            d = f32(abs(Hp - Hm)) if MUT == 'dH_float' else abs(Hp - Hm)
            d2 = (360 - d) if MUT == 'dprime_unrounded' else f32(360 - d)
            dH = d if d < d2 else d2
            if not (abs(Sp - Sm) < P['tau_S']):
                continue
            if not (dH < P['tau_H']):
                continue
            return 1
    return 0


def segment_frame(px, H, W, cur, mask, weights, n, e, upd, P):
    cx, cy, cz = cur[0].tolist(), cur[1].tolist(), cur[2].tolist()
    ux, uy, uz = upd
    pxs, pys, pzs = px
    nW = n * W
    nH = n * H
    half = n // 2
    shadow = P['shadow_removal']
    if MUT == 'mask_cleared':
        mask[:] = bytes(len(mask))
    for r in range(H):
        for c in range(W):
            pi = r * W + c
            x = pxs[pi]
            y = pys[pi]
            z = pzs[pi]
            best = 100.0
            res = -1
            bi = bj = -1
            for i in range(n * r, n * r + n):
                base = i * nW
                for j in range(n * c, n * c + n):
                    idx = base + j
                    dx = cx[idx] - x
                    dy = cy[idx] - y
                    dz = cz[idx] - z
                    d = dx * dx + dy * dy + dz * dz
                    if d < best:
                        best = d if MUT == 'best_unrounded' else f32(d)
                        if d <= e:
                            res = idx
                            bi, bj = i, j
            ic = n * r + half
            if MUT == 'no_centre':
                dc = 1e9
            jc = n * c + half
            idx = ic * nW + jc
            dx = cx[idx] - x
            dy = cy[idx] - y
            dz = cz[idx] - z
            dc = 1e9 if MUT == 'no_centre' else dx * dx + dy * dy + dz * dz
            if (dc < best if MUT == 'centre_strict' else dc <= best) and dc <= e:
                res = idx
                bi, bj = ic, jc
            if res < 0:
                if shadow and is_shadow(x, y, z, cx, cy, cz, W, r, c, n, P):
                    mask[pi] = 0
                else:
                    mask[pi] = 255
                continue
            mask[pi] = 0
            i0 = max(bi - half, 0)
            i1 = min(bi + half + 1, nH)
            j0 = max(bj - half, 0)
            j1 = min(bj + half + 1, nW)
            for i in range(i0, i1):
                wrow = weights[i - i0]
                mrow = (i // n) * W
                base = i * nW
                for j in range(j0, j1):
                    if mask[mrow + j // n] != 0:
                        continue
                    w = wrow[j - j0] if MUT != 'aligned_w' else weights[i - bi + half][j - bj + half]
                    omw = 1 - w
                    idx = base + j
                    ux[idx] = omw * cx[idx] + w * x
                    uy[idx] = omw * cy[idx] + w * y
                    uz[idx] = omw * cz[idx] + w * z


def filter_mask(m, W, N):
    lo, hi = 3, 6
    if N < 2 * W:
        return  # a single row has no row above or below to count (left open; left unfiltered here)
    src = bytes(m) if MUT == 'filter_copy' else m

    def decide(i, cnt):
        if cnt <= lo:
            m[i] = 0
        elif cnt >= hi:
            m[i] = 255

    for i in range(1, W - 1):
        cnt = sum(1 for k in (i - 1, i, i + 1, i + W - 1, i + W, i + W + 1) if src[k])
        decide(i, cnt)
    for i in range(W + 1, N - W - 1):
        cnt = sum(1 for k in (i - W - 1, i - W, i - W + 1, i - 1, i, i + 1,
                              i + W - 1, i + W, i + W + 1) if src[k])
        decide(i, cnt)
    for i in range(N - W + 1, N - 1):
        cnt = sum(1 for k in (i - W - 1, i - W, i - W + 1, i - 1, i, i + 1) if src[k])
        decide(i, cnt)


# ---------------------------------------------------------------- driver
def frame_to_cone(frame, N, px):
    R, G, B = frame['r'], frame['g'], frame['b']
    xs, ys, zs = px
    for i in range(N):
        xs[i], ys[i], zs[i] = rgb_to_cone(R[i], G[i], B[i])


def main(argv):
    argv = list(argv)
    if len(argv) < 4:
        print('usage')
        return 0
    seq = argv[1]
    cut = max(seq.rfind('/'), seq.rfind('\\'))
    seqdir, base = seq[:cut + 1], seq[cut + 1:]
    if base == '':
        base = 'L0'
    first, last = int(argv[2]), int(argv[3])
    P = {}
    P['n'] = lread_iswitch(argv, '-n', 3)
    P['e1'] = f32(lread_dswitch(argv, '-e1', 0.1))
    P['e2'] = f32(lread_dswitch(argv, '-e2', 0.03))
    P['K'] = lread_iswitch(argv, '-K', 200)
    P['c1'] = f32(lread_dswitch(argv, '-c1', 1.0))
    P['c2'] = f32(lread_dswitch(argv, '-c2', 0.05))
    P['gamma'] = f32(lread_dswitch(argv, '-g', 0.7))
    P['beta'] = f32(lread_dswitch(argv, '-b', 1.0))
    P['tau_S'] = f32(lread_dswitch(argv, '-tS', 0.1))
    P['tau_H'] = f32(lread_dswitch(argv, '-tH', 10.0))
    P['shadow_removal'] = lread_flag(argv, '-s')
    P['save_models'] = lread_flag(argv, '-m')
    P['last_mask_only'] = lread_flag(argv, '-l')
    n, K = P['n'], P['K']

    def in_name(k):
        return '%s%s.%d.ppm' % (seqdir, base, k)

    with open(in_name(first), 'rb') as f:
        W, H = _read_header(f)
    N = W * H
    M = n * n * N
    frame = {'w': W, 'h': H, 'r': [0] * N, 'g': [0] * N, 'b': [0] * N}
    px = [[0.0] * N for _ in range(3)]
    cur = [array('f', bytes(4 * M)) for _ in range(3)]

    read_ppm(in_name(first), frame)
    frame_to_cone(frame, N, px)
    nW = n * W
    for r in range(H):
        for c in range(W):
            for a in range(n):
                for b in range(n):
                    idx = (n * r + a) * nW + n * c + b
                    for k in range(3):
                        cur[k][idx] = px[k][r * W + c]
    upd = [array('f', p) for p in cur]

    def save_model(model, k):
        img = cone_to_rgb_planes(model, M)
        write_ppm(n * H, n * W, img, '%sModel.%d.ppm' % (base, k))

    if P['save_models']:
        save_model(upd, first)
    kernel = make_weight_kernel(n, f32(SPREAD[n]))
    inv = 1.0 / (n + 1)
    c1s = f32(P['c1'] * inv)
    c2s = f32(P['c2'] * inv)
    mask = bytearray(N)
    if K > 1:
        step = f32(c1s - c2s)
        for k in range(1, K):
            read_ppm(in_name(first + k), frame)
            frame_to_cone(frame, N, px)
            rate = f32(c1s - (k * (c1s - c2s)) / (K - 1)) if MUT == 'step_unrounded' else f32(c1s - (k * step) / (K - 1))
            weights = scale_weights(n, rate, kernel)
            segment_frame(px, H, W, cur, mask, weights, n, P['e1'], upd, P)
            cur = [array('f', p) for p in upd]
            if P['save_models']:
                save_model(upd, first + k)
    weights = scale_weights(n, c2s, kernel)
    for k in range(K, last - first + 1):
        read_ppm(in_name(first + k), frame)
        frame_to_cone(frame, N, px)
        segment_frame(px, H, W, cur, mask, weights, n, P['e2'], upd, P)
        cur = [array('f', p) for p in upd]
        filter_mask(mask, W, N)
        if P['save_models']:
            save_model(cur, first + k)
        if not P['last_mask_only'] or first + k == last:
            write_pgm(H, W, mask, '%sMask.%d.pgm' % (base, first + k))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
