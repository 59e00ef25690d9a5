#!/usr/bin/python3
"""Writes the competing-risks benchmark data set: a time (rounded to DECIMALS
decimals, default 3; -1 keeps every digit), a status (0 censored, 1 to 3
the three causes) and a stratum of five levels whose cause-specific hazards
differ.
Usage: generate.py FILE ROWS [DECIMALS] [SEED]"""
import sys

import numpy as np


def main():
    path, rows = sys.argv[1], int(sys.argv[2])
    decimals = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    seed = int(sys.argv[4]) if len(sys.argv) > 4 else 20261207
    rng = np.random.default_rng(seed)
    chunk = 1_000_000
    with open(path, "w") as fh:
        fh.write("time,status,strat\n")
        done = 0
        while done < rows:
            n = min(chunk, rows - done)
            s = rng.integers(1, 6, n)
            # Three causes with hazards that grow with the stratum, and
            # uniform censoring.
            rates = np.stack([0.02 * (1 + 0.05 * s), 0.01 * (1 + 0.1 * s), 0.005 + 0 * s])
            t = rng.exponential(1.0 / rates)
            first = np.argmin(t, axis=0)
            tev = t[first, np.arange(n)]
            c = rng.uniform(0, 60, n)
            status = np.where(tev <= c, first + 1, 0)
            time = np.minimum(tev, c)
            if decimals >= 0:
                time = np.round(time, decimals)
                lines = [f"{a:.{decimals}f},{b},{c_}\n" for a, b, c_ in zip(time, status, s)]
            else:
                lines = [f"{a!r},{b},{c_}\n" for a, b, c_ in zip(time.tolist(), status, s)]
            fh.writelines(lines)
            done += n


if __name__ == "__main__":
    main()
