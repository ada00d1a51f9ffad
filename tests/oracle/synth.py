"""Adversarial synthetic sequences."""
import os, random

def write(dst, name, k, W, H, px):
    os.makedirs(dst, exist_ok=True)
    out = bytearray()
    for p in px:
        out += bytes(p)
    open(os.path.join(dst, '%s.%d.ppm' % (name, k)), 'wb').write(b'P6\n%d %d\n255\n' % (W, H) + out)

def clamp(v): return max(0, min(255, int(v)))

def seq_uniform(dst, W=8, H=6, nf=20, colours=((100, 150, 200),)):
    for k in range(1, nf + 1):
        c = colours[(k - 1) % len(colours)]
        write(dst, 's', k, W, H, [c] * (W * H))

def seq_noise(dst, W, H, nf, seed, amp, base=None, palette=None):
    rnd = random.Random(seed)
    if base is None:
        base = [tuple(rnd.randrange(256) for _ in range(3)) for _ in range(W * H)]
    for k in range(1, nf + 1):
        px = []
        for b in base:
            if palette and rnd.random() < 0.3:
                px.append(rnd.choice(palette))
            else:
                px.append(tuple(clamp(v + rnd.randint(-amp, amp)) for v in b))
        write(dst, 's', k, W, H, px)

def seq_alternate(dst, W, H, nf, seed):
    """Background with a moving blob and a region toggling every frame."""
    rnd = random.Random(seed)
    base = [(rnd.randrange(60, 200), rnd.randrange(60, 200), rnd.randrange(60, 200)) for _ in range(W * H)]
    for k in range(1, nf + 1):
        px = []
        for i, b in enumerate(base):
            r, c = divmod(i, W)
            if k % 2 == 0 and 2 <= r < H - 1 and c < W // 2:
                px.append((255 - b[0], 255 - b[1], 255 - b[2]))
            elif abs(c - (k % W)) <= 1 and r >= H // 3:
                px.append((20, 240, 30))
            else:
                px.append(tuple(clamp(v + rnd.randint(-3, 3)) for v in b))
        write(dst, 's', k, W, H, px)

def seq_shadow(dst, W, H, nf, seed, factors=(0.85, 0.7, 0.6, 1.1, 0.75)):
    rnd = random.Random(seed)
    base = []
    for i in range(W * H):
        kind = i % 5
        if kind == 0:
            base.append((rnd.randrange(150, 256), rnd.randrange(0, 4), rnd.randrange(0, 4)))  # reds near hue 0/360
        elif kind == 1:
            g = rnd.randrange(0, 256); base.append((g, g, g))  # greys
        elif kind == 2:
            base.append((0, 0, 0))  # black
        else:
            base.append(tuple(rnd.randrange(40, 256) for _ in range(3)))
    for k in range(1, nf + 1):
        px = []
        f = factors[k % len(factors)]
        for i, b in enumerate(base):
            r, c = divmod(i, W)
            if k > nf // 2 and (r + c + k) % 3 == 0:
                px.append(tuple(clamp(v * f) for v in b))  # shadow or brighter version
            elif k > nf // 2 and (r * 7 + c + k) % 11 == 0:
                px.append((rnd.randrange(3), rnd.randrange(3), rnd.randrange(3)))  # near black
            else:
                px.append(b)
        write(dst, 's', k, W, H, px)

def seq_palette(dst, W, H, nf, seed):
    """Few distinct colours: exact distance ties between elements and pixels."""
    rnd = random.Random(seed)
    pal = [(0, 0, 0), (255, 255, 255), (128, 128, 128), (255, 0, 0), (255, 0, 1), (0, 255, 255),
           (1, 0, 0), (0, 0, 1), (200, 100, 50), (201, 100, 50), (127, 127, 128)]
    for k in range(1, nf + 1):
        px = [rnd.choice(pal[:3 + (k % 9)]) for _ in range(W * H)]
        write(dst, 's', k, W, H, px)
