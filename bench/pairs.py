#!/usr/bin/env python3
"""Times two commands as whole processes, in pairs (A then B, B then A, in turn), and prints the
medians of wall time, processor time (user + system) and peak resident memory of each, and of
the ratios A/B pair by pair.

Usage: pairs.py LABEL PAIRS -- A... -- B...
"""
import os
import statistics
import sys
import time


def run(command):
    """Runs command with its output discarded; returns wall seconds, processor seconds, peak KiB."""
    start = time.perf_counter()
    pid = os.fork()
    if pid == 0:
        null = os.open(os.devnull, os.O_RDWR)
        for stream in (0, 1, 2):
            os.dup2(null, stream)
        try:
            os.execv(command[0], command)
        finally:
            os._exit(127)
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) not in (0, 1):
        sys.exit(f"{command[0]} failed: {status}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss


def main():
    label, pairs = sys.argv[1], int(sys.argv[2])
    rest = sys.argv[4:]
    split = rest.index("--")
    a, b = rest[:split], rest[split + 1:]
    run(a), run(b)  # warm-up
    figures = {"a": [], "b": []}
    for i in range(pairs):
        order = (("a", a), ("b", b)) if i % 2 == 0 else (("b", b), ("a", a))
        for key, command in order:
            figures[key].append(run(command))
    med = lambda key, i: statistics.median(f[i] for f in figures[key])
    ratio = lambda i: statistics.median(x[i] / y[i] if y[i] else float("nan") for x, y in zip(figures["a"], figures["b"]))
    print(f"{label:<28} wall {med('a', 0) * 1000:6.2f} / {med('b', 0) * 1000:6.2f} ms = {ratio(0):4.2f}"
          f"   cpu {med('a', 1) * 1000:6.2f} / {med('b', 1) * 1000:6.2f} ms = {ratio(1):4.2f}"
          f"   peak {med('a', 2) / 1024:5.1f} / {med('b', 2) / 1024:5.1f} MiB (+{(med('a', 2) - med('b', 2)) / 1024:.1f})")


main()
