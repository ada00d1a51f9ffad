#!/usr/bin/env python3
"""Cross-check: run zemb, on each vector unit this processor has, and the
independent Python re-implementation (oracle.py) on small adversarial
sequences and require every output file, mask and model image, to be
byte-identical.

Usage: cross_check.py <path to zemb> [scratch folder]
"""
import os
import shutil
import subprocess
import sys
import tempfile

import synth

HERE = os.path.dirname(os.path.abspath(__file__))

# (name, sequence maker, last frame, switches)
CASES = [
    ('uniform_ties', lambda d: synth.seq_uniform(d, 6, 4, 8, ((100, 150, 200), (101, 150, 200))), 8,
     ['-K', '3', '-e1', '0', '-e2', '0']),
    ('noise_n3_edges', lambda d: synth.seq_noise(d, 5, 4, 10, 1, 12), 10, ['-K', '4', '-m']),
    ('noise_n5', lambda d: synth.seq_noise(d, 7, 5, 8, 2, 20), 8, ['-K', '3', '-n', '5']),
    ('noise_n1', lambda d: synth.seq_noise(d, 7, 5, 8, 3, 20), 8, ['-K', '3', '-n', '1', '-m']),
    ('alternate', lambda d: synth.seq_alternate(d, 9, 7, 12, 4), 12, ['-K', '3']),
    ('shadow', lambda d: synth.seq_shadow(d, 9, 6, 12, 5), 12,
     ['-K', '4', '-s', '-g', '0.5', '-b', '1.2', '-tS', '0.3', '-tH', '30']),
    ('palette_n9', lambda d: synth.seq_palette(d, 4, 3, 6, 6), 6, ['-K', '2', '-n', '9', '-s', '-m']),
    ('one_row', lambda d: synth.seq_noise(d, 7, 1, 6, 7, 30), 6, ['-K', '2']),
]


# zemb's vector units, each forced in turn through ZEMB_VECTOR_UNIT; a unit the
# processor lacks is refused with exit status 1 and skipped.
UNITS = ('scalar', 'avx2', 'avx512')


def run(program, args, cwd, env=None):
    return subprocess.run(program + args, cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True,
                          env=env)


def units_here(zemb, scratch):
    """The units zemb accepts here, tried on a one-frame sequence."""
    frames = os.path.join(scratch, 'probe')
    os.makedirs(frames)
    synth.seq_noise(frames, 3, 3, 2, 0, 10)
    here = []
    for unit in UNITS:
        r = run([zemb, os.path.join(frames, 's'), '1', '2', '-K', '2'], [], frames,
                dict(os.environ, ZEMB_VECTOR_UNIT=unit))
        if r.returncode == 0:
            here.append(unit)
        elif b'this processor has no' not in r.stderr:
            raise SystemExit('zemb fails on the probe sequence: %s' % r.stderr.decode()[-500:])
    return here


def check(zemb, units, scratch, name, make, last, switches):
    frames, theirs = (os.path.join(scratch, name, p) for p in ('frames', 'oracle'))
    for d in (frames, theirs):
        os.makedirs(d)
    make(frames)
    args = [os.path.join(frames, 's'), '1', str(last)] + switches
    o = run([sys.executable, os.path.join(HERE, 'oracle.py')], args, theirs)
    if o.returncode != 0:
        return ['oracle exit status %d: %s' % (o.returncode, o.stderr.decode()[-500:])]
    problems = []
    for unit in units:
        ours = os.path.join(scratch, name, 'zemb-' + unit)
        os.makedirs(ours)
        z = run([zemb], args, ours, dict(os.environ, ZEMB_VECTOR_UNIT=unit))
        if z.returncode != 0:
            problems.append('%s: exit status %d: %s' % (unit, z.returncode, z.stderr.decode()[-500:]))
            continue
        if sorted(os.listdir(ours)) != sorted(os.listdir(theirs)):
            problems.append('%s: different files: %s vs %s' % (unit, sorted(os.listdir(ours)),
                                                               sorted(os.listdir(theirs))))
        for f in sorted(set(os.listdir(ours)) & set(os.listdir(theirs))):
            a = open(os.path.join(ours, f), 'rb').read()
            b = open(os.path.join(theirs, f), 'rb').read()
            if a != b:
                i = next((k for k in range(min(len(a), len(b))) if a[k] != b[k]), min(len(a), len(b)))
                problems.append('%s: %s differs first at byte %d' % (unit, f, i))
    return problems


def main():
    zemb = os.path.abspath(sys.argv[1])
    scratch = tempfile.mkdtemp(prefix='zemb-oracle-', dir=sys.argv[2] if len(sys.argv) > 2 else None)
    failed = 0
    try:
        units = units_here(zemb, scratch)
        print('vector units: %s' % ' '.join(units))
        for name, make, last, switches in CASES:
            problems = check(zemb, units, scratch, name, make, last, switches)
            print('%-16s %s' % (name, 'identical' if not problems else 'MISMATCH'))
            for p in problems:
                print('    ' + p)
            failed += bool(problems)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print('%d passed, %d failed' % (len(CASES) - failed, failed))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
