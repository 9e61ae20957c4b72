#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-3-Clause
"""corx's Python package against numpy.linalg, per call, in one run.

Each case times the same call on the same operands through corx and
numpy, alternating, and prints the better of several repeats for each and
the ratio corx / numpy (below 1: corx is faster). The limits are what the
package aims at; they are printed beside the ratio, not asserted: a
machine busy with other work moves the figures.

    /usr/bin/python3 bench/python_bench.py            # the package as imported
    CORX_EXTENSION=none /usr/bin/python3 bench/python_bench.py   # ctypes path

Run from a source tree, it loads the package beside it (the library and
the extension from build/, or CORX_LIBRARY and CORX_EXTENSION).
"""
import os
import pathlib
import platform
import sys
import timeit

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python"))
import corx  # noqa: E402


def cpu():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def per_call(fn, budget=0.2, repeats=7):
    """The best time per call, in seconds, of several repeats of a loop
    sized to take about budget seconds."""
    n = 1
    while True:
        t = timeit.timeit(fn, number=n)
        if t > budget / 5 or n > 10**6:
            break
        n *= 4
    n = max(1, int(n * (budget / max(t, 1e-9)) / repeats))
    return min(timeit.repeat(fn, number=n, repeat=repeats)) / n


def main():
    rng = np.random.default_rng(7)

    def system(n, k=None, stack=()):
        a = rng.standard_normal(stack + (n, n)) + n * np.eye(n)
        b = rng.standard_normal(stack + (n,) if k is None else stack + (n, k))
        return a, b

    a2, b2 = system(2)
    a8, b8 = system(8)
    a4s, b4s = system(4, 1, (10000,))
    a500, b500 = system(500, 8)
    a200, _ = system(200)
    eye200 = np.eye(200)
    m8, n8 = rng.standard_normal((8, 8)), rng.standard_normal((8, 8))
    cases = [
        ("solve 2x2, one system", lambda: corx.solve(a2, b2), lambda: np.linalg.solve(a2, b2), 2.0),
        ("solve 8x8, one system", lambda: corx.solve(a8, b8), lambda: np.linalg.solve(a8, b8), 2.0),
        ("solve stacked (10000,4,4)", lambda: corx.solve(a4s, b4s), lambda: np.linalg.solve(a4s, b4s), 1.5),
        ("solve n=500, 8 right-hand sides", lambda: corx.solve(a500, b500),
         lambda: np.linalg.solve(a500, b500), 1.2),
        ("inv n=200", lambda: corx.inv(a200), lambda: np.linalg.inv(a200), 1.2),
        ("matmul 8x8", lambda: corx.matmul(m8, n8), lambda: np.matmul(m8, n8), 2.0),
        ("det 8x8", lambda: corx.det(a8), lambda: np.linalg.det(a8), None),
        # Without the refinement step: what the binding costs, apart from
        # the library's exactly computed residual (numpy does not refine).
        ("  unrefined: solve (10000,4,4)", lambda: corx.solve(a4s, b4s, refine=False),
         lambda: np.linalg.solve(a4s, b4s), None),
        ("  unrefined: solve n=500, 8 columns", lambda: corx.solve(a500, b500, refine=False),
         lambda: np.linalg.solve(a500, b500), None),
        ("  unrefined: solve against I, n=200", lambda: corx.solve(a200, eye200, refine=False),
         lambda: np.linalg.inv(a200), None),
    ]
    ext = "compiled extension" if corx._ext is not None else "ctypes path (no extension)"
    print(f"CPU: {cpu()}; {os.cpu_count()} logical processors")
    print(f"corx {corx.__version__} ({ext}), library {corx.library_path}")
    print(f"numpy {np.__version__}, Python {platform.python_version()}; corx threads: {corx.get_threads()}")
    print(f"{'case':38} {'corx':>11} {'numpy':>11} {'ratio':>7} {'limit':>6}")
    for name, ours, theirs, limit in cases:
        # Alternate, so that a change in the machine's load hits both.
        t_ours, t_theirs = [], []
        for _ in range(3):
            t_ours.append(per_call(ours))
            t_theirs.append(per_call(theirs))
        o, t = min(t_ours), min(t_theirs)
        mark = "" if limit is None else f"{limit:5.1f}x" + (" " if o / t <= limit else "!")
        print(f"{name:38} {o * 1e6:9.2f}us {t * 1e6:9.2f}us {o / t:6.2f}x {mark}")


if __name__ == "__main__":
    main()
