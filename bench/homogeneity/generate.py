#!/usr/bin/python3
"""Writes the benchmark data set: time, status, a 5-level character group,
three numeric strata variables, a weight and a frequency.
Usage: generate.py FILE ROWS [SEED]"""
import sys

import numpy as np


def main():
    path, rows = sys.argv[1], int(sys.argv[2])
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 20261206
    rng = np.random.default_rng(seed)
    levels = np.array(["alpha", "bravo", "charlie", "delta", "echo"])
    chunk = 1_000_000
    with open(path, "w") as fh:
        fh.write("time,status,group,s1,s2,s3,w,f\n")
        done = 0
        while done < rows:
            n = min(chunk, rows - done)
            g = rng.integers(0, 5, n)
            rate = 0.01 * (1.0 + 0.1 * g)
            t = np.ceil(rng.exponential(1.0 / rate)).astype(np.int64)
            c = np.ceil(rng.uniform(0, 400, n)).astype(np.int64)
            status = (t <= c).astype(np.int64)
            time = np.minimum(t, c)
            s1 = rng.integers(0, 3, n)
            s2 = rng.integers(0, 4, n)
            s3 = np.round(rng.uniform(0, 10, n), 1)
            w = np.round(rng.uniform(0.5, 2.0, n), 3)
            f = rng.integers(1, 4, n)
            lines = [
                f"{a},{b},{levels[c_]},{d},{e},{h},{i},{j}\n"
                for a, b, c_, d, e, h, i, j in zip(time, status, g, s1, s2, s3, w, f)
            ]
            fh.writelines(lines)
            done += n


if __name__ == "__main__":
    main()
