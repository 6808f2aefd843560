#!/usr/bin/python3
"""The confound model analysis in numpy, on the run written by
bench_analyze --write DIR: the same models, statistics and maps, with the
pseudo-inverses applied to all analysed voxels at once by matmul.

    analyze_numpy.py DIR [--repeat K] [--no-reuse]

--no-reuse refits the model before each addition instead of taking its
residuals from the previous step (the C++ code takes them over).
"""
import resource
import sys
import time

import numpy as np

NX, NY, NZ, N = 64, 64, 36, 300


def design(predictors):
    """Design matrix: the predictors as columns plus a constant column."""
    x = np.stack(predictors, axis=1).astype(np.float32)
    if not np.all(x[:, -1] == 1.0):
        x = np.hstack([x, np.ones((N, 1), np.float32)])
    return x


def sse_and_residuals(x, y):
    p = np.linalg.inv(x.T @ x) @ x.T            # pseudo-inverse, p x N
    r = y - x @ (p @ y)                          # residuals, N x voxels
    return np.einsum("ij,ij->j", r, r), r


def analyze(data, task, confounds, reuse=True):
    mask = data.min(axis=0) > 100.0
    y = data[:, mask]
    mean = y.mean(axis=0)
    sst = np.einsum("ij,ij->j", y - mean, y - mean)
    std = np.sqrt(sst / (N - 1))
    maps = []
    m0, m1, m2 = list(task), list(confounds[0]), list(task) + list(confounds[0])
    previous = None
    for c in range(len(confounds)):
        if c > 0:
            m0 += confounds[c - 1]
            m1 += confounds[c]
            m2 += confounds[c]
        x0, x1, x2 = design(m0), design(m1), design(m2)
        if reuse and previous is not None:
            sse0 = previous
        else:
            sse0, _ = sse_and_residuals(x0, y)
        _, r1 = sse_and_residuals(x1, y)
        sse2, _ = sse_and_residuals(x2, y)
        previous = sse2
        p0, p2 = x0.shape[1], x2.shape[1]
        snr_data = mean / std
        snr_res = mean / r1.std(axis=0, ddof=1)
        adj0 = 1 - (sse0 / sst) * (N - 1) / (N - p0 - 1)
        adj2 = 1 - (sse2 / sst) * (N - 1) / (N - p2 - 1)
        f = ((sse0 - sse2) / (p2 - p0)) / (sse2 / (N - p2))
        values = [snr_res, (snr_res - snr_data) / snr_data * 100, adj2, adj2 - adj0, f]
        if c == 0:
            values = [snr_data, adj0] + values
        for v in values:
            vol = np.zeros(NX * NY * NZ, np.float32)
            vol[mask] = v
            maps.append(vol)
    return maps


def main():
    folder = sys.argv[1]
    repeat = int(sys.argv[sys.argv.index("--repeat") + 1]) if "--repeat" in sys.argv else 3
    reuse = "--no-reuse" not in sys.argv
    data = np.fromfile(folder + "/run.f32", np.float32).reshape(N, NX * NY * NZ)
    task = list(np.fromfile(folder + "/task.f32", np.float32).reshape(-1, N))
    confounds = [list(np.fromfile(folder + "/conf%d.f32" % c, np.float32).reshape(-1, N)) for c in range(3)]
    best = 1e30
    for _ in range(repeat):
        start = time.perf_counter()
        maps = analyze(data, task, confounds, reuse)
        seconds = time.perf_counter() - start
        best = min(best, seconds)
        print("numpy analyze: %.4f s, %d maps" % (seconds, len(maps)))
    checksum = sum(float(np.nansum(np.where(np.isfinite(m), m, 0.0), dtype=np.float64)) for m in maps)
    print("checksum %.6g" % checksum)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    print("RESULT numpy%s best_s=%.4f peak_rss_mib=%.1f" % ("" if reuse else "_noreuse", best, peak))


if __name__ == "__main__":
    main()
