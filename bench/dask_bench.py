# SPDX-License-Identifier: BSD-3-Clause
"""corx.dask against the single call and against dask.array on numpy.

    OPENBLAS_NUM_THREADS=1 PYTHONPATH=python CORX_LIBRARY=build/libcorx.so \\
        /usr/bin/python3 bench/dask_bench.py [n ...]     (default 4096 8192)

For each n: the product a @ b and the Cholesky factor of a symmetric
positive definite matrix, timed as
  - corx single: corx.matmul / corx.cholesky in this process, one thread;
  - corx.dask:   corx.dask.matmul / corx.dask.cholesky on a LocalCluster of
                 2 worker processes with one thread each;
  - dask numpy:  dask.array's matmul / da.linalg.cholesky on the same
                 cluster (numpy blocks, OpenBLAS with one thread per worker).
The operands are made on the cluster and kept there (persisted) before the
clock starts; each distributed result is persisted and waited for, not
gathered, so the times compare the computation. The bits of each corx.dask
result are then compared with the single call's, and dask.array's with
numpy's single call. Each time is the fastest of --repeat runs (default 2).
"""
import argparse
import os
import platform
import subprocess
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # before numpy loads OpenBLAS; workers inherit it
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import dask.array as da  # noqa: E402
from dask.core import flatten  # noqa: E402
from distributed import Client, LocalCluster, wait  # noqa: E402

import corx  # noqa: E402
import corx.dask  # noqa: E402


def cpu():
    name = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                name = line.split(":", 1)[1].strip()
                break
    fam = model = "?"
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        for line in out.splitlines():
            if line.startswith("CPU family:"):
                fam = line.split(":", 1)[1].strip()
            elif line.startswith("Model:"):
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    return f"{name} (family {fam} model {model}), {os.cpu_count()} CPUs"


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def on_cluster(x):
    y = x.persist()
    wait(y)
    return y


def forget(client, y):
    """Releases a persisted result and waits until the scheduler has dropped
    its keys: a repetition would otherwise find the result in memory."""
    keys = [k for k in flatten(y.__dask_keys__())]
    client.cancel(y)
    del y
    while client.run_on_scheduler(lambda dask_scheduler, keys=keys: sum(k in dask_scheduler.tasks for k in keys)):
        time.sleep(0.05)


def best_on_cluster(client, make, repeat):
    """The fastest of repeat computations of make() on the cluster, and the
    last result (still on the cluster)."""
    times, y = [], None
    for _ in range(repeat):
        if y is not None:
            forget(client, y)
        t = time.perf_counter()
        y = on_cluster(make())
        times.append(time.perf_counter() - t)
    return min(times), y


def main():
    p = argparse.ArgumentParser()
    p.add_argument("sizes", nargs="*", type=int, default=[4096, 8192])
    p.add_argument("--repeat", type=int, default=2)
    p.add_argument("--matmul-tiles", type=int, default=4, help="tiles per side of the product (default 4)")
    p.add_argument("--cholesky-tiles", type=int, default=4, help="tiles per side of Cholesky (default 4)")
    p.add_argument("--skip-numpy", action="store_true", help="leave dask.array on numpy out")
    args = p.parse_args()
    print("CPU:", cpu())
    print("load average at start:", os.getloadavg())
    print(f"corx {corx.version()}, numpy {np.__version__}, python {platform.python_version()}")
    rows = []
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      silence_logs=40) as cluster, Client(cluster) as client:
        for n in args.sizes:
            mm_chunk, ch_chunk = -(-n // args.matmul_tiles), -(-n // args.cholesky_tiles)
            rs = da.random.RandomState(n)
            a = on_cluster(rs.standard_normal((n, n), chunks=mm_chunk))
            b = on_cluster(rs.standard_normal((n, n), chunks=mm_chunk))
            # Elementwise only, so the values do not depend on the chunks.
            s = on_cluster(((a + a.T) / 2 + n * da.eye(n, chunks=mm_chunk)).rechunk(ch_chunk))
            la, lb, ls = a.compute(), b.compute(), s.compute()

            single = {}
            t_single = best(lambda: single.__setitem__("mm", corx.matmul(la, lb)), args.repeat)
            t_corx, d = best_on_cluster(client, lambda: corx.dask.matmul(a, b), args.repeat)
            same = d.compute().tobytes() == single["mm"].tobytes()
            forget(client, d)
            t_np, np_same = float("nan"), False
            if not args.skip_numpy:
                t_np, d = best_on_cluster(client, lambda: a @ b, args.repeat)
                np_same = d.compute().tobytes() == (la @ lb).tobytes()
                forget(client, d)
            rows.append(("matmul", n, mm_chunk, t_single, t_corx, t_np, same, np_same))
            del single

            single = {}
            t_single = best(lambda: single.__setitem__("l", corx.cholesky(ls)), args.repeat)
            t_corx, d = best_on_cluster(client, lambda: corx.dask.cholesky(s), args.repeat)
            same = d.compute().tobytes() == single["l"].tobytes()
            forget(client, d)
            t_np, np_same = float("nan"), False
            if not args.skip_numpy:
                t_np, d = best_on_cluster(client, lambda: da.linalg.cholesky(s, lower=True), args.repeat)
                np_same = d.compute().tobytes() == np.linalg.cholesky(ls).tobytes()
                forget(client, d)
            rows.append(("cholesky", n, ch_chunk, t_single, t_corx, t_np, same, np_same))
            del single, a, b, s, la, lb, ls
            print_rows(rows[-2:])
    print("load average at end:", os.getloadavg())
    print()
    print("| case | n | tile | corx single | corx.dask 2 workers | speed-up | dask.array on numpy | corx.dask / dask numpy speed | corx bits match | dask numpy bits match numpy |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for case, n, tile, ts, tc, tn, same, np_same in rows:
        print(f"| {case} | {n} | {tile} | {ts:.2f} s | {tc:.2f} s | {ts / tc:.2f} | {tn:.2f} s | {tn / tc:.2f} | "
              f"{'yes' if same else 'NO'} | {'yes' if np_same else 'no'} |")


def print_rows(rows):
    for case, n, tile, ts, tc, tn, same, np_same in rows:
        print(f"{case:8s} n={n:5d} tile {tile:4d}: single {ts:7.2f} s  corx.dask {tc:7.2f} s ({ts / tc:4.2f}x)  "
              f"dask numpy {tn:7.2f} s (corx.dask at {tn / tc:4.2f} of its speed)  bits {same}  numpy bits {np_same}",
              flush=True)


if __name__ == "__main__":
    main()
