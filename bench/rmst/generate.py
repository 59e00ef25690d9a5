#!/usr/bin/python3
"""Writes the restricted-mean benchmark data set: a time rounded to DECIMALS
decimals (default 2), a status (0 censored, 1 event) and a group of five
levels whose hazards differ.
Usage: generate.py FILE ROWS [DECIMALS] [SEED]"""
import sys

import numpy as np


def main():
    path, rows = sys.argv[1], int(sys.argv[2])
    decimals = int(sys.argv[3]) if len(sys.argv) > 3 else 2
    seed = int(sys.argv[4]) if len(sys.argv) > 4 else 20261211
    rng = np.random.default_rng(seed)
    chunk = 1_000_000
    with open(path, "w") as fh:
        fh.write("time,status,grp\n")
        done = 0
        while done < rows:
            n = min(chunk, rows - done)
            g = rng.integers(1, 6, n)
            t = rng.exponential(1.0 / (0.02 * (1 + 0.1 * g)))
            c = rng.uniform(0, 80, n)
            status = (t <= c).astype(int)
            time = np.round(np.minimum(t, c), decimals)
            fh.writelines(f"{a:.{decimals}f},{b},g{c_}\n" for a, b, c_ in zip(time, status, g))
            done += n


if __name__ == "__main__":
    main()
