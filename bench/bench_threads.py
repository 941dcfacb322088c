"""Loads of two different 5-million-point files on two threads against one after another on
one thread, for each encoding: the throughput ratio (one thread's time over two threads').

Through tessarel.load_pcd from Python threads, as users run it, and through the reading core
(thread_scaling.cpp) with the prefault helper on and off. Medians over --runs runs, with the
spread of the per-run ratios and the ratio of the fastest runs, since the machine may be
shared; and from the CPU seconds, the ratio that two idle CPUs would give at most, which
other work on the machine hardly moves. Writes results/threads.json.

A large ASCII load parses on every spare CPU, so there "one thread" already keeps every CPU
busy and the ratio sits near 1: what two loads at once must keep is their two-thread time.
"""

import argparse
import json
import os
import platform
import resource
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

import datasets
import tessarel

sys.path.insert(0, str(Path(__file__).parent.parent / "devkit"))
import dev_build  # noqa: E402

HERE = Path(__file__).parent
ROOT = HERE.parent
CACHE = ROOT / ".cache" / "bench"


def one_thread(a: str, b: str) -> None:
    tessarel.load_pcd(a)
    tessarel.load_pcd(b)


def two_threads(a: str, b: str) -> None:
    other = threading.Thread(target=tessarel.load_pcd, args=(b,))
    other.start()
    tessarel.load_pcd(a)
    other.join()


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def python_times(a: str, b: str, runs: int) -> dict:
    one_thread(a, b)  # both files into the page cache
    times = {"one": [], "two": [], "one cpu": [], "two cpu": []}
    for _ in range(runs):
        for name, work in (("one", one_thread), ("two", two_threads)):
            cpu, start = cpu_seconds(), time.perf_counter()
            work(a, b)
            times[name].append(time.perf_counter() - start)
            times[f"{name} cpu"].append(cpu_seconds() - cpu)
    return times


def summary(times: dict) -> dict:
    """Medians and their ratio, the spread of the per-run ratios, and the ratio of the fastest
    runs, which other work on a shared machine disturbs least. The CPU ratio is the throughput
    ratio two otherwise idle CPUs would give at most: twice one thread's CPU seconds over those
    of both threads together (which count any time lost to contention between them)."""
    ratios = sorted(one / two for one, two in zip(times["one"], times["two"], strict=True))
    median = {name: statistics.median(values) for name, values in times.items()}
    return {**median, "ratio": median["one"] / median["two"], "ratio range": [ratios[0], ratios[-1]],
            "best ratio": min(times["one"]) / min(times["two"]),
            "cpu ratio": 2 * median["one cpu"] / median["two cpu"], "times": times}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--points", type=int, default=5_000_000)
    parser.add_argument("--mix", default="xyzi", choices=list(datasets.MIXES))
    parser.add_argument("--encodings", nargs="+", default=["ascii", "binary_compressed", "binary"],
                        choices=datasets.ENCODINGS)
    args = parser.parse_args()

    program = dev_build.target("thread_scaling")
    machine = f"{platform.machine()}, {len(os.sched_getaffinity(0))} CPUs usable, Linux {platform.release()}"
    print(f"{time.strftime('%Y-%m-%d %H:%M')}, {machine}, load average {os.getloadavg()[0]:.2f}")
    print(f"{args.points:,} points {args.mix}, two files; median of {args.runs} runs (range of per-run ratios)")
    mix = datasets.MIXES[args.mix]
    results = {}
    for encoding in args.encodings:
        a, b = (str(datasets.cloud_file(CACHE, args.points, mix, encoding, seed)) for seed in (7, 8))
        core = json.loads(subprocess.run([str(program), a, b, str(args.runs)], check=True,
                                         capture_output=True, text=True).stdout)
        rows = {"load_pcd": summary(python_times(a, b, args.runs)),
                "core, helper on": summary(core["on"]), "core, helper off": summary(core["off"])}
        results[encoding] = rows
        for name, row in rows.items():
            low, high = row["ratio range"]
            print(f"{encoding:<18} {name:<17} one thread {row['one'] * 1e3:6.0f} ms  two threads "
                  f"{row['two'] * 1e3:6.0f} ms  ×{row['ratio']:.2f} ({low:.2f}–{high:.2f}), fastest ×"
                  f"{row['best ratio']:.2f}; CPU {row['one cpu'] * 1e3:4.0f} / {row['two cpu'] * 1e3:4.0f} ms"
                  f" ×{row['cpu ratio']:.2f}", flush=True)
    report = {"date": time.strftime("%Y-%m-%d"), "machine": machine, "points": args.points, "mix": args.mix,
              "runs": args.runs, "results": results}
    (HERE / "results").mkdir(exist_ok=True)
    (HERE / "results" / "threads.json").write_text(json.dumps(report, indent=1))
    print(f"wrote {HERE / 'results' / 'threads.json'}")


if __name__ == "__main__":
    main()
