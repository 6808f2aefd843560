#!/usr/bin/python3
"""The voxel displacement computation written in numpy as a good numpy user
would: vectorised over the masked voxels, one volume at a time, in float32.

usage: displacement_numpy.py NX NY NZ VOLUMES [MASK_FRACTION] [SEED] [--repeat K]
Prints one line: seconds (the best of K runs, default 1), masked voxels,
volumes, voxel-volume updates per second.
"""
import sys
import time

import numpy as np


def motion(volumes, rng):
    """Slow drift plus a few jumps: translations mm, rotations degrees."""
    t = np.arange(volumes, dtype=np.float64)
    p = np.zeros((volumes, 6))
    for k in range(6):
        p[:, k] = 0.4 * np.sin(t / (37.0 + 11 * k)) + 0.002 * t * (k + 1) / 6
    for jump in rng.choice(volumes, size=3, replace=False):
        p[jump:, :3] += rng.normal(0, 0.6, 3)
    return p.astype(np.float32)


def rigid(p):
    """x' = R x + t with R = Rz Ry Rx, for TM parameters (translation negated)."""
    a, b, c = np.deg2rad(p[3:6].astype(np.float32))
    ca, sa, cb, sb, cc, sc = np.cos(a), np.sin(a), np.cos(b), np.sin(b), np.cos(c), np.sin(c)
    r = np.array([[cb * cc, sa * sb * cc - ca * sc, ca * sb * cc + sa * sc],
                  [cb * sc, sa * sb * sc + ca * cc, ca * sb * sc - sa * cc],
                  [-sb, sa * cb, ca * cb]], dtype=np.float32)
    return r, -p[0:3].astype(np.float32)


def main():
    args = sys.argv[1:]
    repeat = 1
    if "--repeat" in args:
        at = args.index("--repeat")
        repeat = int(args[at + 1])
        del args[at:at + 2]
    nx, ny, nz, volumes = (int(v) for v in args[0:4])
    fraction = float(args[4]) if len(args) > 4 else 0.4
    rng = np.random.default_rng(int(args[5]) if len(args) > 5 else 1)
    vox = np.float32(3.0)
    mask = rng.random(nx * ny * nz) < fraction
    idx = np.nonzero(mask)[0]
    x = (idx % nx).astype(np.float32)
    y = ((idx // nx) % ny).astype(np.float32)
    z = (idx // (nx * ny)).astype(np.float32)
    g0 = np.stack([x * vox + (vox - nx * vox) / 2, y * vox + (vox - ny * vox) / 2,
                   z * vox + (vox - nz * vox) / 2])
    params = motion(volumes, rng)
    best = min(displacement(g0, params) for _ in range(repeat))
    updates = idx.size * volumes
    print(f"numpy seconds={best[0]:.4f} voxels={idx.size} volumes={volumes} "
          f"updates_per_second={updates / best[0]:.4g} checksum={best[1]:.6g}")


def displacement(g0, params):
    """The seven measures of every voxel; returns (seconds, checksum)."""
    volumes = params.shape[0]
    n = g0.shape[1]
    start = time.perf_counter()
    prev = g0.copy()
    sum_a = np.zeros(n, np.float32)
    max_a = np.zeros(n, np.float32)
    sum_r = np.zeros(n, np.float32)
    max_r = np.zeros(n, np.float32)
    max_xyz = np.zeros((3, n), np.float32)
    for v in range(volumes):
        r, t = rigid(params[v])
        gt = r @ g0 + t[:, None]
        da = gt - g0
        dr = gt - prev
        a = np.sqrt(np.einsum('ij,ij->j', da, da))
        rr = np.sqrt(np.einsum('ij,ij->j', dr, dr))
        sum_a += a
        np.maximum(max_a, a, out=max_a)
        sum_r += rr
        np.maximum(max_r, rr, out=max_r)
        np.maximum(max_xyz, np.abs(da), out=max_xyz)
        prev = gt
    mean_a = sum_a / volumes
    mean_r = sum_r / volumes
    seconds = time.perf_counter() - start
    return seconds, float(mean_a.sum() + mean_r.sum())


if __name__ == "__main__":
    main()
