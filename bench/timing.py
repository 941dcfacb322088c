"""Median timings for the benchmarks."""

import statistics
import time


def median_seconds(work, runs: int, budget: float = 20.0, after=lambda: None) -> float:
    """Median of `runs` timings, fewer when one run alone takes a large share of `budget`.
    `after` runs after each timing, untimed (to delete what a run wrote, say)."""
    times = []
    while len(times) < runs and (len(times) < 1 or sum(times) + times[-1] < budget):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
        after()
    return statistics.median(times)
